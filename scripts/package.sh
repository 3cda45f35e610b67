#!/usr/bin/env bash
# Builds the Debian package as it ships: Release, hardened with dpkg-buildflags, stripped,
# against Qt 5 (Debian 12's desktop default) unless told otherwise, then checks it with
# lintian, desktop-file-validate and appstreamcli (tests/packaging/check_package.sh).
#
#   scripts/package.sh                     Qt 5: build-package-qt5/upgrade-assistant_*.deb
#   scripts/package.sh -DIAP_QT_MAJOR=6    Qt 6: build-package-qt6/upgrade-assistant_*.deb
#
# Further -D options go to cmake as given.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" lintian desktop-file-utils appstream

major=5
for arg in "$@"; do
    case $arg in
        -DIAP_QT_MAJOR=*) major=${arg#-DIAP_QT_MAJOR=} ;;
    esac
done
build=build-package-qt$major
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DIAP_BUILD_TESTS=OFF -DIAP_BUILD_BENCH=OFF \
    -DIAP_HARDENING=ON -DIAP_QT_MAJOR="$major" "$@" >/dev/null
cmake --build "$build" -j"$jobs"
tests/packaging/check_package.sh --build "$build" --qt-major "$major"
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/upgrade-assistant_*.deb
