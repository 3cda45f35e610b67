#!/usr/bin/env bash
# Runs the programs under valgrind memcheck: no invalid access, no use of an uninitialised
# value and no definite leak may show (Qt's one-time allocations are suppressed in
# tests/hardening/qt.supp, each entry explained there).
#
#   scripts/valgrind.sh [--build DIR] [window|flash|window-start|window-upgrade|flash-plain|flash-faults ...]
#
#   window-start:   the window starts offscreen, loads a firmware image and is closed.
#   window-upgrade: the same with a whole upgrade through the device simulator before closing.
#   flash-plain:    iap-flash flashes an image into the simulator as the window does it.
#   flash-faults:   the same with --fast while the simulator injects random faults.
#   window, flash:  the two window runs, the two iap-flash runs (the default: all four).
# The programs come from DIR (default build-h); ctest passes its own build folder and runs
# each of the four as a test of its own, so that they run side by side.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/sim.sh"
build=$root/build-h
runs=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        window) runs+=(window-start window-upgrade); shift ;;
        flash) runs+=(flash-plain flash-faults); shift ;;
        window-start|window-upgrade|flash-plain|flash-faults) runs+=("$1"); shift ;;
        -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
        *) echo "valgrind.sh: unknown argument $1" >&2; exit 1 ;;
    esac
done
[ ${#runs[@]} -gt 0 ] || runs=(window-start window-upgrade flash-plain flash-faults)
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed" >&2; exit 1; }

sim=$build/sim/iap-device-sim
flash=$build/cli/iap-flash
driver=$build/tests/hardening/window_driver
supp=$root/tests/hardening/qt.supp

work=$(mktemp -d "${TMPDIR:-/tmp}/iap-valgrind.XXXXXX")
export XDG_RUNTIME_DIR=$work # Qt would otherwise create /tmp/runtime-$USER
export QT_QPA_PLATFORM=offscreen
sim_pid=
failed=0
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    if [ "$failed" -eq 0 ]; then rm -rf "$work"; else echo "valgrind.sh: logs kept in $work" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "valgrind.sh: FAIL: $*" >&2
    failed=1
    exit 1
}

start_sim() {
    # A fresh file: the simulator's shell truncates it only once it runs, and the first line
    # of the previous one would name a port that is gone.
    rm -f "$work/sim.out" "$work/sim.err"
    sim_start "$sim" "$work/sim.out" "$work/sim.err" "$@" ||
        fail "the simulator did not start: $(cat "$work/sim.err")"
    port=$sim_port
}

# The simulator exits by itself after the image (--once); give it time to save it.
stop_sim() {
    for _ in $(seq 200); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
}

# memcheck NAME EXPECTED_OUTPUT_PATTERN COMMAND...: runs the command under valgrind, then
# checks the exit code, the error summary and a line the program must have printed.
memcheck() {
    local name=$1 expect=$2
    shift 2
    local log=$work/$name.valgrind rc=0
    valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
        --show-leak-kinds=definite --num-callers=40 --suppressions="$supp" \
        --log-file="$log" "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
    if [ "$rc" -ne 0 ] || ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
        grep -E 'Invalid|uninitialised|definitely lost|ERROR SUMMARY' "$log" | head -20 >&2 || true
        fail "$name: exit code $rc under valgrind (log: $log)"
    fi
    grep -Eq -- "$expect" "$work/$name.out" "$work/$name.err" ||
        fail "$name: expected output /$expect/ missing"
    local suppressed definite
    suppressed=$(sed -n 's/.*suppressed: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)
    definite=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)
    echo "valgrind: $name: 0 errors, definitely lost ${definite:-0} bytes (${suppressed:-0} bytes of Qt's one-time allocations suppressed)"
}

head -c 20000 /dev/urandom >"$work/image.bin"

for run in "${runs[@]}"; do
    case "$run" in
    window-start)
        [ -x "$driver" ] || fail "$driver is not built"
        memcheck window-load-quit '^image bytes: 20000$' \
            "$driver" --close-after 100 "$work/image.bin"
        ;;
    window-upgrade)
        [ -x "$driver" ] || fail "$driver is not built"
        start_sim --once --out "$work/window-received.bin"
        memcheck window-upgrade '^state: 3$' \
            "$driver" --close-after 60000 --download --port "$port" "$work/image.bin"
        stop_sim
        cmp -s "$work/image.bin" "$work/window-received.bin" ||
            fail "window-upgrade: the simulator did not receive the image"
        ;;
    flash-plain)
        [ -x "$flash" ] || fail "$flash is not built"
        start_sim --once --out "$work/flash-received.bin"
        memcheck flash '' "$flash" --port "$port" "$work/image.bin"
        stop_sim
        cmp -s "$work/image.bin" "$work/flash-received.bin" ||
            fail "flash: the simulator did not receive the image"
        ;;
    flash-faults)
        [ -x "$flash" ] || fail "$flash is not built"
        start_sim --once --out "$work/fast-received.bin" --faults 0.3 --seed 5
        memcheck flash-fast-faults '' \
            "$flash" --fast --ack-timeout 0.5 --port "$port" "$work/image.bin"
        stop_sim
        cmp -s "$work/image.bin" "$work/fast-received.bin" ||
            fail "flash-fast-faults: the simulator did not receive the image"
        ;;
    esac
done
