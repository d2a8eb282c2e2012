#!/usr/bin/env bash
# abi/update.sh BUILD: records the ABI of every library of BUILD (a build tree with debug
# information, such as build/normal of test.sh) as this release's baseline: abi/SONAME.abi,
# which ./test.sh compares with abidiff, and the symbols file of its Debian package,
# cmake/debian/symbols/PACKAGE.symbols, which the package build checks. Symbols already listed
# keep the version they first appeared in; new ones get the project's version.
#
# Run it, and commit the result, only when the ABI changes on purpose: after a compatible
# addition, or together with a new soname (the project's major version) for an incompatible
# change.
set -euo pipefail
source "$(dirname "$0")/abi.sh"
build=$(realpath "$1")
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
    echo "recorded $abi_dir/$soname.abi and $symbols/$package.symbols"
done < <(abi_libraries)
