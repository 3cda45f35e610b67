#!/usr/bin/env bash
# The reference boot loader on an emulated Cortex-M3 board (QEMU mps2-an385), its UART on a
# pseudo-terminal. Prints the path of the port as the first line of stdout, then the board's
# console: one JSON line per event (power-on, baud, complete, start, stay). Runs until killed, and
# ends when the program that started it ends, taking QEMU with it. Killing it is cutting the
# board's power.
#
#   scripts/qemu-board.sh [--flash FILE] [--out FILE] [--hold] [--elf IMAGE]
#
# --flash FILE  the board's application flash (1 MiB), kept across power cycles: created
#               erased (0xFF) when missing, loaded at power-on, and every change reaches it
#               before the package is acknowledged. Without it the flash is erased at power-on.
# --out FILE    each complete image is also written to FILE (without --flash, FILE defaults
#               to qemu-board-image.bin in the working folder).
# --hold        the board stays off until this script gets SIGUSR1, so a host can be
#               requesting before the board powers on.
# --elf IMAGE   the boot loader to run; default: cross-built (when missing or out of date)
#               under build/qemu-board/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
flash_size=1048576 # device/examples/mps2-an385/board.h: FLASH_SIZE
out=
flash=
hold=0
elf=

usage() {
    echo "usage: $0 [--flash FILE] [--out FILE] [--hold] [--elf IMAGE]" >&2
    exit 2
}
fail() {
    echo "qemu-board: $*" >&2
    exit 1
}
while [ $# -gt 0 ]; do
    case $1 in
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --flash) [ $# -ge 2 ] || usage; flash=$2; shift 2 ;;
    --hold) hold=1; shift ;;
    --elf) [ $# -ge 2 ] || usage; elf=$2; shift 2 ;;
    -h | --help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) usage ;;
    esac
done

command -v qemu-system-arm >/dev/null 2>&1 ||
    fail "qemu-system-arm is not installed (Debian package qemu-system-arm)"
if [ -z "$elf" ]; then
    src=$repo/device
    elf=$repo/build/qemu-board/iap-boot.elf
    if [ ! -f "$elf" ] || [ -n "$(find "$src" -maxdepth 3 -newer "$elf" \( -name '*.c' -o -name '*.h' -o -name '*.ld' -o -name '*.sh' \) -print -quit)" ]; then
        command -v arm-none-eabi-gcc >/dev/null 2>&1 ||
            fail "arm-none-eabi-gcc is not installed (Debian package gcc-arm-none-eabi)"
        "$src/examples/mps2-an385/build.sh" "$(dirname "$elf")" >&2
    fi
fi
[ -f "$elf" ] || fail "no boot loader image at $elf"

absolute() { case $1 in /*) printf '%s' "$1" ;; *) printf '%s' "$PWD/$1" ;; esac; }
[ -z "$flash" ] && [ -z "$out" ] && out=qemu-board-image.bin
if [ -n "$out" ]; then
    out=$(absolute "$out")
    [ -d "$(dirname "$out")" ] || fail "no folder for $out"
fi
if [ -n "$flash" ]; then
    flash=$(absolute "$flash")
    [ -d "$(dirname "$flash")" ] || fail "no folder for $flash"
    if [ ! -e "$flash" ]; then
        # A new board: its flash erased. Written aside and renamed, so no half-made file stays.
        head -c "$flash_size" /dev/zero | tr '\0' '\377' >"$flash.new" && mv "$flash.new" "$flash" ||
            { rm -f "$flash.new"; fail "cannot create $flash"; }
    fi
    [ -f "$flash" ] || fail "$flash is not a regular file"
    [ -r "$flash" ] && [ -w "$flash" ] || fail "$flash cannot be read and written"
    size=$(stat -c %s "$flash")
    [ "$size" -eq "$flash_size" ] ||
        fail "$flash holds $size bytes, the board's flash is $flash_size (an erased one is made when the file is missing)"
fi

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

# The board's semihosting console comes through a FIFO, copied to our stdout; its reader must
# be there before QEMU opens it for writing. The monitor (to switch the board on) is a pair of
# FIFOs QEMU opens for reading and writing.
mkfifo "$tmp/console" "$tmp/monitor.in" "$tmp/monitor.out"
# QEMU's output files exist before it starts, for the loop below to read from the first try.
: >"$tmp/stdout"
: >"$tmp/stderr"
cat "$tmp/console" &
# The board's command line: the flash file and the --out file, each "<bytes>:<path>".
paths=$(LC_ALL=C; printf '%d:%s%d:%s' "${#flash}" "$flash" "${#out}" "$out")
# QEMU starts stopped (-S) and dies with this script even if the script is killed outright
# (--pdeathsig); commas in file names are doubled for QEMU's option syntax.
setpriv --pdeathsig KILL qemu-system-arm -M mps2-an385 -cpu cortex-m3 -display none -S \
    -chardev "pipe,id=monitor,path=$tmp/monitor" -mon chardev=monitor,mode=readline \
    -serial pty -kernel "$elf" \
    -chardev "file,id=console,path=$tmp/console" \
    -semihosting-config "enable=on,target=native,chardev=console,arg=${paths//,/,,}" \
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
# The board's end of the cable: held open, raw, never read, so what the board sends while no
# program has the port open waits in the terminal for the next one (as in a USB serial
# adapter) instead of being dropped by QEMU.
exec 4<>"$port"
stty raw -echo <&4
opened=$(date +%s%N)
exec 5<>"$tmp/monitor.in" 6<>"$tmp/monitor.out"
# Everything is open now: the folder can go, so nothing is left behind even if this script
# is killed outright. QEMU's messages stay readable through fd 3.
exec 3<"$tmp/stderr"
rm -rf "$tmp"

# QEMU looks for a program on its pseudo-terminal once a second and reads nothing from it
# before it has seen one: a held board powers on only once that has happened, so a host that
# is already requesting is heard from the first millisecond.
powered=0
power_on() {
    [ "$powered" -eq 0 ] || return 0
    powered=1
    if [ "$hold" -eq 1 ]; then
        local wait_ns=$((opened + 1500000000 - $(date +%s%N)))
        [ "$wait_ns" -le 0 ] || sleep "$((wait_ns / 1000000000)).$(printf '%09d' $((wait_ns % 1000000000)))"
    fi
    echo cont >&5
}
trap power_on USR1
echo "$port"
[ "$hold" -eq 1 ] || power_on

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
