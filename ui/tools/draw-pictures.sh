#!/usr/bin/env bash
# Redraws ui/Res/Img/1.ico and ui/Res/Img/20240818-210319.png with drawpictures.cpp.
# The pictures are committed; run this only to change them.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$here/../Res/Img"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++17 -fPIC -O1 "$here/drawpictures.cpp" -o "$tmp/drawpictures" $(pkg-config --cflags --libs Qt6Gui 2>/dev/null || pkg-config --cflags --libs Qt5Gui)
QT_QPA_PLATFORM=offscreen "$tmp/drawpictures" "$out"
echo "wrote $out/1.ico and $out/20240818-210319.png"
