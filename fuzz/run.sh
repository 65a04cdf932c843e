#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them one after the other.
#   fuzz/run.sh [SECONDS]   replay the reproducers in fuzz/regression, then
#                           fuzz every target on its corpus for its share of
#                           SECONDS (default 120); fails on any finding
#   fuzz/run.sh corpus      write the seed corpora anew into fuzz/corpus
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (build jobs).
# New inputs go to BUILD/fuzz-work/corpus/TARGET, findings to
# BUILD/fuzz-work/artifacts, the fuzzers' logs to BUILD/fuzz-work/logs.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
targets=(intake export analysis ring)
# Shares of the time, and the longest input, per target: the intake's inputs
# carry whole tile streams.
declare -A share=([intake]=35 [export]=25 [analysis]=20 [ring]=20)
declare -A maxlen=([intake]=32768 [export]=4096 [analysis]=4096 [ring]=4096)

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTESSERA_FUZZ=ON -DTESSERA_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs" --target fuzzers >/dev/null

if [ "${1:-}" = corpus ]; then
    rm -rf fuzz/corpus
    "$build/fuzz/make_corpus" fuzz/corpus
    du -sh fuzz/corpus/*
    exit 0
fi
total=${1:-120}
case $total in '' | *[!0-9]*) sed -n '2,9p' "$0"; exit 2 ;; esac

work=$build/fuzz-work
mkdir -p "$work/artifacts" "$work/logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# The reproducers of earlier findings and the seeds, each run once.
for t in "${targets[@]}"; do
    inputs=(fuzz/corpus/"$t"/* )
    [ -d fuzz/regression/"$t" ] && inputs+=(fuzz/regression/"$t"/*)
    if ! "$build/fuzz/${t}_fuzzer" -runs=1 "${inputs[@]}" >"$work/logs/$t-replay.log" 2>&1; then
        tail -40 "$work/logs/$t-replay.log"
        echo "fuzz: $t: a reproducer or seed fails (log: $work/logs/$t-replay.log)" >&2
        exit 1
    fi
done

status=0
summary=()
for t in "${targets[@]}"; do
    seconds=$(( total * ${share[$t]} / 100 ))
    [ "$seconds" -ge 1 ] || seconds=1
    mkdir -p "$work/corpus/$t"
    dirs=("$work/corpus/$t" fuzz/corpus/"$t")
    [ -d fuzz/regression/"$t" ] && dirs+=(fuzz/regression/"$t")
    log=$work/logs/$t.log
    if "$build/fuzz/${t}_fuzzer" "${dirs[@]}" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -max_len="${maxlen[$t]}" -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/$t-" >"$log" 2>&1; then
        result=ok
    else
        result=FINDING
        status=1
        tail -60 "$log"
        echo "fuzz: $t: finding; the input is in $work/artifacts/ (log: $log)" >&2
    fi
    # libFuzzer's last status line has the coverage: "#N DONE cov: C ft: F corp: ..."
    last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
    summary+=("$(printf '%-9s %-8s %4ss %10s runs %7s/s  cov %5s  ft %6s  corpus %s' \
        "$t" "$result" "$seconds" "${runs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}")")
done
printf '%s\n' "${summary[@]}"
exit $status
