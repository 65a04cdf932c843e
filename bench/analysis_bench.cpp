// Frame analysis on a 1920 x 1080 picture, against a memcpy of the same frame
// timed in the same iterations. The counter x_memcpy is the ratio of the
// operation's time to the memcpy's: the greyscale pass should stay within 2,
// and the border measurement, which reads only a few rows and columns, far
// below 1.
#include <benchmark/benchmark.h>
#include <libyuv/planar_functions.h>
#include <string.h>

#include <chrono>
#include <vector>

#include "core/tessera/frame_analysis.h"
#include "core/tessera/frame_store.h"
#include "tile_encoder.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * kPixelBytes;

// The store holding the test pattern, as the decoder would have painted it.
void showTestPattern() {
    std::vector<uint16_t> rgb565(size_t(kWidth) * kHeight);
    tsTestPattern(rgb565.data(), kWidth, kHeight, 0);
    createBuffer(kWidth, kHeight);
    tsExpandFrame(rgb565.data(), kWidth * kHeight, frameBuffer);
}

// Alternates a memcpy of one frame with `work` and reports the time of
// `work` alone, and its ratio to the memcpy.
template <typename Work>
void versusMemcpy(benchmark::State &state, Work work) {
    using Clock = std::chrono::steady_clock;
    std::vector<uint8_t> src(kFrameBytes, 0x5A), dst(kFrameBytes);
    double copySeconds = 0, workSeconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        memcpy(dst.data(), src.data(), kFrameBytes);
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        work();
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        copySeconds += std::chrono::duration<double>(t1 - t0).count();
        const double seconds = std::chrono::duration<double>(t2 - t1).count();
        workSeconds += seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["x_memcpy"] = workSeconds / copySeconds;
}

void BM_toGreyscale(benchmark::State &state) {
    showTestPattern();
    versusMemcpy(state, [] { toGreyscale(0); });
}
BENCHMARK(BM_toGreyscale)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Each kernel on the whole frame, to show what the vector forms buy.
void BM_greyRow(benchmark::State &state, GreyRow row) {
    showTestPattern();
    versusMemcpy(state, [row] { row(frameBuffer, kWidth * kHeight); });
}
BENCHMARK_CAPTURE(BM_greyRow, C, greyRow_C)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_greyRow, SSE2, greyKernels_SSE2.greyRow)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_greyRow, AVX2, greyKernels_AVX2.greyRow)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// libyuv's own in-place grey (luma-weighted, so not the same bytes) for scale.
void BM_libyuvARGBGray(benchmark::State &state) {
    showTestPattern();
    versusMemcpy(state, [] {
        libyuv::ARGBGray(reinterpret_cast<uint8_t *>(frameBuffer), kWidth * kPixelBytes, 0, 0,
                         kWidth, kHeight);
    });
}
BENCHMARK(BM_libyuvARGBGray)->UseManualTime()->Unit(benchmark::kMicrosecond);

// An ordinary picture (8-pixel black border), and an all-black one, where
// every scan runs to the limit of 75 lines: the worst case.
void BM_getBlackEdges(benchmark::State &state) {
    showTestPattern();
    if (state.range(0)) memset(frameBuffer, 0, kFrameBytes);
    BlackEdges edges;
    versusMemcpy(state, [&edges] {
        getBlackEdges(kWidth, kHeight, &edges);
        benchmark::DoNotOptimize(edges);
    });
    state.counters["top"] = edges.top;
}
BENCHMARK(BM_getBlackEdges)
    ->ArgName("allBlack")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
