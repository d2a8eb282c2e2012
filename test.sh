#!/usr/bin/env bash
# Sets up and runs every test on a fresh Debian machine:
#   1. the ordinary build and all its tests (with short benchmark and fuzz smoke runs, and the
#      reference documentation, which fails on any Doxygen warning),
#   2. the AddressSanitizer + UndefinedBehaviorSanitizer build and all its tests,
#   3. the ThreadSanitizer build of the suites that exercise threads (CTest label "threads"),
#   4. the installed tree, used by the two consumer projects (CMake packages, pkg-config) and
#      the examples,
#   5. the Debian packages: their contents and symbols files, lintian, and as root the install
#      test (installed into this machine, used, replaced in part by a vendor library, removed
#      without a trace); then the ABI of the packaged libraries against the baseline in abi/.
# ./test.sh --quick runs only the ordinary build and its tests.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"
cd "$VARNAK_ROOT"

quick=0
for arg in "$@"; do
    case $arg in
        --quick) quick=1 ;;
        -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown argument: $arg" >&2; exit 2 ;;
    esac
done

ensure_packages "${VARNAK_PACKAGES[@]}"
mkdir -p build
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

step() { printf '\n==== %s ====\n' "$*"; }

step "ordinary build"
configure_build build/normal -DCMAKE_BUILD_TYPE=Debug
cmake --build build/normal -j"$jobs"
ctest --test-dir build/normal -j"$jobs" --timeout 600

[ $quick -eq 1 ] && { echo "quick run passed"; exit 0; }

step "AddressSanitizer + UndefinedBehaviorSanitizer build"
configure_build build/asan -DCMAKE_BUILD_TYPE=Debug -DVARNAK_SANITIZER=address -DVARNAK_BUILD_BENCH=OFF
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan -j"$jobs" --timeout 900

step "ThreadSanitizer build (threaded suites)"
configure_build build/tsan -DCMAKE_BUILD_TYPE=Debug -DVARNAK_SANITIZER=thread \
    -DVARNAK_WITH_GUI=OFF -DVARNAK_BUILD_BENCH=OFF -DVARNAK_BUILD_FUZZ=OFF
cmake --build build/tsan -j"$jobs" --target threads_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan -j"$jobs" -L threads --timeout 900

step "installed tree and its consumers"
scripts/check-install.sh build/normal build/prefix

step "Debian packages"
scripts/check-packages.sh build/deb

step "ABI of the packaged libraries against the baseline (abidiff)"
abi/check.sh build/deb

echo
echo "all tests passed"
