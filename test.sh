#!/usr/bin/env bash
# Builds everything with the tests and runs the whole suite three times:
#   build/       Qt 5, with the benchmarks, hardened as the package is (the .deb is checked)
#   build-qt6/   Qt 6, the same without the benchmarks
#   build-asan/  Qt 5 with AddressSanitizer and UndefinedBehaviorSanitizer
# Every pass builds with compiler warnings as errors, and before any of them the C and C++
# sources under version control must be as clang-format (the committed .clang-format) writes
# them. Exits non-zero on any failure.
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
# The suites spend most of their time waiting on timers and lines (a pass keeps about a third
# of the two cores busy), so twice as many run at once as there are cores, the longest first
# (their COST).
tests_at_once=$((jobs * 2))
export QT_QPA_PLATFORM=offscreen
# Ninja for new build folders (one that exists keeps the generator it was made with).
export CMAKE_GENERATOR=Ninja

# Each step's time, wall clock and CPU (user + system), as it ends.
step() {
    local TIMEFORMAT="test.sh: $1: %R s wall, %U s user + %S s system"
    shift
    time "$@"
}
suite() {
    local dir=$1
    shift
    (cd "$dir" && ctest --output-on-failure --timeout 300 -j"$tests_at_once" "$@")
}

# clang-format --dry-run -Werror names each file it would change, and fails.
format_check() {
    local files
    mapfile -t files < <(git ls-files -- '*.c' '*.h' '*.cpp')
    clang-format --dry-run -Werror "${files[@]}"
}
step "sources formatted" format_check

# Qt 5, the packaged default. IAP_HARDENING takes dpkg-buildflags' flags, as the package
# does, so that the package_deb test checks the package as it ships.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIAP_QT_MAJOR=5 -DIAP_HARDENING=ON \
    -DIAP_BUILD_TESTS=ON -DIAP_BUILD_BENCH=ON -DIAP_WERROR=ON
step "build/ built" cmake --build build -j"$jobs"
step "build/ tested" suite build
[ "$quick" -eq 1 ] && exit 0

# Qt 6: the same suite and the Qt 6 package. The benchmarks measure the protocol, not Qt;
# one build of them is enough.
cmake -S . -B build-qt6 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIAP_QT_MAJOR=6 -DIAP_HARDENING=ON \
    -DIAP_BUILD_TESTS=ON -DIAP_BUILD_BENCH=OFF -DIAP_WERROR=ON
step "build-qt6/ built" cmake --build build-qt6 -j"$jobs"
step "build-qt6/ tested" suite build-qt6

# Sanitizer pass, on Qt 5. -O1 with line tables keeps the build short and the reports
# readable. Any sanitizer report fails the test that triggered it (UBSan does not recover).
# Leak checking needs full malloc stacks to tell Qt's one-time allocations (tests/hardening/
# lsan.supp) from ours; the valgrind tests are left out of this build (the two do not mix).
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DIAP_QT_MAJOR=5 -DIAP_SANITIZE=ON -DIAP_BUILD_TESTS=ON -DIAP_BUILD_BENCH=OFF -DIAP_WERROR=ON
step "build-asan/ built" cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=fast_unwind_on_malloc=0:malloc_context_size=10:check_initialization_order=1:detect_stack_use_after_return=1
export LSAN_OPTIONS=suppressions=$PWD/tests/hardening/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
step "build-asan/ tested" suite build-asan
