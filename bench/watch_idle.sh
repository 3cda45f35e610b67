#!/usr/bin/env bash
# The idle cost of `iap-flash --watch`: CPU time (user + system, from /proc) that an
# iap-flash watching a folder with no board in it uses while nothing happens, for folders
# holding 0, 2 000 and 20 000 matching entries that are not character devices (regular
# files), as a percentage of one core. Two kinds of pattern: '/dir/*' (the folder is
# watched for changes) and '/di?/*' (a pattern in the folder part: polling alone).
#
#   bench/watch_idle.sh [--build DIR] [--flash PATH] [--seconds S] [--entries "N N ..."]
#
# BUILD_DIR defaults to build-release; --flash measures another iap-flash (an older one, say).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-release
flash=
seconds=10
entries="0 2000 20000"
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2; shift 2 ;;
        --flash) flash=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --entries) entries=$2; shift 2 ;;
        *) echo "watch_idle.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
flash=${flash:-$build/cli/iap-flash}
[ -x "$flash" ] || { echo "missing $flash: build first (./run.sh builds build-release)" >&2; exit 1; }

work=$(mktemp -d)
flasher=
cleanup() {
    [ -n "$flasher" ] && kill "$flasher" 2>/dev/null && wait "$flasher" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
head -c 4096 /dev/urandom >"$work/image.bin"
ticks=$(getconf CLK_TCK)

cpu_ticks() { # utime + stime of a process, in clock ticks
    awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"
}

measure() { # $1: pattern; prints the percentage of one core
    "$flash" --quiet --watch "$1" "$work/image.bin" >/dev/null 2>&1 &
    flasher=$!
    # Past the start-up and the first look at the folder.
    sleep 2
    local before after
    before=$(cpu_ticks "$flasher")
    sleep "$seconds"
    after=$(cpu_ticks "$flasher")
    kill "$flasher"
    wait "$flasher" 2>/dev/null || true
    flasher=
    awk -v t=$((after - before)) -v hz="$ticks" -v s="$seconds" \
        'BEGIN { printf "%.2f", t / hz / s * 100 }'
}

printf '%-8s  %-22s  %-22s\n' entries "watched '/dir/*'" "polled '/di?/*'"
for n in $entries; do
    rm -rf "$work/dir"
    mkdir "$work/dir"
    # Regular files whose names match the pattern, as a folder of logs or images would.
    (cd "$work/dir" && seq -f 'file-%06g' 1 "$n" | xargs -r touch)
    watched=$(measure "$work/dir/*")
    polled=$(measure "$work/di?/*")
    printf '%-8s  %-22s  %-22s\n' "$n" "$watched % of a core" "$polled % of a core"
done
