#!/usr/bin/env bash
# Renders the window under a virtual X server in English and in Chinese and saves
# docs/window-en.png and docs/window-zh.png.
#
# Where the form's fonts ("Microsoft YaHei UI", "微软雅黑") are missing they are mapped to
# WenQuanYi Micro Hei through a private fontconfig file, so the Chinese texts render as
# Chinese glyphs. The language is picked with the program's --lang option.
#
#   scripts/screenshots.sh            # builds into build-screenshots/
#   BUILD_DIR=build-w scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" xvfb xauth x11-utils fonts-wqy-microhei fontconfig imagemagick

build="${BUILD_DIR:-build-screenshots}"
# An existing build folder keeps its own settings; a new one is a plain release build.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DIAP_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target upgrade-assistant
app="$root/$build/app/upgrade-assistant"

tmp="$(mktemp -d)"
xvfb_pid=""
app_pid=""
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

cat >"$tmp/fonts.conf" <<'CONF'
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
  <alias binding="same">
    <family>Microsoft YaHei UI</family>
    <prefer><family>WenQuanYi Micro Hei</family></prefer>
  </alias>
  <alias binding="same">
    <family>微软雅黑</family>
    <prefer><family>WenQuanYi Micro Hei</family></prefer>
  </alias>
</fontconfig>
CONF
export FONTCONFIG_FILE="$tmp/fonts.conf"
export XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# A firmware image of 5000 bytes, so that the information window shows its summary.
head -c 5000 /dev/zero | tr '\0' '\125' >"$tmp/firmware.bin"

display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 900x760x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
for _ in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
unset QT_QPA_PLATFORM

shoot() {
    local lang="$1" out="$2"
    (cd "$tmp" && QT_QPA_PLATFORM=xcb "$app" --lang "$lang" firmware.bin) >/dev/null 2>&1 &
    app_pid=$!
    local id=""
    for _ in $(seq 100); do
        id="$(xwininfo -root -tree 2>/dev/null | awk '/"Velquor_Upgrade_Assistant"/ {print $1; exit}')"
        [ -n "$id" ] && break
        sleep 0.1
    done
    if [ -z "$id" ]; then
        echo "the window did not appear" >&2
        exit 1
    fi
    sleep 1.5 # let it paint
    import -window "$id" "png:$out"
    kill "$app_pid"
    wait "$app_pid" 2>/dev/null || true
    app_pid=""
    echo "wrote $out"
}

mkdir -p docs
shoot en docs/window-en.png
shoot zh docs/window-zh.png
