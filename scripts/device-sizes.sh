#!/usr/bin/env bash
# Builds the device core (device/iap_device.c) with every compiler it is meant for, warnings
# as errors, and prints its code and RAM sizes:
#   host cc      -std=c99 -Wall -Wextra -Wpedantic                     (x86-64)
#   arm-none-eabi-gcc -Os -mcpu=cortex-m3 -mthumb                      (code, RAM, stack)
#   avr-gcc -Os -mmcu=atmega2560                                       (8-bit, 16-bit int)
# Exits non-zero on any warning. A missing cross compiler is reported and skipped; exit 77
# when neither is installed (ctest counts that as skipped).
set -euo pipefail
core=$(cd "$(dirname "$0")/../device" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
warn=(-std=c99 -Wall -Wextra -Wpedantic -Werror)
# One context, statically allocated, as a port would have it.
printf '#include "iap_device.h"\niap_dev the_context;\n' >"$tmp/context.c"

cc=${CC:-cc}
"$cc" "${warn[@]}" -O2 -c "$core/iap_device.c" -o "$tmp/host.o"
echo "host ($("$cc" -dumpmachine)): warning-free"

cross=0
if command -v arm-none-eabi-gcc >/dev/null 2>&1; then
    cross=$((cross + 1))
    arm=(-Os -mcpu=cortex-m3 -mthumb -ffunction-sections)
    arm-none-eabi-gcc "${warn[@]}" "${arm[@]}" -fstack-usage -c "$core/iap_device.c" -o "$tmp/arm.o"
    arm-none-eabi-gcc "${warn[@]}" "${arm[@]}" -fno-common -I"$core" -c "$tmp/context.c" -o "$tmp/arm-ctx.o"
    read -r text data bss _ < <(arm-none-eabi-size "$tmp/arm.o" | tail -n 1)
    read -r _ _ ctx _ < <(arm-none-eabi-size "$tmp/arm-ctx.o" | tail -n 1)
    # Deepest call chain: iap_dev_feed -> examine -> handle_package -> reply (-> the port's send).
    stack=$(awk -F'\t' '$1 ~ /:(iap_dev_feed|examine|handle_package|reply)$/ {s += $2} END {print s}' \
        "$tmp"/arm.su 2>/dev/null || echo "?")
    echo "cortex-m3 (arm-none-eabi-gcc -Os -mthumb): code $((text + data)) bytes," \
        "context $ctx bytes (package buffer included), static data $bss bytes," \
        "stack at most $stack bytes"
    # The reference boot logic on top of the core (validity record, check, start), alone.
    board=$core/examples/mps2-an385
    arm-none-eabi-gcc "${warn[@]}" "${arm[@]}" -ffreestanding -I"$core" -I"$board" \
        -c "$board/boot_logic.c" -o "$tmp/boot-logic.o"
    read -r text data bss _ < <(arm-none-eabi-size "$tmp/boot-logic.o" | tail -n 1)
    echo "cortex-m3 reference boot logic (examples/mps2-an385/boot_logic.c): code" \
        "$((text + data)) bytes, static data $bss bytes"
else
    echo "cortex-m3: skipped, arm-none-eabi-gcc is not installed (Debian package gcc-arm-none-eabi)"
fi
if command -v avr-gcc >/dev/null 2>&1; then
    cross=$((cross + 1))
    avr-gcc "${warn[@]}" -Os -mmcu=atmega2560 -c "$core/iap_device.c" -o "$tmp/avr.o"
    avr-gcc "${warn[@]}" -Os -mmcu=atmega2560 -fno-common -I"$core" -c "$tmp/context.c" -o "$tmp/avr-ctx.o"
    read -r text data _ _ < <(avr-size "$tmp/avr.o" | tail -n 1)
    read -r _ _ ctx _ < <(avr-size "$tmp/avr-ctx.o" | tail -n 1)
    echo "avr (avr-gcc -Os, 16-bit int): warning-free, code $((text + data)) bytes, context $ctx bytes"
else
    echo "avr: skipped, avr-gcc is not installed (Debian package gcc-avr)"
fi
[ "$cross" -gt 0 ] || exit 77
