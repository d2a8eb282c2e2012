#!/usr/bin/env bash
# abi/update.sh [BUILD]: records the ABI of the libraries as this release's baseline:
# abi/SONAME.abi, which ./test.sh compares with abidiff, and the symbols file of each library's
# Debian package, cmake/debian/symbols/PACKAGE.symbols, which the package build checks. Symbols
# already listed keep the version they first appeared in; new ones get the project's version.
#
# Without BUILD it builds the libraries in build/abi the way the Debian packages are built
# (Debian's flags, optimised, with debug information) and records them; with BUILD it records
# the libraries of that tree, which must be built the same way (build/deb of ./test.sh is).
#
# Run it, and commit the result, only when the ABI changes on purpose: after a compatible
# addition, or together with a new soname (the project's major version) for an incompatible
# change.
set -euo pipefail
source "$(dirname "$0")/abi.sh"
source "$abi_root/scripts/common.sh"
if [ $# -ge 1 ]; then
    build=$(realpath "$1")
else
    build=$abi_root/build/abi
    mkdir -p "$abi_root/build"
    debian_build_flags
    configure_build "$build" -DCMAKE_BUILD_TYPE=None -DVARNAK_BUILD_TESTS=OFF \
        -DVARNAK_BUILD_BENCH=OFF -DVARNAK_BUILD_FUZZ=OFF -DVARNAK_WITH_GUI=OFF \
        -DVARNAK_PROGRAM_DOCS=OFF -DVARNAK_API_DOCS=OFF
    cmake --build "$build" -j"$(nproc)" --target $(abi_libraries | awk '{sub(/^lib/, "", $1);
        sub(/\.so\..*/, "", $1); print $1}')
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "$build is not a configured build tree" >&2; exit 1; }
symbols=$abi_root/cmake/debian/symbols
mkdir -p "$symbols"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
while read -r soname folders; do
    library=$build/lib/$soname
    [ -f "$library" ] || { echo "no $library: build $build first" >&2; exit 1; }
    abi_dump "$library" "$abi_dir/$soname.abi" $folders
    # libNAME.so.MAJOR is in the package libNAMEMAJOR.
    package=$(sed 's/\.so\./ /' <<<"$soname" | awk '{print $1 $2}')
    stage=$scratch/$package
    mkdir -p "$stage/usr/lib"
    cp "$(realpath "$library")" "$stage/usr/lib/$soname"
    known=()
    [ -f "$symbols/$package.symbols" ] && known=(-I"$symbols/$package.symbols")
    dpkg-gensymbols -q -p"$package" -P"$stage" -v"$version" "${known[@]}" \
        -O"$symbols/$package.symbols"
    # Which development package a program building against the library uses (libNAME-dev).
    if ! grep -q '^\* Build-Depends-Package:' "$symbols/$package.symbols"; then
        sed -i "1a * Build-Depends-Package: ${package%[0-9]}-dev" "$symbols/$package.symbols"
    fi
    echo "recorded $abi_dir/$soname.abi and $symbols/$package.symbols"
done < <(abi_libraries)
