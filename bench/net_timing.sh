#!/usr/bin/env bash
# A 64 KiB upgrade with --fast at 115200 baud through ser2net on loopback, against the same
# run on the simulator's pseudo-terminal directly: the simulator paces its line like a
# 115200 baud one (--baud 115200) in every case, so the figure is what the network link adds.
# ser2net runs with its defaults, as a user's would: with chardelay it gathers the device's
# bytes for about a millisecond before it sends them on; CHARDELAY false sends each byte at
# once. Runs each of the three ways RUNS times (default 3) and prints each run, the medians
# and their ratios.
#
#   bench/net_timing.sh [BUILD_DIR] [RUNS] [CHARDELAY]   (build-release, 3, true)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
runs=${2:-3}
chardelay=${3:-true}
baud=115200
flash=$build/cli/iap-flash
sim=$build/sim/iap-device-sim
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
for p in "$flash" "$sim" "$ser2net"; do
    [ -x "$p" ] || { echo "missing $p (build first; ser2net: scripts/deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid= server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
head -c 65536 /dev/urandom >"$work/image.bin"

field() { grep -o "\"$1\":[0-9.]*" | head -n 1 | cut -d: -f2; }

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

listening() { # listening PORT: something listens on 127.0.0.1:PORT
    grep -qi "0100007F:$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp
}

one_run() { # one_run direct|rfc2217|socket: prints "seconds sent received"
    "$sim" --baud "$baud" --once --out "$work/received.bin" >"$work/sim.out" &
    sim_pid=$!
    local pty= name
    for _ in $(seq 100); do
        pty=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
        [ -n "$pty" ] && break
        sleep 0.05
    done
    name=$pty
    if [ "$1" != direct ]; then
        local port accepter
        port=$(free_port)
        accepter="telnet(rfc2217),tcp"
        [ "$1" = socket ] && accepter=tcp
        printf 'connection: &bench\n  accepter: %s,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\n  options:\n    chardelay: %s\n' \
            "$accepter" "$port" "$pty" "$chardelay" >"$work/ser2net.yaml"
        "$ser2net" -n -u -P "$work/ser2net.pid" -c "$work/ser2net.yaml" 2>/dev/null &
        server_pid=$!
        for _ in $(seq 100); do listening "$port" && break; sleep 0.02; done
        name="$1://127.0.0.1:$port"
    fi
    "$flash" --json --fast --baud "$baud" --port "$name" "$work/image.bin" >"$work/flash.out"
    wait "$sim_pid" || true
    sim_pid=
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
    cmp -s "$work/image.bin" "$work/received.bin" || { echo "image mismatch ($1)" >&2; exit 1; }
    local last
    last=$(tail -n 1 "$work/flash.out")
    echo "$(field seconds <<<"$last") $(field sent <<<"$last") $(field received <<<"$last")"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-28s %8s %8s %8s %7s\n' "link" "seconds" "sent" "received" "bound"
declare -A med
for how in direct rfc2217 socket; do
    secs=()
    for _ in $(seq "$runs"); do
        read -r s a b < <(one_run "$how")
        bound=$(awk -v a="$a" -v b="$b" -v baud="$baud" 'BEGIN { printf "%.3f", (a + b) * 10 / baud }')
        printf '%-28s %8s %8s %8s %7s\n' "$how" "$s" "$a" "$b" "$bound"
        secs+=("$s")
    done
    med[$how]=$(printf '%s\n' "${secs[@]}" | median)
done
echo
for how in rfc2217 socket; do
    awk -v n="${med[$how]}" -v d="${med[direct]}" -v how="$how" \
        'BEGIN { printf "median %-8s %.3f s / direct %.3f s = %.3f (target <= 1.05)\n", how, n, d, n / d }'
done
