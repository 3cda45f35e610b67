#!/usr/bin/env bash
# Builds the Debian package from a configured build folder (cpack) inside a temporary
# folder and checks it as a distribution would: lintian with no error, warning or
# unexplained info tag, desktop-file-validate and appstreamcli validate clean, and the
# files, dependencies and documents a user expects.
#
#   check_package.sh --build DIR --qt-major 5|6
set -euo pipefail

build="" major=""
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$(realpath "$2"); shift 2 ;;
        --qt-major) major=$2; shift 2 ;;
        *) echo "check_package.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -f "$build/CPackConfig.cmake" ] && [ -n "$major" ] || {
    echo "check_package.sh: need --build (a configured build folder) and --qt-major" >&2
    exit 2
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log" >&2
    exit 1
}
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# --- control fields -------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = upgrade-assistant ] || fail "Package is $(field Package)"
[ "$(field Maintainer)" = "Upgrade Assistant maintainers <maintainers@example.com>" ] ||
    fail "Maintainer is $(field Maintainer)"
[ "$(field Recommends)" = "fonts-noto-cjk | fonts-wqy-microhei" ] ||
    fail "Recommends is $(field Recommends)"
depends=$(field Depends)
if [ "$major" = 5 ]; then
    for lib in libqt5core5a libqt5gui5 libqt5widgets5 libqt5serialport5; do
        grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
    done
    grep -q libqt6 <<<"$depends" && fail "a Qt 5 package depends on Qt 6: $depends"
else
    for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6; do
        grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
    done
    grep -q libqt5 <<<"$depends" && fail "a Qt 6 package depends on Qt 5: $depends"
fi
# The synopsis, then an extended description wrapped to 80 columns.
description=$(field Description)
synopsis=$(head -1 <<<"$description")
[ ${#synopsis} -le 80 ] || fail "the synopsis is ${#synopsis} characters long"
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "no extended description"
awk 'length > 80 { exit 1 }' <<<"$description" || fail "a description line is over 80 columns"
echo "Depends: $depends"
echo "Installed-Size: $(field Installed-Size) KiB"

# --- the files ------------------------------------------------------------------------
dpkg-deb -x "$deb" "$work/root"
root=$work/root/usr
for f in bin/upgrade-assistant bin/iap-flash bin/iap-device-sim \
    share/man/man1/upgrade-assistant.1.gz share/man/man1/iap-flash.1.gz \
    share/man/man1/iap-device-sim.1.gz share/bash-completion/completions/iap-flash \
    share/doc/upgrade-assistant/copyright share/doc/upgrade-assistant/changelog.gz \
    share/upgrade-assistant/translations/IAP_en_US.qm \
    share/applications/com.example.upgradeassistant.desktop \
    share/metainfo/com.example.upgradeassistant.metainfo.xml; do
    [ -f "$root/$f" ] || fail "the package has no /usr/$f"
done
# Icons: a PNG of the size its folder names (width and height from the IHDR chunk).
for size in 48 64 128 256; do
    png=$root/share/icons/hicolor/${size}x${size}/apps/upgrade-assistant.png
    if [ ! -f "$png" ]; then
        fail "no ${size}x${size} icon"
        continue
    fi
    read -r w h < <(od -An -tu1 -j16 -N8 "$png" |
        awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }')
    [ "$w x $h" = "$size x $size" ] || fail "the ${size}x${size} icon is $w x $h"
done
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$root/share/doc/upgrade-assistant/copyright" || fail "the copyright file is not in DEP-5 form"
grep -q '^Exec=upgrade-assistant %f$' "$root/share/applications/com.example.upgradeassistant.desktop" ||
    fail "the desktop entry does not pass a file to the window"
# No generic type: the flasher must not become the handler of every unknown binary file (no
# standard type names firmware images; "Open with" still passes one through %f).
! grep -Eq '^MimeType=.*(application/octet-stream|text/plain|application/x-executable)' \
    "$root/share/applications/com.example.upgradeassistant.desktop" ||
    fail "the desktop entry claims a generic MimeType"
# The programs run from where the package puts them.
version=$("$root/bin/iap-flash" --version) || fail "the packaged iap-flash does not start"
echo "packaged iap-flash: $version"

# --- validators -----------------------------------------------------------------------
desktop-file-validate "$root/share/applications/com.example.upgradeassistant.desktop" ||
    fail "desktop-file-validate"
appstreamcli validate --no-net --pedantic "$root/share/metainfo/com.example.upgradeassistant.metainfo.xml" ||
    fail "appstreamcli validate"

# lintian, info tags shown: no error, no warning, and no info tag unless it is listed here
# with the reason it may stay. None is needed today (the binaries are stripped of their
# .comment sections and built with the hardening flags, which would otherwise show up as
# binary-has-unneeded-section and hardening-no-fortify-functions / hardening-no-bindnow).
allowed_info=()
# Its own temporary files go into the work folder, which goes with this script.
mkdir -p "$work/tmp"
TMPDIR=$work/tmp lintian --display-info --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
unexpected=$(grep -E '^[EWIXO]: ' "$work/lintian.log" || true)
for tag in "${allowed_info[@]}"; do
    unexpected=$(grep -v -- "^I: [^ ]* [^:]*: $tag\b" <<<"$unexpected" || true)
done
if [ -n "$unexpected" ]; then
    cat "$work/lintian.log" >&2
    fail "lintian reports tags"
else
    echo "lintian: clean ($(TMPDIR=$work/tmp lintian --version))"
fi

exit $((failures > 0))
