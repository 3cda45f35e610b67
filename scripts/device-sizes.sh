#!/usr/bin/env bash
# Builds the device core (device/iap_device.c) with every compiler it is meant for, freestanding
# (the compiler's own <stdint.h> and <stddef.h>, no C library), warnings as errors, checks that
# the object calls nothing but the compiler's own run-time helpers, and prints its code and RAM
# sizes:
#   host cc      -std=c99 -Wall -Wextra -Wpedantic -ffreestanding          (x86-64)
#   arm-none-eabi-gcc -Os -mcpu=cortex-m3 -mthumb                        (code, RAM, stack)
#   avr-gcc -Os -mmcu=atmega2560                                         (8-bit, 16-bit int;
#                                               also with -mcall-prologues, for comparison)
#   riscv64-unknown-elf-gcc -Os -march=rv32imac -mabi=ilp32              (32-bit RISC-V)
# Exits non-zero on any warning or library call. A missing cross compiler is reported and
# skipped; exit 77 when none is installed (ctest counts that as skipped).
set -euo pipefail
core=$(cd "$(dirname "$0")/../device" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
warn=(-std=c99 -Wall -Wextra -Wpedantic -Werror -ffreestanding)
# One context, statically allocated, as a port would have it.
printf '#include "iap_device.h"\niap_dev the_context;\n' >"$tmp/context.c"

# The symbols an object leaves undefined must be the compiler's own helpers (__mulsi3, ...):
# anything else would be a C library the core claims not to need.
no_library() { # no_library NM OBJECT TARGET
    local calls
    calls=$("$1" -u "$2" | awk '{print $NF}' | grep -v '^__' || true)
    if [ -n "$calls" ]; then
        echo "$3: the core calls outside itself: $calls" >&2
        exit 1
    fi
}

# The core promises to stay small: 1.5 KiB of code on a Cortex-M3, under 2.625 KiB on an AVR.
within_budget() { # within_budget TARGET BYTES LIMIT
    if [ "$2" -gt "$3" ]; then
        echo "$1: the core has grown to $2 bytes of code, over its budget of $3" >&2
        exit 1
    fi
}

cc=${CC:-cc}
"$cc" "${warn[@]}" -O2 -c "$core/iap_device.c" -o "$tmp/host.o"
no_library nm "$tmp/host.o" host
"$cc" "${warn[@]}" -O2 -c "$core/iap_app.c" -o "$tmp/host-app.o"
no_library nm "$tmp/host-app.o" host
echo "host ($("$cc" -dumpmachine)): warning-free, freestanding"

cross=0
if command -v arm-none-eabi-gcc >/dev/null 2>&1; then
    cross=$((cross + 1))
    arm=(-Os -mcpu=cortex-m3 -mthumb -ffunction-sections)
    arm-none-eabi-gcc "${warn[@]}" "${arm[@]}" -fstack-usage -c "$core/iap_device.c" -o "$tmp/arm.o"
    arm-none-eabi-gcc "${warn[@]}" "${arm[@]}" -fno-common -I"$core" -c "$tmp/context.c" -o "$tmp/arm-ctx.o"
    no_library arm-none-eabi-nm "$tmp/arm.o" cortex-m3
    read -r text data bss _ < <(arm-none-eabi-size "$tmp/arm.o" | tail -n 1)
    read -r _ _ ctx _ < <(arm-none-eabi-size "$tmp/arm-ctx.o" | tail -n 1)
    # The deepest call chain, iap_dev_feed_bytes -> take -> examine -> handle ->
    # iap_dev_crc32 -> crc_more (-> the port's send): every function of it that the compiler
    # kept apart, added up (iap_dev_feed and iap_dev_idle call take with less).
    stack=$(awk -F'\t' '$1 ~ /:(iap_dev_feed_bytes|take|examine|forget|handle|iap_dev_crc32|crc_more)$/ {s += $2} END {print s}' \
        "$tmp"/arm.su 2>/dev/null || echo "?")
    echo "cortex-m3 (arm-none-eabi-gcc -Os -mthumb): code $((text + data)) bytes," \
        "context $ctx bytes (package buffer included), static data $bss bytes," \
        "stack at most $stack bytes"
    # (1536 before the rate switch and its fall-back clock, about 270 bytes of it.)
    within_budget cortex-m3 $((text + data)) 1856
    # The reference boot logic on top of the core (validity record, check, start), alone.
    board=$core/examples/mps2-an385
    arm-none-eabi-gcc "${warn[@]}" "${arm[@]}" -ffreestanding -I"$core" -I"$board" \
        -c "$board/boot_logic.c" -o "$tmp/boot-logic.o"
    read -r text data bss _ < <(arm-none-eabi-size "$tmp/boot-logic.o" | tail -n 1)
    echo "cortex-m3 reference boot logic (examples/mps2-an385/boot_logic.c): code" \
        "$((text + data)) bytes, static data $bss bytes"
    # The application's half of an upgrade on request (iap_app.c): under 300 bytes.
    arm-none-eabi-gcc "${warn[@]}" "${arm[@]}" -c "$core/iap_app.c" -o "$tmp/arm-app.o"
    no_library arm-none-eabi-nm "$tmp/arm-app.o" cortex-m3
    read -r text data bss _ < <(arm-none-eabi-size "$tmp/arm-app.o" | tail -n 1)
    echo "cortex-m3 application hand-over (iap_app.c): code $((text + data)) bytes," \
        "static data $bss bytes"
    within_budget "cortex-m3 iap_app" $((text + data)) 299
else
    echo "cortex-m3: skipped, arm-none-eabi-gcc is not installed (Debian package gcc-arm-none-eabi)"
fi
if command -v avr-gcc >/dev/null 2>&1; then
    cross=$((cross + 1))
    avr-gcc "${warn[@]}" -Os -mmcu=atmega2560 -c "$core/iap_device.c" -o "$tmp/avr.o"
    avr-gcc "${warn[@]}" -Os -mmcu=atmega2560 -fno-common -I"$core" -c "$tmp/context.c" -o "$tmp/avr-ctx.o"
    no_library avr-nm "$tmp/avr.o" avr
    # Beside it, with the common size flag that shares the register saves of every function.
    avr-gcc "${warn[@]}" -Os -mmcu=atmega2560 -mcall-prologues -c "$core/iap_device.c" -o "$tmp/avr-cp.o"
    avr-gcc "${warn[@]}" -Os -mmcu=atmega2560 -c "$core/iap_app.c" -o "$tmp/avr-app.o"
    no_library avr-nm "$tmp/avr-app.o" avr
    read -r text data _ _ < <(avr-size "$tmp/avr.o" | tail -n 1)
    read -r cptext cpdata _ _ < <(avr-size "$tmp/avr-cp.o" | tail -n 1)
    read -r _ _ ctx _ < <(avr-size "$tmp/avr-ctx.o" | tail -n 1)
    echo "avr (avr-gcc -Os, 16-bit int): warning-free, code $((text + data)) bytes" \
        "($((cptext + cpdata)) with -mcall-prologues), context $ctx bytes"
    within_budget avr $((text + data)) 3200 # (2688 before the rate switch)
else
    echo "avr: skipped, avr-gcc is not installed (Debian package gcc-avr)"
fi
if command -v riscv64-unknown-elf-gcc >/dev/null 2>&1; then
    cross=$((cross + 1))
    rv=(-Os -march=rv32imac -mabi=ilp32)
    riscv64-unknown-elf-gcc "${warn[@]}" "${rv[@]}" -c "$core/iap_device.c" -o "$tmp/rv.o"
    riscv64-unknown-elf-gcc "${warn[@]}" "${rv[@]}" -fno-common -I"$core" -c "$tmp/context.c" -o "$tmp/rv-ctx.o"
    no_library riscv64-unknown-elf-nm "$tmp/rv.o" rv32imac
    read -r text data _ _ < <(riscv64-unknown-elf-size "$tmp/rv.o" | tail -n 1)
    read -r _ _ ctx _ < <(riscv64-unknown-elf-size "$tmp/rv-ctx.o" | tail -n 1)
    echo "rv32imac (riscv64-unknown-elf-gcc -Os): warning-free, code $((text + data)) bytes," \
        "context $ctx bytes"
else
    echo "rv32imac: skipped, riscv64-unknown-elf-gcc is not installed (Debian package gcc-riscv64-unknown-elf)"
fi
[ "$cross" -gt 0 ] || exit 77
