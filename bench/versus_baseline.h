// Timing an operation against a baseline in the same iterations, so that the
// benchmarks report ratios rather than bare times.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

// The calling thread's processor time in seconds: unlike the wall clock it
// does not count the time that other programs on the machine take.
inline double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Runs `baseline` and `work` alternately, reports the time of `work` and
// returns the ratio of the two totals.
template <typename Work, typename Baseline>
double versus(benchmark::State &state, Work work, Baseline baseline) {
    double baseSeconds = 0, workSeconds = 0;
    for (auto _ : state) {
        const double t0 = threadSeconds();
        baseline();
        benchmark::ClobberMemory();
        const double t1 = threadSeconds();
        work();
        benchmark::ClobberMemory();
        const double t2 = threadSeconds();
        baseSeconds += t1 - t0;
        workSeconds += t2 - t1;
        state.SetIterationTime(t2 - t1);
    }
    return workSeconds / baseSeconds;
}
