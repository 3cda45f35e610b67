#!/usr/bin/env bash
# Builds the programs (Release) and starts the window.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DIAP_BUILD_TESTS=OFF
cmake --build build-release -j"$jobs"
if [ ! -x build-release/app/upgrade-assistant ]; then
    echo "The window is not built yet: only the protocol core exists so far (run ./test.sh to check it)." >&2
    exit 1
fi
exec build-release/app/upgrade-assistant "$@"
