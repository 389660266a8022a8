#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang (ASan + UBSan) and runs each for a bounded
# time from its seed corpus. Fails on the first finding (crash, sanitizer report, leak, timeout) and
# keeps the input that caused it.
#
#   scripts/fuzz.sh [NAME...]     NAME: json base64 certificate sign_answer store_values (default all)
# Environment:
#   LUCSP_FUZZ_SECONDS  time per harness (default 30)
#   LUCSP_FUZZ_JOBS     build jobs (default nproc)
#   LUCSP_BUILD_ROOT    build root (default build/); the build goes to <root>/fuzz
#   LUCSP_FUZZ_WORK     where the growing corpora, logs and findings go (default <root>/fuzz-work)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
out=${LUCSP_BUILD_ROOT:-$top/build}
seconds=${LUCSP_FUZZ_SECONDS:-30}
jobs=${LUCSP_FUZZ_JOBS:-$(nproc)}
work=${LUCSP_FUZZ_WORK:-$out/fuzz-work}
names=("$@")
[[ ${#names[@]} -gt 0 ]] || names=(json base64 certificate sign_answer store_values)

command -v clang++ >/dev/null || { echo "fuzz: clang++ missing (scripts/setup.sh installs it)" >&2; exit 1; }
CC=clang CXX=clang++ cmake -S . -B "$out/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUCSP_FUZZ=ON \
    -DLUCSP_TESTS=OFF >/dev/null
targets=()
for n in "${names[@]}"; do targets+=("fuzz_$n"); done
cmake --build "$out/fuzz" -j"$jobs" --target "${targets[@]}"

passed=0
failed=0
for n in "${names[@]}"; do
    seeds=$top/tests/fuzz/corpus/$n
    corpus=$work/corpus/$n
    findings=$work/findings/$n
    log=$work/$n.log
    mkdir -p "$corpus" "$findings"
    [[ -d $seeds ]] || { echo "fuzz: no seed corpus $seeds" >&2; exit 1; }
    rc=0
    # New inputs go to the work corpus; the seeds in the repository stay as they are.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$out/fuzz/tests/fuzz/fuzz_$n" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$seeds" >"$log" 2>&1 || rc=$?
    stats=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -1 | sed 's/^\(#[0-9]*\)[[:space:]]*[A-Z]*[[:space:]]*/\1 /')
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [[ $rc -eq 0 ]]; then
        passed=$((passed + 1))
        echo "fuzz $n: ok, ${execs:-?} executions in ${seconds}s; ${stats}"
    else
        failed=$((failed + 1))
        echo "fuzz $n: FINDING (exit status $rc), input kept in $findings, log $log"
        grep -E 'ERROR: |SUMMARY: |fuzz check failed|runtime error' "$log" | head -5
    fi
done
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
