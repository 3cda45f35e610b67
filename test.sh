#!/usr/bin/env bash
# Builds everything with the tests and runs the whole suite three times:
#   build/       Qt 5, with the benchmarks, hardened as the package is (the .deb is checked)
#   build-qt6/   Qt 6, the same without the benchmarks
#   build-asan/  Qt 5 with AddressSanitizer and UndefinedBehaviorSanitizer
# Exits non-zero on any failure.
#
#   ./test.sh            all three passes
#   ./test.sh --quick    the Qt 5 pass only
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
ensure_packages "${DEVICE_PACKAGES[@]}" ||
    echo "warning: ${DEVICE_PACKAGES[*]} could not be installed; the emulated-board and cross-compiler tests will be skipped" >&2

quick=0
[ "${1:-}" = "--quick" ] && quick=1

jobs=$(nproc 2>/dev/null || echo 2)
# The suites spend most of their time waiting on timers and lines, so they run side by side
# as well, as many at once as there are cores.
export QT_QPA_PLATFORM=offscreen

# Qt 5, the packaged default. IAP_HARDENING takes dpkg-buildflags' flags, as the package
# does, so that the package_deb test checks the package as it ships.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIAP_QT_MAJOR=5 -DIAP_HARDENING=ON \
    -DIAP_BUILD_TESTS=ON -DIAP_BUILD_BENCH=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure --timeout 300 -j"$jobs")
[ "$quick" -eq 1 ] && exit 0

# Qt 6: the same suite and the Qt 6 package. The benchmarks measure the protocol, not Qt;
# one build of them is enough.
cmake -S . -B build-qt6 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIAP_QT_MAJOR=6 -DIAP_HARDENING=ON \
    -DIAP_BUILD_TESTS=ON -DIAP_BUILD_BENCH=OFF
cmake --build build-qt6 -j"$jobs"
(cd build-qt6 && ctest --output-on-failure --timeout 300 -j"$jobs")

# Sanitizer pass, on Qt 5. -O1 with line tables keeps the build short and the reports
# readable. Any sanitizer report fails the test that triggered it (UBSan does not recover).
# Leak checking needs full malloc stacks to tell Qt's one-time allocations (tests/hardening/
# lsan.supp) from ours; the valgrind tests are left out of this build (the two do not mix).
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DIAP_QT_MAJOR=5 -DIAP_SANITIZE=ON -DIAP_BUILD_TESTS=ON -DIAP_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=fast_unwind_on_malloc=0:malloc_context_size=10:check_initialization_order=1:detect_stack_use_after_return=1
export LSAN_OPTIONS=suppressions=$PWD/tests/hardening/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure --timeout 300 -j"$jobs")
