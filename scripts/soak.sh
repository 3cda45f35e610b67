#!/usr/bin/env bash
# Fault soak: flashes a random image with `iap-flash --fast` into the device simulator while
# the simulator injects seeded random faults into its answers (lost and corrupted
# acknowledgements, status 2, a noise byte before the answer, answers split in two). Every
# run must end with exit code 0 and the image the simulator saved identical to the one
# sent. A last run hangs the line up in the middle of the transfer and must end with exit
# code 3 and no process left behind.
#
#   scripts/soak.sh [--long] [--size BYTES] [--seeds "1 2 3"] [--rate R]
#                   [--sim PATH] [--flash PATH]
#
# Default (the ctest entry): one 256 KiB image, fault rate 0.2, seed 1.
# --long: a 1 MiB image under seeds 1 to 8.
# The programs default to build-h/; ctest passes the ones it built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/sim.sh"

size=$((256 * 1024))
seeds="1"
rate=0.2
sim=$root/build-h/sim/iap-device-sim
flash=$root/build-h/cli/iap-flash
# A lost acknowledgement is noticed after this long; the simulator answers in well under a
# millisecond, so a resend caused by a slow machine is still correct, just not needed.
ack_timeout=0.1

while [ $# -gt 0 ]; do
    case "$1" in
        --long) size=$((1024 * 1024)); seeds="1 2 3 4 5 6 7 8"; shift ;;
        --size) size=$2; shift 2 ;;
        --seeds) seeds=$2; shift 2 ;;
        --rate) rate=$2; shift 2 ;;
        --sim) sim=$2; shift 2 ;;
        --flash) flash=$2; shift 2 ;;
        -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
        *) echo "soak: unknown argument $1" >&2; exit 1 ;;
    esac
done
for p in "$sim" "$flash"; do
    [ -x "$p" ] || { echo "soak: $p is not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/iap-soak.XXXXXX")
pids=()
failed=0
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ "$failed" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "soak: inputs and logs kept in $work" >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "soak: FAIL: $*" >&2
    failed=1
    exit 1
}

# Starts the simulator with the given options in $dir; sets sim_pid and port.
start_sim() {
    local dir=$1
    shift
    local started=0
    sim_start "$sim" "$dir/sim.out" "$dir/sim.log" "$@" && started=1
    pids+=("$sim_pid")
    port=$sim_port
    [ "$started" -eq 1 ] && return 0
    cat "$dir/sim.log" >&2 || true
    fail "the simulator did not start"
}

# Waits up to 10 s for a process of ours to end; returns its exit code.
reap() {
    local pid=$1
    for _ in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && fail "process $pid did not end"
    local rc=0
    wait "$pid" || rc=$?
    return "$rc"
}

# Our own children still running, by name.
leftovers() {
    local pid name
    for pid in $(pgrep -P $$ 2>/dev/null || true); do
        name=$(cat "/proc/$pid/comm" 2>/dev/null || true)
        case "$name" in iap-device-sim | iap-flash) echo "$pid $name" ;; esac
    done
}

count() { grep -c -- "$1" "$2" || true; }

total_faults=0
total_resends=0
total_lost=0
for seed in $seeds; do
    dir=$work/seed-$seed
    mkdir -p "$dir"
    head -c "$size" /dev/urandom >"$dir/image.bin"
    start_sim "$dir" --once --log --out "$dir/received.bin" --faults "$rate" --seed "$seed"
    rc=0
    timeout 600 "$flash" --fast --json --ack-timeout "$ack_timeout" --port "$port" \
        "$dir/image.bin" >"$dir/flash.json" 2>"$dir/flash.err" || rc=$?
    [ "$rc" -eq 0 ] || { tail -n 5 "$dir/flash.json" "$dir/flash.err" >&2; fail "seed $seed: iap-flash exit code $rc, expected 0"; }
    sim_rc=0
    reap "$sim_pid" || sim_rc=$?
    [ "$sim_rc" -eq 0 ] || fail "seed $seed: simulator exit code $sim_rc"
    [ -f "$dir/received.bin" ] || fail "seed $seed: the simulator saved no image"
    # Bytes lost: differing bytes plus the difference in length.
    received=$(stat -c %s "$dir/received.bin")
    differ=$(cmp -l "$dir/image.bin" "$dir/received.bin" 2>/dev/null | wc -l || true)
    lost=$((differ + (size > received ? size - received : received - size)))
    [ "$lost" -eq 0 ] || fail "seed $seed: $lost bytes lost or changed"
    cmp -s "$dir/image.bin" "$dir/received.bin" || fail "seed $seed: images differ"

    log=$dir/sim.log
    lost_acks=$(count ': lost$' "$log")
    corrupt=$(count 'corrupt CRC' "$log")
    status2=$(count ': refused$' "$log")
    noise=$(count 'noise byte' "$log")
    split=$(count 'split' "$log")
    faults=$(count '^.*answer to package [0-9]*: ' "$log")
    resends=$(sed -n 's/.*"event":"finished".*"resends":\([0-9]*\).*/\1/p' "$dir/flash.json")
    packages=$(( (size + 1023) / 1024 ))
    [ "$faults" -gt 0 ] || fail "seed $seed: no fault was injected (rate $rate)"
    printf 'soak: seed %s: %d bytes in %d packages, exit 0, image identical; faults injected %d (lost %d, corrupt %d, status-2 %d, noise %d, split %d), all survived; %s resends; bytes lost 0\n' \
        "$seed" "$size" "$packages" "$faults" "$lost_acks" "$corrupt" "$status2" "$noise" "$split" "${resends:-?}"
    total_faults=$((total_faults + faults))
    total_resends=$((total_resends + ${resends:-0}))
    total_lost=$((total_lost + lost))
done

# The line hangs up after 20 packages: the flasher reports the lost port (exit code 3) and
# nothing is left running.
dir=$work/hangup
mkdir -p "$dir"
head -c "$size" /dev/urandom >"$dir/image.bin"
start_sim "$dir" --log --hangup-after 20
rc=0
timeout 120 "$flash" --fast --json --port "$port" "$dir/image.bin" >"$dir/flash.json" \
    2>"$dir/flash.err" || rc=$?
[ "$rc" -eq 3 ] || { tail -n 5 "$dir/flash.json" "$dir/flash.err" >&2; fail "hang-up: iap-flash exit code $rc, expected 3"; }
sim_rc=0
reap "$sim_pid" || sim_rc=$?
[ "$sim_rc" -eq 0 ] || fail "hang-up: simulator exit code $sim_rc"
grep -q '"event":"hangup"' "$dir/sim.out" || fail "hang-up: the simulator did not hang up"
left=$(leftovers)
[ -z "$left" ] || fail "hang-up: processes left: $left"
echo "soak: hang-up after 20 packages: iap-flash exit code 3, no process left"

echo "soak: $(echo "$seeds" | wc -w) run(s) of $size bytes at fault rate $rate: faults injected $total_faults, survived $total_faults, resends $total_resends, bytes lost $total_lost"
