#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and runs each for the
# given number of seconds (default 60), starting from the seeds in tests/fuzz/corpus/<target>.
# Prints one line per target: runs, executions per second, coverage, findings. Exits 1 when a
# target found something; the input that did it is in build-fuzz/findings/<target>/.
#   scripts/fuzz.sh [seconds] [target...]      (FUZZ_SEED=n for another seed; 1 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
seconds=${1:-60}
shift || true

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRYDESK_FUZZ=ON \
    -DFERRYDESK_WERROR=OFF >/dev/null
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=($(cd tests/fuzz && ls fuzz_*.cpp | sed "s/^fuzz_//; s/\.cpp$//"))
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
printf '%-12s %12s %10s %8s %9s\n' target runs exec/s cov findings
failed=0
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t" findings="$build/findings/$t" log="$build/fuzz-$t.log"
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings"
    set +e
    "$build/tests/fuzz/fuzz_$t" "$corpus" "tests/fuzz/corpus/$t" -max_total_time="$seconds" \
        -max_len=65536 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -seed="${FUZZ_SEED:-1}" -artifact_prefix="$findings/" >"$log" 2>&1
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2 || true)
    found=$(find "$findings" -type f | wc -l)
    printf '%-12s %12s %10s %8s %9s\n' "$t" "${runs:-?}" "${speed:-?}" "${cov:-?}" "$found"
    if [ "$found" -gt 0 ]; then
        failed=1
        grep -m3 -E 'ERROR|runtime error|SUMMARY|deadly signal' "$log" | sed 's/^/    /' || true
    fi
done
exit $failed
