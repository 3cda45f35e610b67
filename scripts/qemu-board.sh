#!/usr/bin/env bash
# The reference boot loader on an emulated Cortex-M3 board (QEMU mps2-an385), its UART on a
# pseudo-terminal. Prints the path of the port as the first line of stdout, then one JSON
# line per complete image; writes each complete image to FILE. Runs until killed, and ends
# when the program that started it ends, taking QEMU with it.
#
#   scripts/qemu-board.sh [--out FILE] [--elf IMAGE]
#
# FILE defaults to qemu-board-image.bin in the working folder. IMAGE defaults to the boot
# loader cross-built (when missing or out of date) under build/qemu-board/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$PWD/qemu-board-image.bin
elf=

usage() {
    echo "usage: $0 [--out FILE] [--elf IMAGE]" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --elf) [ $# -ge 2 ] || usage; elf=$2; shift 2 ;;
    -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) usage ;;
    esac
done

if ! command -v qemu-system-arm >/dev/null 2>&1; then
    echo "qemu-board: qemu-system-arm is not installed (Debian package qemu-system-arm)" >&2
    exit 1
fi
if [ -z "$elf" ]; then
    src=$repo/device
    elf=$repo/build/qemu-board/iap-boot.elf
    if [ ! -f "$elf" ] || [ -n "$(find "$src" -maxdepth 3 -newer "$elf" \( -name '*.c' -o -name '*.h' -o -name '*.ld' -o -name '*.sh' \) -print -quit)" ]; then
        if ! command -v arm-none-eabi-gcc >/dev/null 2>&1; then
            echo "qemu-board: arm-none-eabi-gcc is not installed (Debian package gcc-arm-none-eabi)" >&2
            exit 1
        fi
        "$src/examples/mps2-an385/build.sh" "$(dirname "$elf")" >&2
    fi
fi
[ -f "$elf" ] || { echo "qemu-board: no boot loader image at $elf" >&2; exit 1; }
case $out in /*) ;; *) out=$PWD/$out ;; esac
[ -d "$(dirname "$out")" ] || { echo "qemu-board: no folder for $out" >&2; exit 1; }

tmp=$(mktemp -d)
qemu_pid=
cleanup() {
    jobs -p | xargs -r kill 2>/dev/null || true
    if [ -n "$qemu_pid" ]; then
        kill "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 0' TERM INT HUP

# The board's semihosting console (one JSON line per image) comes through a FIFO, copied to
# our stdout. Its reader must be there before QEMU opens it for writing.
mkfifo "$tmp/console"
cat "$tmp/console" &
# QEMU dies with this script even if the script is killed outright (--pdeathsig); commas in
# the file name are doubled for QEMU's option syntax.
setpriv --pdeathsig KILL qemu-system-arm -M mps2-an385 -cpu cortex-m3 -display none \
    -monitor none -serial pty -kernel "$elf" \
    -chardev "file,id=console,path=$tmp/console" \
    -semihosting-config "enable=on,target=native,chardev=console,arg=${out//,/,,}" \
    </dev/null >"$tmp/stdout" 2>"$tmp/stderr" &
qemu_pid=$!

port=
for _ in $(seq 200); do
    port=$(sed -n 's/^char device redirected to \(\/dev\/[^ ]*\).*/\1/p' "$tmp/stdout" | head -n 1)
    [ -n "$port" ] && break
    kill -0 "$qemu_pid" 2>/dev/null || break
    sleep 0.05
done
if [ -z "$port" ]; then
    echo "qemu-board: QEMU did not start:" >&2
    cat "$tmp/stdout" "$tmp/stderr" >&2
    exit 1
fi
# Everything is open now: the folder can go, so nothing is left behind even if this script
# is killed outright. QEMU's messages stay readable through fd 3.
exec 3<"$tmp/stderr"
rm -rf "$tmp"
echo "$port"

# Runs until killed, or until QEMU or the parent ends.
parent=$PPID
while kill -0 "$qemu_pid" 2>/dev/null; do
    [ "$(awk '{print $4}' "/proc/$$/stat" 2>/dev/null)" = "$parent" ] || exit 0
    sleep 0.2 &
    wait $! || true
done
echo "qemu-board: QEMU ended:" >&2
cat <&3 >&2
exit 1
