#!/usr/bin/env bash
# check-install.sh BUILD PREFIX: installs BUILD into PREFIX, then builds and runs the project
# under tests/cmake-package against it, through CMake packages and through pkg-config.
set -euo pipefail
source "$(dirname "$0")/common.sh"
build=$(realpath "$1")
prefix=$(realpath -m "$2")
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

consumer=$build/../cmake-package
rm -rf "$consumer"
cmake -S "$VARNAK_ROOT/tests/cmake-package" -B "$consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DVARNAK_SOURCE_DIR="$VARNAK_ROOT" >"$consumer.configure.log" 2>&1 || {
    cat "$consumer.configure.log" >&2
    exit 1
}
cmake --build "$consumer"
ctest --test-dir "$consumer" --output-on-failure

# The same through pkg-config, for every library that installed a .pc file.
export PKG_CONFIG_PATH=$(find "$prefix" -type d -name pkgconfig | paste -sd:)
for pc in $(find "$prefix" -name '*.pc' -printf '%f\n' | sed 's/\.pc$//' | sort); do
    src=$VARNAK_ROOT/tests/cmake-package/pkgconfig/$pc.cpp
    [ -f "$src" ] || continue
    # shellcheck disable=SC2046
    g++ -o "$consumer/pc_$pc" "$src" $(pkg-config --cflags --libs "$pc") \
        -Wl,-rpath,"$(pkg-config --variable=libdir "$pc")"
    "$consumer/pc_$pc"
    echo "pkg-config consumer of $pc: ok"
done
