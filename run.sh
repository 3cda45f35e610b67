#!/usr/bin/env bash
# Builds the programs (Release) and shows a full upgrade without any hardware: a simulated
# device (iap-device-sim) on a pseudo-terminal stands in for the board.
#
#   With a display: the window opens with the simulator's port listed first (real ports
#   follow as usual) and a generated sample image loaded; press Open, then Download. The
#   simulator stops when the window closes. Arguments are passed to the window instead of
#   the sample image (e.g. your own firmware file).
#   Without a display: the same upgrade runs headless with iap-flash and a generated sample
#   image, and the image the simulator received is compared with the one sent.
#
#   The window's Chinese texts need a CJK font: with a display, one is installed when no
#   installed font covers Chinese (headless, the terminal draws the texts with its own fonts).
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
. scripts/sim.sh
ensure_packages "${BUILD_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DIAP_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$jobs"

sim=build-release/sim/iap-device-sim
flash=build-release/cli/iap-flash
window=build-release/app/upgrade-assistant

work=$(mktemp -d "${TMPDIR:-/tmp}/upgrade-assistant-demo.XXXXXX")
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the simulator in the background (paced like a real 115200 baud line) and sets
# sim_port to the pseudo-terminal it serves.
start_sim() {
    sim_start "$sim" "$work/sim.out" "$work/sim.err" --baud 115200 "$@" && return 0
    echo "The device simulator did not start:" >&2
    cat "$work/sim.err" >&2
    exit 1
}

sample="$work/sample-firmware.bin"
head -c 24576 /dev/urandom >"$sample"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    ensure_cjk_font || echo "No CJK font could be installed: the Chinese texts will show as boxes." >&2
    start_sim --out "$work/received.bin"
    # Without arguments the window starts with the sample image loaded: Open, then Download.
    [ $# -eq 0 ] && set -- "$sample"
    echo "Simulated device on $sim_port (chosen in the window's port list): press Open, then"
    echo "Download. Closing the window stops the simulator."
    status=0
    "$window" --port "$sim_port" "$@" || status=$?
    if [ -s "$work/received.bin" ]; then
        echo "The simulated device received $(stat -c %s "$work/received.bin") bytes."
        if [ "$1" = "$sample" ] && cmp -s "$sample" "$work/received.bin"; then
            echo "OK: identical to the sample image sent."
        fi
    fi
    exit "$status"
fi

# Headless: the same upgrade from the command line.
echo "No display found: running the upgrade headless with iap-flash against the simulator."
start_sim --once --out "$work/received.bin"
echo "Simulated device on $sim_port; sample image $(stat -c %s "$sample") bytes."
status=0
"$flash" --port "$sim_port" "$sample" || status=$?
if [ "$status" -ne 0 ]; then
    echo "iap-flash failed with exit code $status." >&2
    exit "$status"
fi
wait "$sim_pid" 2>/dev/null || true
sim_pid=
echo "Simulator: $(tail -n 1 "$work/sim.out")"
if cmp "$sample" "$work/received.bin"; then
    echo "OK: the image the device received is identical to the image sent."
else
    echo "MISMATCH: the image the device received differs from the image sent." >&2
    exit 1
fi
