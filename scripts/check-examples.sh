#!/usr/bin/env bash
# check-examples.sh PREFIX OUT: builds the examples that PREFIX ships in
# PREFIX/share/doc/lib*-dev/examples (an installed tree, or /usr for the installed packages)
# twice, with CMake and with their Makefile (pkg-config alone), and runs every program; those
# of quillon against a simulated PTAP device (PREFIX/bin/ptapsim) in a temporary folder.
set -euo pipefail
prefix=$(realpath "$1")
out=$(realpath -m "$2")
rm -rf "$out"
mkdir -p "$out/src"
for package in libkeyward-dev libquillon-dev; do
    examples=$prefix/share/doc/$package/examples
    [ -d "$examples" ] || { echo "$package ships no examples in $examples" >&2; exit 1; }
    cp -r "$examples"/. "$out/src/"
done

cmake_args=()
make_env=()
if [ "$prefix" != /usr ]; then
    cmake_args=(-DCMAKE_PREFIX_PATH="$prefix")
    pkgconfig=$(find "$prefix" -type d -name pkgconfig | paste -sd:)
    rpaths=$(for dir in $(find "$prefix" -name 'lib*.so' -printf '%h\n' | sort -u); do
        printf ' -Wl,-rpath,%s' "$dir"; done)
    make_env=(PKG_CONFIG_PATH="$pkgconfig" LDFLAGS="$rpaths")
fi
cmake -S "$out/src" -B "$out/cmake" -G Ninja "${cmake_args[@]}" >"$out/cmake.log" 2>&1 ||
    { cat "$out/cmake.log" >&2; exit 1; }
cmake --build "$out/cmake" >>"$out/cmake.log" 2>&1 || { cat "$out/cmake.log" >&2; exit 1; }
env "${make_env[@]}" make -s -C "$out/src" OUT="$out/pkgconfig" CXXFLAGS="-Wall -Wextra -Werror" \
    CFLAGS="-Wall -Wextra -Werror -pedantic" >"$out/make.log" 2>&1 || { cat "$out/make.log" >&2; exit 1; }

device=$(mktemp -d)
"$prefix/bin/ptapsim" --socket "$device/ptap" >/dev/null 2>&1 &
ptapsim=$!
trap 'kill $ptapsim 2>/dev/null || true; wait $ptapsim 2>/dev/null || true; rm -rf "$device"' EXIT
for _ in $(seq 200); do [ -S "$device/ptap" ] && break; sleep 0.05; done

run() {  # run NAME COMMAND...: runs an example in a folder of its own
    local name=$1 log=$out/run-$1-$RANDOM.log
    shift
    mkdir -p "$out/work"
    (cd "$out/work" && "$@") >"$log" 2>&1 || { echo "example $name failed:" >&2; cat "$log" >&2; exit 1; }
}
for build in cmake pkgconfig; do
    programs=$out/$build
    find_program() { find "$programs" -type f -name "$1" -perm -u+x | head -1; }
    run keyward_typed "$(find_program keyward_typed)" "$out/work"
    run keyward_cache "$(find_program keyward_cache)"
    run own_transport "$(find_program own_transport)"
    run quillon_enumerate "$(find_program quillon_enumerate)" "$device"
    run enumerate env PTAP_INTERFACE_DIR="$device" "$(find_program enumerate)"
    echo "examples built with $build against $prefix: ok"
done
