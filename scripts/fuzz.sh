#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-hfuzz) and runs each for about a minute,
# starting from the committed seed corpus. Prints the executions and findings per target;
# exits non-zero when a target found something (the inputs are kept under
# build-hfuzz/fuzz-findings/). Not part of ./test.sh: ctest replays the seed corpus instead.
#
#   scripts/fuzz.sh [--seconds N] [--update-corpus]
#       [framer|streamframer|engine|loader|formats|device ...]
#
# --update-corpus merges the inputs that reached new code back into fuzz/corpus/<target>
# (libFuzzer -merge=1, so only a minimal set is added).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-hfuzz
seconds=60
update=0
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=$2; shift 2 ;;
        --update-corpus) update=1; shift ;;
        framer|streamframer|engine|loader|formats|device) targets+=("$1"); shift ;;
        -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
        *) echo "unknown argument: $1" >&2; exit 1 ;;
    esac
done
[ ${#targets[@]} -gt 0 ] || targets=(framer streamframer engine loader formats device)

. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DIAP_FUZZ=ON -DIAP_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" \
    --target "${targets[@]/#/fuzz_}" >/dev/null

mkdir -p "$build/fuzz-findings"
summary=()
found=0
for t in "${targets[@]}"; do
    work=$build/fuzz-work/$t
    rm -rf "$work"
    mkdir -p "$work"
    cp "$root/fuzz/corpus/$t/"* "$work/"
    log=$build/fuzz-$t.log
    before=$(find "$build/fuzz-findings" -name "$t-*" | wc -l)
    echo "fuzzing $t for ${seconds}s (log: $log)"
    set +e
    # The format readers may never ask for more than an image's worth of memory at once
    # (64 MiB, plus room for the allocator's own bookkeeping).
    extra=()
    [ "$t" = formats ] && extra=(-malloc_limit_mb=80)
    "$build/fuzz/fuzz_$t" "$work" -max_total_time="$seconds" -max_len=4096 -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 "${extra[@]}" \
        -artifact_prefix="$build/fuzz-findings/$t-" >"$log" 2>&1
    rc=$?
    set -e
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    after=$(find "$build/fuzz-findings" -name "$t-*" | wc -l)
    findings=$((after - before))
    if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
        found=1
        grep -E 'fuzz check failed|ERROR: ' "$log" | head -3 || true
    fi
    summary+=("$(printf '%-7s %10s executions %6s/s  %-18s corpus %4d inputs  findings %d  (exit %d)' \
        "$t" "${execs:-?}" "${rate:-?}" "${cov:-}" "$(ls "$work" | wc -l)" "$findings" "$rc")")
    if [ "$update" -eq 1 ] && [ "$rc" -eq 0 ]; then
        "$build/fuzz/fuzz_$t" -merge=1 -max_len=4096 "$root/fuzz/corpus/$t" "$work" >/dev/null 2>&1
    fi
done
echo
printf '%s\n' "${summary[@]}"
exit "$found"
