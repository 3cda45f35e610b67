# Sourced by ./test.sh and ./run.sh: install the Debian packages that are missing, and only those.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}" >&2
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "error: packages ${missing[*]} are missing and neither root nor sudo is available" >&2
            return 1
        fi
    fi
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# What building the programs needs: Qt 5 and Qt 6 (./test.sh builds against both), and
# dpkg-dev for the packaged build (dpkg-buildflags, dpkg-shlibdeps); ./test.sh builds with
# Ninja.
QT5_PACKAGES=(qtbase5-dev libqt5serialport5-dev qttools5-dev qttools5-dev-tools)
QT6_PACKAGES=(qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools linguist-qt6 qt6-l10n-tools)
BUILD_PACKAGES=(cmake ninja-build g++ make pkg-config dpkg-dev "${QT5_PACKAGES[@]}" "${QT6_PACKAGES[@]}")
# What the test suite and benchmarks need on top (zlib is the independent CRC oracle;
# valgrind checks the window and the flasher for memory errors; binutils makes the HEX,
# S-record and ELF files the firmware loader is tested with; script from bsdutils gives
# iap-flash a terminal in the progress-bar tests; lintian, desktop-file-utils and appstream
# check the Debian package, its desktop entry and its metainfo; ser2net is the network serial
# port server iap-flash's rfc2217:// and socket:// links are tested and measured through;
# setpriv from util-linux runs iap-flash -l as a user outside the ports' group; clang-format
# checks that the sources follow the committed .clang-format).
TEST_PACKAGES=(zlib1g-dev libbenchmark-dev valgrind binutils bsdutils util-linux lintian desktop-file-utils appstream ser2net clang-format)
# The device side: the cross compilers the boot-loader core is built with (Cortex-M3, 8-bit
# AVR, RV32IMAC; freestanding, so no C library is needed for any of them) and the emulated
# board its reference boot loader runs on in the tests. Installed when possible; without them
# those tests are reported as skipped.
DEVICE_PACKAGES=(gcc-arm-none-eabi qemu-system-arm gcc-avr gcc-riscv64-unknown-elf)
# The window's Chinese texts need a font with CJK glyphs, which a fresh machine may lack (the
# package only recommends one): without it they are drawn as boxes. WenQuanYi Micro Hei is 5 MB
# installed (1.6 MB to download), Noto CJK 89 MB (54 MB); fontconfig brings fc-list, which
# tells whether any installed font covers Chinese.
CJK_FONT_PACKAGES=(fonts-wqy-microhei)
ensure_cjk_font() {
    command -v fc-list >/dev/null 2>&1 || ensure_packages fontconfig || return 1
    [ -n "$(fc-list :lang=zh family 2>/dev/null)" ] && return 0
    ensure_packages "${CJK_FONT_PACKAGES[@]}"
}
