#!/usr/bin/env bash
# Wall time of a 64 KiB upgrade against the simulator on a paced 115200 baud line, as a
# ratio to the wire-time lower bound: every byte on the line, both directions, at 10 bits
# a byte. Runs iap-flash at the window's timing (50 ms ticks, 30 ms quiet gap) and with
# --fast, RUNS times each (default 3), and prints each run and the median ratio.
#
#   bench/flash_timing.sh [BUILD_DIR] [RUNS]        (BUILD_DIR defaults to build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
runs=${2:-3}
baud=115200
flash=$build/cli/iap-flash
sim=$build/sim/iap-device-sim
for p in "$flash" "$sim"; do
    [ -x "$p" ] || { echo "missing $p: build first (./run.sh builds build-release)" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
head -c 65536 /dev/urandom >"$work/image.bin"

field() { grep -o "\"$1\":[0-9.]*" | head -n 1 | cut -d: -f2; }

one_run() { # $@: extra iap-flash options; prints "seconds sent received ratio"
    "$sim" --baud "$baud" --once --out "$work/received.bin" >"$work/sim.out" &
    sim_pid=$!
    local port=
    for _ in $(seq 100); do
        port=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
        [ -n "$port" ] && break
        sleep 0.05
    done
    "$flash" --json --baud "$baud" --port "$port" "$@" "$work/image.bin" >"$work/flash.out"
    wait "$sim_pid" || true
    sim_pid=
    cmp -s "$work/image.bin" "$work/received.bin" || { echo "image mismatch" >&2; exit 1; }
    local last seconds sent received
    last=$(tail -n 1 "$work/flash.out")
    seconds=$(field seconds <<<"$last")
    sent=$(field sent <<<"$last")
    received=$(field received <<<"$last")
    awk -v s="$seconds" -v a="$sent" -v b="$received" -v baud="$baud" \
        'BEGIN { bound = (a + b) * 10 / baud; printf "%.3f %d %d %.3f %.3f\n", s, a, b, bound, s / bound }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-34s %8s %8s %8s %9s %7s\n' "mode" "seconds" "sent" "received" "bound(s)" "ratio"
for mode in "window timing" "--fast"; do
    opts=()
    [ "$mode" = "--fast" ] && opts=(--fast)
    ratios=()
    for _ in $(seq "$runs"); do
        read -r s a b bound r < <(one_run "${opts[@]}")
        printf '%-34s %8s %8s %8s %9s %7s\n' "iap-flash ($mode)" "$s" "$a" "$b" "$bound" "$r"
        ratios+=("$r")
    done
    printf '%-34s %44s\n' "median ratio, $mode" "$(printf '%s\n' "${ratios[@]}" | median)"
done
