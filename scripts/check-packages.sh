#!/usr/bin/env bash
# check-packages.sh BUILD: the install test of the Debian packages.
#   1. makes them (build-packages.sh BUILD) and checks what each holds,
#   2. runs lintian on every package: no error and no warning may remain (the report is
#      BUILD/lintian.txt),
#   3. as root: installs them into this machine with apt-get, builds both consumer projects
#      and the examples the -dev packages ship against the system folders only (the examples
#      with CMake and with pkg-config), runs every installed program's --version and one real
#      command of each, puts a vendor device-access library in place of the simulated one and
#      takes it away again, then removes the packages and checks that nothing is left behind.
# Not as root, step 3 says so and is skipped.
set -euo pipefail
source "$(dirname "$0")/common.sh"
build=$(realpath -m "$1")

"$VARNAK_ROOT/scripts/build-packages.sh" "$build" >/dev/null
out=$build/packages
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
simdir=$lib/varnak-device-simulator

# --- 1. contents ---------------------------------------------------------------------------
status=0
expect() {  # expect PACKAGE PATH...: PACKAGE (of this architecture or "all") holds every PATH
    local deb=$out/${1}_${version}_${arch}.deb
    [ -f "$deb" ] || deb=$out/${1}_${version}_all.deb
    shift
    if [ ! -f "$deb" ]; then
        echo "missing package: $(basename "$deb")" >&2
        status=1
        return
    fi
    local listing path
    listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for path in "$@"; do
        grep -qx "./$path" <<<"$listing" || { echo "$(basename "$deb") lacks $path" >&2; status=1; }
    done
}
man=usr/share/man/man1
completions=usr/share/bash-completion/completions
expect libostrel1 $lib/libostrel.so.1
expect libtransports1 $lib/libtransports.so.1
expect libquillon1 $lib/libquillon.so.1
expect libkeyward1 $lib/libkeyward.so.1
expect libkvcmdsim1 $lib/libkvcmdsim.so.1
expect libostrel-dev usr/include/ostrel/ostrel.h $lib/libostrel.so $lib/pkgconfig/ostrel.pc \
    $lib/cmake/ostrel/ostrelConfig.cmake
expect libtransports-dev usr/include/transports/transport.h usr/include/varnak/comminterfaces.h \
    usr/include/transports/version.h $lib/libtransports.so $lib/pkgconfig/transports.pc \
    $lib/cmake/transports/transportsConfig.cmake
examples=usr/share/doc/libquillon-dev/examples
expect libquillon-dev usr/include/quillon/ptapmessages.h usr/include/quillon/ptapenum.h \
    usr/include/quillon/version.h $lib/libquillon.so $lib/pkgconfig/quillon.pc \
    $lib/cmake/quillon/quillonConfig.cmake $examples/README.md $examples/CMakeLists.txt \
    $examples/Makefile $examples/quillon-c/enumerate.c $examples/quillon-enumerate/quillon_enumerate.cpp
examples=usr/share/doc/libkeyward-dev/examples
expect libkeyward-dev usr/include/keyward/keyward.h usr/include/keyward/version.h $lib/libkeyward.so \
    $lib/pkgconfig/keyward.pc $lib/cmake/keyward/keywardConfig.cmake $examples/README.md \
    $examples/keyward-typed/keyward_typed.cpp $examples/keyward-cache/keyward_cache.cpp \
    $examples/keyward-own-transport/own_transport.cpp
expect varnak-doc usr/share/doc/varnak-doc/html/index.html \
    usr/share/doc/varnak-doc/html/keyward_errors.html usr/share/doc/varnak-doc/html/quillon_threading.html
expect libkvcmdsim-dev usr/include/kvcmdsim/kvcmdsim.h $lib/libkvcmdsim.so \
    $lib/pkgconfig/kvcmdsim.pc $lib/cmake/kvcmdsim/kvcmdsimConfig.cmake
expect varnak-device-simulator $simdir/libvelorum.so.1 $simdir/libnimbra.so.1 \
    usr/bin/varnak-device $man/varnak-device.1.gz $completions/varnak-device
