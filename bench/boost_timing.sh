#!/usr/bin/env bash
# --boost against plain --fast: a 256 KiB random image, the simulator paced at 115200 baud.
#   F4: an STM32F4-class device (--write-ms 4, offers 2 Mbaud and 2 in flight)
#   F1: an STM32F1-class device (--write-ms 27, --erase-ms 30 page by page, offers 921600)
#   none: a device that offers nothing
# For each: seconds of the plain --fast run and of --boost, their ratio, and the limits: the
# 2 Mbaud (or 921600) wire time of every byte sent and received, and the flash time (write and
# erase of every package), whichever is longer.
#
#   bench/boost_timing.sh [BUILD_DIR]        (BUILD_DIR defaults to build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
flash=$build/cli/iap-flash
sim=$build/sim/iap-device-sim
for p in "$flash" "$sim"; do
    [ -x "$p" ] || { echo "missing $p: build first (./run.sh builds build-release)" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
head -c 262144 /dev/urandom >"$work/image.bin"

field() { grep -o "\"$1\":[0-9.]*" | head -n 1 | cut -d: -f2; }

one_run() { # sim options... -- flash options...; prints "seconds sent received baud"
    local simargs=() flashargs=()
    while [ "$1" != "--" ]; do simargs+=("$1"); shift; done
    shift
    flashargs=("$@")
    rm -f "$work/received.bin"
    "$sim" --baud 115200 --once --out "$work/received.bin" "${simargs[@]}" >"$work/sim.out" &
    sim_pid=$!
    local port=
    for _ in $(seq 100); do
        port=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
        [ -n "$port" ] && break
        sleep 0.05
    done
    "$flash" --json --port "$port" "${flashargs[@]}" "$work/image.bin" >"$work/flash.out"
    wait "$sim_pid" || true
    sim_pid=
    cmp -s "$work/image.bin" "$work/received.bin" || { echo "image mismatch" >&2; exit 1; }
    local last
    last=$(tail -n 1 "$work/flash.out")
    echo "$(field seconds <<<"$last") $(field sent <<<"$last") $(field received <<<"$last") $(field baud <<<"$last")"
}

printf '%-6s %9s %9s %7s %9s %9s\n' device "--fast" "--boost" ratio "limit" "boost/lim"
run_device() { # name write_ms erase_ms max_baud window
    local name=$1 write=$2 erase=$3 max=$4 window=$5 simargs
    simargs=(--write-ms "$write" --erase-ms "$erase" --erase-pages --window "$window")
    [ "$max" -gt 0 ] && simargs+=(--max-baud "$max")
    read -r plain _ _ _ < <(one_run "${simargs[@]}" -- --fast)
    read -r boost sent received baud < <(one_run "${simargs[@]}" -- --boost)
    awk -v n="$name" -v p="$plain" -v b="$boost" -v s="$sent" -v r="$received" -v baud="$baud" \
        -v w="$write" -v e="$erase" 'BEGIN {
            wire = (s + r) * 10 / baud; flashlim = 256 * (w + e) / 1000;
            lim = wire > flashlim ? wire : flashlim;
            printf "%-6s %9.3f %9.3f %7.3f %9.3f %9.3f\n", n, p, b, b / p, lim, b / lim }'
}
run_device F4 4 0 2000000 2
run_device F1 27 30 921600 1
run_device none 4 0 0 1
