#!/usr/bin/env bash
# Sets up, builds and starts the programmer on its built-in simulated handset.
# Arguments are passed to the programmer (for example: ./run.sh --screenshot shot.png).
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"
cd "$VARNAK_ROOT"

ensure_packages "${VARNAK_PACKAGES[@]}"
mkdir -p build
configure_build build/run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNAK_BUILD_TESTS=OFF \
    -DVARNAK_BUILD_BENCH=OFF -DVARNAK_BUILD_FUZZ=OFF -DVARNAK_WITH_PYTHON=OFF
cmake --build build/run -j"$(nproc)"

program=build/run/bin/halyard
if [ ! -x "$program" ]; then
    echo "The programmer is not part of this build yet. Built:"
    ls build/run/bin build/run/lib 2>/dev/null | sed 's/^/  /'
    exit 0
fi
# Without a display the window cannot open; a picture of it can still be rendered.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    for arg in "$@"; do
        case $arg in --screenshot|--screenshot=*) export QT_QPA_PLATFORM=offscreen ;; esac
    done
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "There is no display (DISPLAY and WAYLAND_DISPLAY are unset), so the programmer cannot open its window." >&2
    echo "To render the window to a picture instead, run:" >&2
    echo "    QT_QPA_PLATFORM=offscreen ./run.sh --screenshot shot.png" >&2
    exit 1
fi
exec "$program" "$@"
