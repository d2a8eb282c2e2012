#!/usr/bin/env bash
# build-packages.sh BUILD: configures BUILD for /usr with Debian's compiler and linker flags,
# builds the libraries and programs, and makes the Debian packages (and their -dbgsym
# packages) in BUILD/packages.
set -euo pipefail
source "$(dirname "$0")/common.sh"
build=$1
mkdir -p "$(dirname "$build")"

# Debian's flags with every hardening feature: optimised, with debug symbols (split off into
# the -dbgsym packages). Read at the first configure of BUILD.
debian_build_flags
# Dates written into the packages (the man pages') are the release's, so a rebuild is the same.
export SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$VARNAK_ROOT/cmake/debian/changelog" -STimestamp)
configure_build "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DVARNAK_BUILD_TESTS=OFF -DVARNAK_BUILD_BENCH=OFF -DVARNAK_BUILD_FUZZ=OFF
cmake --build "$build" -j"$(nproc)"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB) >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log" >&2; exit 1; }

# CPack 3.25 writes build paths into the md5sums of the -dbgsym packages and gives them no
# documentation folder: remake each with true md5sums and, as Debian's own dbgsym packages
# have, its documentation folder a link to that of the package it belongs to.
for ddeb in "$build"/packages/*.ddeb; do
    tree=$(mktemp -d)
    chmod 755 "$tree"
    dpkg-deb -R "$ddeb" "$tree"
    package=$(dpkg-deb -f "$ddeb" Package)
    mkdir -p "$tree/usr/share/doc"
    ln -s "${package%-dbgsym}" "$tree/usr/share/doc/$package"
    (cd "$tree" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$tree/DEBIAN/md5sums"
    dpkg-deb --root-owner-group -b "$tree" "$ddeb" >/dev/null
    rm -rf "$tree"
done
ls "$build/packages"
