#!/usr/bin/env bash
# Wall time of a 512 KiB upgrade at 115200 baud through a line that puts one stray byte
# before 5 % of the acknowledgements (every 20th package), as a ratio to the wire-time
# lower bound (every byte on the line, both directions, at 10 bits a byte). Runs each given
# iap-flash (default: BUILD_DIR's) with --fast and without, RUNS times each (default 1).
# Point --flash at a build from before the stream framer to compare.
#
#   bench/noisy_timing.sh [--build DIR] [--runs N] [--flash PATH]... [--kib N] [--every N]
#
# --every N puts the stray byte before every Nth acknowledgement (default 20; 0: a clean line).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-release
runs=1
kib=512
every=20
flashes=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --flash) flashes+=("$2"); shift 2 ;;
        --kib) kib=$2; shift 2 ;;
        --every) every=$2; shift 2 ;;
        -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
        *) echo "unknown argument: $1" >&2; exit 1 ;;
    esac
done
baud=115200
sim=$build/sim/iap-device-sim
[ ${#flashes[@]} -gt 0 ] || flashes=("$build/cli/iap-flash")
for p in "$sim" "${flashes[@]}"; do
    [ -x "$p" ] || { echo "missing $p: build first" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
head -c $((kib * 1024)) /dev/urandom >"$work/image.bin"
packages=$(((kib * 1024 + 1023) / 1024))
noise=
[ "$every" -gt 0 ] && noise=$(seq -s, 0 "$every" $((packages - 1)))

field() { grep -o "\"$1\":[0-9.]*" | head -n 1 | cut -d: -f2; }

one_run() { # $1: iap-flash, then its extra options; prints "seconds sent received bound ratio resends"
    local flash=$1
    shift
    "$sim" --baud "$baud" --once ${noise:+--noise "$noise"} --out "$work/received.bin" >"$work/sim.out" &
    sim_pid=$!
    local port=
    for _ in $(seq 100); do
        port=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
        [ -n "$port" ] && break
        sleep 0.05
    done
    "$flash" --json --baud "$baud" --port "$port" "$@" "$work/image.bin" >"$work/flash.out" || true
    wait "$sim_pid" || true
    sim_pid=
    cmp -s "$work/image.bin" "$work/received.bin" || { echo "image mismatch" >&2; exit 1; }
    local last seconds sent received resends
    last=$(tail -n 1 "$work/flash.out")
    seconds=$(field seconds <<<"$last")
    sent=$(field sent <<<"$last")
    received=$(field received <<<"$last")
    resends=$(field resends <<<"$last")
    awk -v s="$seconds" -v a="$sent" -v b="$received" -v baud="$baud" -v r="$resends" \
        'BEGIN { bound = (a + b) * 10 / baud; printf "%.3f %d %d %.3f %.3f %d\n", s, a, b, bound, s / bound, r }'
}

echo "$kib KiB, a stray byte before $(echo "$noise" | tr ',' '\n' | grep -c . || true) of $packages acknowledgements"
printf '%-44s %8s %8s %8s %9s %7s %7s\n' "iap-flash" "seconds" "sent" "received" "bound(s)" "ratio" "resends"
for flash in "${flashes[@]}"; do
    for mode in "--fast" "default"; do
        opts=()
        [ "$mode" = "--fast" ] && opts=(--fast)
        for _ in $(seq "$runs"); do
            read -r s a b bound r n < <(one_run "$flash" "${opts[@]}")
            printf '%-44s %8s %8s %8s %9s %7s %7s\n' "$flash $mode" "$s" "$a" "$b" "$bound" "$r" "$n"
        done
    done
done
