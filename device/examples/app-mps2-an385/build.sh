#!/usr/bin/env bash
# Cross-builds the example application for the mps2-an385 reference boot loader with
# arm-none-eabi-gcc (no C library), the given version in its banner:
#   device/examples/app-mps2-an385/build.sh OUTDIR VERSION  -> OUTDIR/app.elf, OUTDIR/app.bin
# VERSION: 1 to 32 letters, digits and . _ + -. Either file can be flashed with iap-flash
# (the ELF file is read by its content and starts at its first address, APP_BASE).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
core=$(cd "$here/../.." && pwd)
out=${1:?usage: build.sh OUTDIR VERSION}
version=${2:?usage: build.sh OUTDIR VERSION}
if ! [[ $version =~ ^[A-Za-z0-9._+-]{1,32}$ ]]; then
    echo "build.sh: VERSION must be 1 to 32 letters, digits and . _ + - (got '$version')" >&2
    exit 2
fi
mkdir -p "$out"
cc=${ARM_GCC:-arm-none-eabi-gcc}
objcopy=${ARM_OBJCOPY:-arm-none-eabi-objcopy}
"$cc" -mcpu=cortex-m3 -mthumb -Os -g -std=c99 -Wall -Wextra -Wpedantic -Werror -ffreestanding \
    -ffunction-sections -fdata-sections -DAPP_VERSION="\"$version\"" \
    -I"$core" -I"$core/examples/mps2-an385" \
    -nostdlib -Wl,--gc-sections -T "$here/app.ld" "$here/app.c" "$core/iap_app.c" -o "$out/app.elf.tmp"
"$objcopy" -O binary "$out/app.elf.tmp" "$out/app.bin.tmp"
mv "$out/app.elf.tmp" "$out/app.elf"
mv "$out/app.bin.tmp" "$out/app.bin"
