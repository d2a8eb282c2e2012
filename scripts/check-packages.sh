#!/usr/bin/env bash
# check-packages.sh BUILD: builds the Debian packages of BUILD with CPack, checks that each holds
# what it should, then unpacks them all into a scratch root and runs the programs from there.
set -euo pipefail
build=$(realpath "$1")
out=$build/packages
rm -rf "$out"
(cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
status=0
expect() {  # expect PACKAGE PATH...: every PATH is in PACKAGE
    local deb=$out/${1}_${version}_amd64.deb
    shift
    if [ ! -f "$deb" ]; then
        echo "missing package: $(basename "$deb")" >&2
        status=1
        return
    fi
    local listing
    listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
    local path
    for path in "$@"; do
        grep -qx "./$path" <<<"$listing" || { echo "$(basename "$deb") lacks $path" >&2; status=1; }
    done
}
lib=usr/lib
expect libvarnak1 $lib/libtransports.so.1 $lib/libquillon.so.1 $lib/libkeyward.so.1 \
    $lib/libostrel.so.1 $lib/libvelorum.so.1 $lib/libnimbra.so.1
expect libvarnak-dev usr/include/transports/transport.h usr/include/quillon/ptapmessages.h \
    usr/include/keyward/keyward.h usr/include/common/ostrel.h usr/include/common/comminterfaces.h \
    $lib/libtransports.so $lib/cmake/transports/transportsConfig.cmake \
    $lib/cmake/quillon/quillonConfig.cmake $lib/cmake/keyward/keywardConfig.cmake \
    $lib/pkgconfig/transports.pc $lib/pkgconfig/quillon.pc $lib/pkgconfig/keyward.pc
expect halyard usr/bin/halyard usr/bin/halyard-cli usr/bin/varnak-device \
    usr/share/applications/halyard.desktop usr/share/icons/hicolor/scalable/apps/halyard.svg
expect varnak-tools usr/bin/quillon usr/bin/ptapsim usr/bin/keyward $lib/libkvcmdsim.so.1
if dpkg-deb -c "$out/libvarnak1_${version}_amd64.deb" | grep -q '\.so$'; then
    echo "libvarnak1 holds development links (lib*.so)" >&2
    status=1
fi
[ $status -eq 0 ] || exit $status

# The unpacked programs find their libraries next to them and start.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in "$out"/*.deb; do dpkg-deb -x "$deb" "$root"; done
for program in "$root"/usr/bin/*; do
    case $(basename "$program") in
        halyard) QT_QPA_PLATFORM=offscreen "$program" --version >/dev/null 2>&1 ;;
        *) "$program" --version >/dev/null ;;
    esac || { echo "$(basename "$program") --version failed from the package" >&2; exit 1; }
done
devices=$root/devices
mkdir -p "$devices"
VELORUM_DEVICE_DIR=$devices "$root/usr/bin/varnak-device" create P1 --kind handset --model kordo >/dev/null
VELORUM_DEVICE_DIR=$devices "$root/usr/bin/halyard-cli" read --port P1 >/dev/null
echo "packages: $(cd "$out" && ls -- *.deb | tr '\n' ' ')ok"
