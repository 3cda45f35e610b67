#!/usr/bin/env bash
# Cross-builds the mps2-an385 reference boot loader with arm-none-eabi-gcc (no C library).
#   device/examples/mps2-an385/build.sh OUTDIR      -> OUTDIR/iap-boot.elf
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
core=$(cd "$here/../.." && pwd)
out=${1:?usage: build.sh OUTDIR}
mkdir -p "$out"
cc=${ARM_GCC:-arm-none-eabi-gcc}
flags=(-mcpu=cortex-m3 -mthumb -Os -g -std=c99 -Wall -Wextra -Wpedantic -ffreestanding
       -ffunction-sections -fdata-sections -I"$core")
"$cc" "${flags[@]}" -nostdlib -Wl,--gc-sections -T "$here/board.ld" \
    "$here/startup.c" "$here/boot.c" "$here/boot_logic.c" "$here/flash.c" "$here/semihost.c" \
    "$core/iap_device.c" -lgcc -o "$out/iap-boot.elf.tmp"
mv "$out/iap-boot.elf.tmp" "$out/iap-boot.elf"
