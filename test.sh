#!/usr/bin/env bash
# Builds everything with the tests and runs the whole suite. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIAP_BUILD_TESTS=ON -DIAP_BUILD_BENCH=ON
cmake --build build -j"$jobs"
export QT_QPA_PLATFORM=offscreen
(cd build && ctest --output-on-failure --timeout 300)
