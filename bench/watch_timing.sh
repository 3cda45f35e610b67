#!/usr/bin/env bash
# A production line in miniature: BOARDS simulated boards (default 16) on paced 115200 baud
# lines, plugged in one after the other every STAGGER seconds (default 0.4) behind links in a
# temporary folder, while one `iap-flash --watch --fast` flashes each with a 64 KiB image.
# Prints each board's time as a ratio to its wire-time lower bound (every byte on the line,
# both directions, at 10 bits a byte), the same for one board alone, and the CPU time
# iap-flash used per board.
#
#   bench/watch_timing.sh [BUILD_DIR] [BOARDS] [STAGGER]   (BUILD_DIR defaults to build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
boards=${2:-16}
stagger=${3:-0.4}
baud=115200
flash=$build/cli/iap-flash
sim=$build/sim/iap-device-sim
for p in "$flash" "$sim"; do
    [ -x "$p" ] || { echo "missing $p: build first (./run.sh builds build-release)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
head -c 65536 /dev/urandom >"$work/image.bin"

# "port seconds ratio" for every finished board in a JSON event stream.
ratios() {
    grep '"event":"finished"' "$1" | while read -r line; do
        port=$(grep -o '"port":"[^"]*"' <<<"$line" | cut -d'"' -f4)
        seconds=$(grep -o '"seconds":[0-9.]*' <<<"$line" | cut -d: -f2)
        sent=$(grep -o '"sent":[0-9]*' <<<"$line" | cut -d: -f2)
        received=$(grep -o '"received":[0-9]*' <<<"$line" | cut -d: -f2)
        awk -v p="$port" -v s="$seconds" -v a="$sent" -v b="$received" -v baud="$baud" \
            'BEGIN { bound = (a + b) * 10 / baud; printf "%-12s %7.3f %7.3f %6.3f\n", p, s, bound, s / bound }'
    done
}

run() { # $1: boards, $2: stagger; writes $work/flash.out and $work/cpu
    local n=$1 gap=$2
    rm -f "$work"/board-* "$work"/*.out "$work/boards.jsonl"
    TIMEFORMAT='%U %S'
    { time "$flash" --json --fast --baud "$baud" --watch "$work/board-*" --count "$n" \
        --log "$work/boards.jsonl" "$work/image.bin" >"$work/flash.out" ; } 2>"$work/cpu" &
    local flasher=$!
    for i in $(seq -w 1 "$n"); do
        "$sim" --baud "$baud" --link "$work/board-$i" --out "$work/b$i.out" >/dev/null &
        pids+=($!)
        sleep "$gap"
    done
    wait "$flasher"
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait "${pids[@]}" 2>/dev/null || true
    pids=()
    for i in $(seq -w 1 "$n"); do
        cmp -s "$work/image.bin" "$work/b$i.out" || { echo "board $i: image mismatch" >&2; exit 1; }
    done
}

echo "One board alone:"
run 1 0
printf '%-12s %7s %7s %6s\n' board seconds bound ratio
ratios "$work/flash.out" | sed "s|$work/||"

echo
echo "$boards boards plugged every $stagger s:"
run "$boards" "$stagger"
printf '%-12s %7s %7s %6s\n' board seconds bound ratio
ratios "$work/flash.out" | sed "s|$work/||" | sort
ratios "$work/flash.out" | awk '{ r[NR] = $4; s += $4; if ($4 > m) m = $4 } END { printf "ratio: mean %.3f, worst %.3f over %d boards\n", s / NR, m, NR }'
read -r user sys <"$work/cpu"
awk -v u="$user" -v s="$sys" -v n="$boards" \
    'BEGIN { printf "iap-flash CPU: %.2f s user + %.2f s system = %.3f s per board\n", u, s, (u + s) / n }'
echo "log lines: $(wc -l <"$work/boards.jsonl")"