expect varnak-device-simulator-dev usr/include/velorum/velorum.h usr/include/nimbra/nimbra.h \
    $simdir/libvelorum.so $lib/pkgconfig/velorum.pc $lib/cmake/velorum/velorumConfig.cmake
expect varnak-ptap-simulator usr/bin/ptapsim $man/ptapsim.1.gz $completions/ptapsim
expect halyard usr/bin/halyard $man/halyard.1.gz $completions/halyard \
    usr/share/applications/halyard.desktop usr/share/icons/hicolor/scalable/apps/halyard.svg
expect halyard-cli usr/bin/halyard-cli $man/halyard-cli.1.gz $completions/halyard-cli
expect varnak-tools usr/bin/quillon usr/bin/keyward $man/quillon.1.gz $man/keyward.1.gz \
    $completions/quillon $completions/keyward
python=usr/lib/python3/dist-packages
python_suffix=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
for module in keyward kvcmdsim quillon; do
    expect python3-$module $python/$module$python_suffix $python/$module.pyi
done
for deb in "$out"/*.deb; do
    name=$(dpkg-deb -f "$deb" Package)
    listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for doc in copyright changelog.gz; do
        grep -qx "./usr/share/doc/$name/$doc" <<<"$listing" || { echo "$name lacks its $doc" >&2; status=1; }
    done
    if grep -q '^\./debian/' <<<"$listing"; then
        echo "$name holds the packaging folder debian/" >&2
        status=1
    fi
    case $name in
        lib*[0-9]) if grep -q '\.so$' <<<"$listing"; then echo "$name holds a development link" >&2; status=1; fi ;;
    esac
done
# The thread tools stay inside the libraries (no public header hands them out).
if dpkg-deb -c "$out/libtransports-dev_${version}_${arch}.deb" | grep -q 'varnak/\(signal\|threadable\)\.h'; then
    echo "libtransports-dev installs the libraries' own thread tools" >&2
    status=1
fi
# Every library package carries its symbols file (checked against the libraries by the build).
for package in libostrel1 libtransports1 libquillon1 libkeyward1 libkvcmdsim1; do
    dpkg-deb -I "$out/${package}_${version}_${arch}.deb" symbols >/dev/null 2>&1 ||
        { echo "$package has no symbols file" >&2; status=1; }
done
if dpkg-deb -f "$out/halyard-cli_${version}_${arch}.deb" Depends | grep -qi qt; then
    echo "halyard-cli depends on Qt" >&2
    status=1
fi
[ $status -eq 0 ] || exit $status

# --- 2. lintian ----------------------------------------------------------------------------
# Every tag down to the pedantic ones is reported; errors and warnings fail the test.
lintian --pedantic --display-info "$out"/*.deb "$out"/*.ddeb 2>/dev/null >"$build/lintian.txt" || true
errors=$(grep -c '^E:' "$build/lintian.txt" || true)
warnings=$(grep -c '^W:' "$build/lintian.txt" || true)
echo "lintian: $errors errors, $warnings warnings," \
    "$(grep -c '^[IP]:' "$build/lintian.txt" || true) notes ($build/lintian.txt)"
if [ "$errors" -ne 0 ] || [ "$warnings" -ne 0 ]; then
    grep '^[EW]:' "$build/lintian.txt" >&2
    exit 1
fi

# --- 3. install, use, remove ---------------------------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
    echo "install test skipped: installing packages into the system needs root"
    exit 0
fi
mapfile -t packages < <(for deb in "$out"/*.deb; do dpkg-deb -f "$deb" Package; done)
vendor=vendor-velorum-test
installed() {  # those of PACKAGE... that dpkg knows in a state other than "not installed"
    local package
    for package in "$@"; do
        dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^.[^n]' && echo "$package"
    done
    return 0
}
already=$(installed "${packages[@]}" $vendor)
if [ -n "$already" ]; then
    echo "install test: installed already, remove them first: apt-get purge" $already >&2
    exit 1
fi
# Other engineers may hold the dpkg lock for a while: apt waits for it.
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=600 "$@"; }
scratch=$(mktemp -d)
remove_all() {
    local left
    mapfile -t left < <(installed "${packages[@]}" $vendor)
    [ ${#left[@]} -eq 0 ] || apt_get purge -y "${left[@]}" >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap remove_all EXIT

# What the packages put on the system, to look for once they are gone. Paths that were there
# before (folders such as /usr/bin) do not count.
{
    for deb in "$out"/*.deb; do dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||; s|/$||'; done
    for link in libvelorum.so.1 libnimbra.so.1; do
        printf '/%s/%s\n/etc/alternatives/%s-%s\n' "$lib" "$link" "$link" "${lib#usr/lib/}"
    done
} | sort -u >"$scratch/shipped"
present() {  # the paths of the shipped list that exist
    local path
    while read -r path; do
        if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
    done <"$scratch/shipped"
}
present >"$scratch/before"

# Everything they depend on is on the machine already (the build needed it), so apt installs
# these packages and nothing else, and removing them leaves the machine as it was.
others=$(apt_get install -s --no-install-recommends "$out"/*.deb | awk '/^Inst /{print $2}' |
    grep -vxF -f <(printf '%s\n' "${packages[@]}") || true)
if [ -n "$others" ]; then
    echo "install test: the packages need others that are not installed: $others" >&2
    exit 1
fi
apt_get install -y --no-install-recommends "$out"/*.deb >"$scratch/apt.log" 2>&1 ||
    { cat "$scratch/apt.log" >&2; exit 1; }
echo "installed: ${packages[*]}"

# Programs from /usr/bin, with no search path of their own.
export VELORUM_DEVICE_DIR=$scratch/devices
mkdir -p "$VELORUM_DEVICE_DIR"
cd "$scratch"
for program in halyard halyard-cli varnak-device quillon keyward ptapsim; do
    [ "$(command -v $program)" = "/usr/bin/$program" ] || { echo "$program is not /usr/bin/$program" >&2; exit 1; }
    if readelf -d "/usr/bin/$program" | grep -q 'R\(UN\)\?PATH'; then
        echo "/usr/bin/$program has a library search path" >&2
        exit 1
    fi
    QT_QPA_PLATFORM=offscreen $program --version >/dev/null 2>&1 || { echo "$program --version failed" >&2; exit 1; }
    man -w $program >/dev/null
done
varnak-device create P1 --kind handset --model kordo >/dev/null
varnak-device show P1 | grep -qi kordo
halyard-cli read --port P1 --save p1.wpx >/dev/null
halyard-cli program p1.wpx --port P1 >/dev/null
QT_QPA_PLATFORM=offscreen halyard --screenshot window.png 2>/dev/null
file window.png | grep -q 'PNG image'
keyward --chip chip.img --create canned @usb >/dev/null
keyward --chip chip.img get 01f9 | grep -qx 0002  # PSKEY_HOST_INTERFACE: USB
mkdir ptap
ptapsim --socket ptap/ptap >/dev/null 2>&1 &
ptapsim_pid=$!
for _ in $(seq 100); do [ -S ptap/ptap ] && break; sleep 0.05; done
quillon --dir ptap services >/dev/null
kill $ptapsim_pid
wait $ptapsim_pid || true
echo "installed programs: --version, man pages and a command of each: ok"

# The Python modules from a plain shell: Debian's interpreter finds them without any search path
# of ours, and the suite (the Python transport, the exceptions, a ptapsim session, the thread
# cases, the README's examples) passes against them.
env -i PATH=/usr/bin:/bin HOME="$scratch" /usr/bin/python3 -c 'import keyward, quillon, kvcmdsim' ||
    { echo "the installed Python modules do not import" >&2; exit 1; }
env -i PATH=/usr/bin:/bin HOME="$scratch" VARNAK_EXPECT_INSTALLED=1 PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider --basetemp="$scratch/pytest" "$VARNAK_ROOT/tests/python" >"$scratch/pytest.log" 2>&1 ||
    { cat "$scratch/pytest.log" >&2; exit 1; }
echo "Python modules against the installed packages: $(tail -1 "$scratch/pytest.log")"

# The installed completions offer the subcommands.
offered=$(bash -c 'source /usr/share/bash-completion/completions/quillon
    COMP_WORDS=(quillon ser)
    COMP_CWORD=1
    _varnak_quillon
    echo "${COMPREPLY[*]}"')
[ "$offered" = "services service" ] || [ "$offered" = "service services" ] ||
    { echo "quillon's completion offered '$offered' for 'ser'" >&2; exit 1; }

# Both consumer projects, from the system folders alone.
(
    unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH LD_LIBRARY_PATH
    cmake -S "$VARNAK_ROOT/tests/cmake-package" -B cmake-consumer -G Ninja >cmake-consumer.log 2>&1 ||
        { cat cmake-consumer.log >&2; exit 1; }
    cmake --build cmake-consumer >/dev/null
    ctest --test-dir cmake-consumer --output-on-failure >/dev/null
    echo "CMake consumer against the installed packages: ok"
    make -s -C "$VARNAK_ROOT/tests/pkgconfig-consumer" OUT="$scratch/pkgconfig-consumer" check >/dev/null
    echo "pkg-config consumer against the installed packages: ok"
    "$VARNAK_ROOT/scripts/check-examples.sh" /usr "$scratch/examples"
)

# A vendor device-access library, packaged the simplest way a vendor might: a plain file at
# the standard path. It replaces the simulated one without a file conflict, and when it goes
# the simulated one comes back.
gcc -o velorum_version "$VARNAK_ROOT/tests/packaging/velorum_version.c" $(pkg-config --cflags --libs velorum)
loaded() { ./velorum_version; }
[ "$(loaded)" != "vendor velorum 9.1" ] || { echo "the vendor library is there too early" >&2; exit 1; }
mkdir -p vendor/DEBIAN "vendor/$lib"
gcc -shared -fPIC -o "vendor/$lib/libvelorum.so.1" -Wl,-soname,libvelorum.so.1 \
    "$VARNAK_ROOT/tests/packaging/vendor_velorum.c" -I/usr/include
cat >vendor/DEBIAN/control <<EOF
Package: $vendor
Version: 9.1
Architecture: $arch
Maintainer: Install test <install-test@varnak.invalid>
Provides: libvelorum.so.1
Description: vendor device-access library made by the install test
EOF
dpkg-deb --root-owner-group -b vendor vendor.deb >/dev/null
apt_get install -y "$scratch/vendor.deb" >/dev/null 2>&1
[ "$(loaded)" = "vendor velorum 9.1" ] || { echo "the vendor library did not take the place of the simulated one" >&2; exit 1; }
if halyard-cli read --port P1 >/dev/null 2>&1; then
    echo "halyard-cli still reaches the simulated device with the vendor library in place" >&2
    exit 1
fi
apt_get purge -y $vendor >/dev/null 2>&1
[ "$(loaded)" != "vendor velorum 9.1" ] || { echo "the vendor library is still loaded" >&2; exit 1; }
halyard-cli read --port P1 >/dev/null
echo "vendor device-access library in place of the simulated one and back: ok"

# Removal leaves nothing behind.
cd /
apt_get purge -y "${packages[@]}" >/dev/null
present >"$scratch/after"
left=$(comm -13 "$scratch/before" "$scratch/after")
if [ -n "$left" ]; then
    echo "left behind after removing the packages:" >&2
    echo "$left" >&2
    exit 1
fi
if ldconfig -p | grep -q 'lib\(transports\|quillon\|keyward\|kvcmdsim\|ostrel\|velorum\|nimbra\)\.so'; then
    echo "the dynamic linker's cache still names a removed library" >&2
    exit 1
fi
for link in libvelorum.so.1 libnimbra.so.1; do
    if update-alternatives --query "$link-${lib#usr/lib/}" >/dev/null 2>&1; then
        echo "the alternatives group of $link is still there" >&2
        exit 1
    fi
done
echo "packages removed, nothing left behind: ok"
