# Shared by test.sh, run.sh and the other scripts: the system packages the project needs and
# how they are installed.

# Packages for building, testing and running everything. Keep this list the one place.
VARNAK_PACKAGES=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
    qt6-base-dev fonts-dejavu-core nettle-dev python3-jsonschema
    dpkg-dev file make help2man lintian doxygen libjs-jquery abigail-tools
    pybind11-dev python3-dev python3-pytest
    libsqlite3-dev libpq-dev postgresql
)

# Kept apart so that builds and tests do not wait for them: fuzz/run needs clang with libFuzzer
# and the sanitizer runtimes; finding where a benchmark spends its time needs perf and callgrind
# (source scripts/common.sh; ensure_packages "${VARNAK_PROFILE_PACKAGES[@]}").
VARNAK_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
VARNAK_PROFILE_PACKAGES=(linux-perf valgrind)

# ensure_packages PACKAGE...: installs what is missing when run as root; otherwise names the
# missing packages and fails.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "These system packages are missing: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    echo "Installing system packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# debian_build_flags: exports Debian's compiler and linker flags with every hardening feature
# (optimised, with debug symbols), as the Debian packages are built; a build tree reads them at
# its first configure.
debian_build_flags() {
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    local cppflags
    cppflags=$(dpkg-buildflags --get CPPFLAGS)
    export CFLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags"
    export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
    export LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
}

# configure_build DIR [CMAKE ARGS...]: configures a Ninja build tree.
configure_build() {
    local dir=$1
    shift
    cmake -S "$VARNAK_ROOT" -B "$dir" -G Ninja -DVARNAK_WERROR=ON "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log" >&2
        return 1
    }
}

VARNAK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
