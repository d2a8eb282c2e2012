#!/usr/bin/env bash
# check-install.sh BUILD PREFIX: installs BUILD into PREFIX (a folder outside the system ones),
# checks that every installed header compiles on its own, then builds and runs the two consumer
# projects against it (tests/cmake-package through the CMake packages, tests/pkgconfig-consumer
# through pkg-config alone) and the examples the tree ships, both ways (check-examples.sh); and
# imports the installed tree's Python modules from their folder.
set -euo pipefail
source "$(dirname "$0")/common.sh"
build=$(realpath "$1")
prefix=$(realpath -m "$2")
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

# Every installed header compiles on its own, from the installed tree alone: each as C++20, and
# the plain C ones (the C functions of quillon, the version headers, the stand-ins' device
# access) as C99 too.
include=$prefix/include
for header in $(cd "$include" && find . -name '*.h' | sort); do
    g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$include" -include "${header#./}" \
        -x c++ /dev/null || { echo "installed header ${header#./} does not compile alone" >&2; exit 1; }
done
for header in quillon/ptapenum.h velorum/velorum.h nimbra/nimbra.h \
              $(cd "$include" && find . -name version.h | sort); do
    gcc -std=c99 -pedantic-errors -fsyntax-only -Wall -Wextra -Werror -I"$include" \
        -include "${header#./}" -x c /dev/null ||
        { echo "installed header ${header#./} does not compile as C" >&2; exit 1; }
done

consumer=$build/../cmake-package
rm -rf "$consumer"
cmake -S "$VARNAK_ROOT/tests/cmake-package" -B "$consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >"$consumer.configure.log" 2>&1 || {
    cat "$consumer.configure.log" >&2
    exit 1
}
cmake --build "$consumer"
ctest --test-dir "$consumer" --output-on-failure

# Always built anew (-B): the programs depend on the installed headers and libraries, which
# make cannot see, and a program left from an older tree would test that tree.
PKG_CONFIG_PATH=$(find "$prefix" -type d -name pkgconfig | paste -sd:) \
    make -B -s -C "$VARNAK_ROOT/tests/pkgconfig-consumer" OUT="$build/../pkgconfig-consumer" RPATH=1 check

"$VARNAK_ROOT/scripts/check-examples.sh" "$prefix" "$build/../examples"

# The Python modules of the installed tree find its libraries by themselves, wherever it is.
if [ -d "$prefix/lib/python3/dist-packages" ]; then
    env -u LD_LIBRARY_PATH PYTHONPATH="$prefix/lib/python3/dist-packages" \
        /usr/bin/python3 -c 'import keyward, kvcmdsim, quillon; print(len(keyward.database), "keys")'
fi
