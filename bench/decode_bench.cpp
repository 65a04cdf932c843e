// Decoding a full 1920x1080 frame of the tile stream, against the cost of
// merely moving or setting that many bytes (memcpy, memset) and of libyuv's
// plain RGB565 conversion of the same picture, all measured in this run.
// Each decode benchmark reports its time as ratios to those baselines.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <map>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "core/tessera/frame_store.h"
#include "core/tessera/kernel_choice.h"
#include "core/tessera/stream_intake.h"
#include "core/tessera/tile_kernels.h"
#include "tile_encoder.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPaddedHeight = 1088;  // whole tile rows
constexpr int kTiles = (kWidth / 16) * (kPaddedHeight / 16);
constexpr size_t kFrameBytes = size_t(kWidth) * kPaddedHeight * 4;  // 8,355,840
constexpr int kTransferBytes = 16384;

// Best seconds per iteration of each benchmark that has run, by name: the
// machine may be shared, and interference only ever adds time.
std::map<std::string, double> measured;

using Transfers = std::vector<std::vector<uint8_t>>;

// A frame where every tile differs inside (pixel packets), or where every
// tile is one colour (fill packets), cut into 16 KiB transfers.
Transfers encodedFrame(bool uniformTiles) {
    std::vector<uint16_t> frame(size_t(kWidth) * kHeight);
    std::mt19937 rng(1);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            frame[size_t(y) * kWidth + x] =
                uniformTiles ? uint16_t((y / 16) * 977 + (x / 16) * 31) : uint16_t(rng());
    TsEncoder *enc = tsEncoderNew(kWidth, kHeight, kTransferBytes);
    tsEncoderPutFrame(enc, frame.data(), nullptr);
    Transfers transfers;
    std::vector<uint8_t> buf(kTransferBytes);
    while (int n = tsEncoderTakeTransfer(enc, buf.data(), kTransferBytes))
        transfers.emplace_back(buf.begin(), buf.begin() + n);
    tsEncoderFree(enc);
    return transfers;
}

// CPU time of this thread: on a shared machine wall time also counts the
// time the benchmark spent descheduled.
double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Runs `body` once per iteration and records the time per iteration.
template <typename Body>
void timeLoop(benchmark::State &state, const std::string &name, Body body) {
    const double start = threadSeconds();
    for (auto _ : state) {
        body();
        benchmark::ClobberMemory();
    }
    const double perIteration = (threadSeconds() - start) / double(state.iterations());
    if (!measured.count(name) || perIteration < measured[name]) measured[name] = perIteration;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}

// Adds the counter "vs_<baseline>": this benchmark's time over the baseline's.
void addRatio(benchmark::State &state, const std::string &name, const std::string &baseline) {
    if (measured.count(name) && measured.count(baseline))
        state.counters["vs_" + baseline] = measured[name] / measured[baseline];
}

void BM_memcpy(benchmark::State &state) {
    std::vector<uint8_t> src(kFrameBytes, 1), dst(kFrameBytes);
    timeLoop(state, "memcpy", [&] { memcpy(dst.data(), src.data(), kFrameBytes); });
}

void BM_memset(benchmark::State &state) {
    std::vector<uint8_t> dst(kFrameBytes);
    int value = 0;
    timeLoop(state, "memset", [&] { memset(dst.data(), ++value, kFrameBytes); });
}

void BM_libyuv(benchmark::State &state) {
    std::vector<uint8_t> src(size_t(kWidth) * kPaddedHeight * 2), dst(kFrameBytes);
    std::mt19937 rng(2);
    for (auto &b : src) b = uint8_t(rng());
    timeLoop(state, "libyuv", [&] {
        libyuv::RGB565ToARGB(src.data(), kWidth * 2, dst.data(), kWidth * 4, kWidth, kPaddedHeight);
    });
}

void decodeStream(benchmark::State &state, const std::string &name, const Transfers &transfers,
                  const std::string &baseline) {
    if (createBuffer(kWidth, kHeight) != StoreStatus::ok) {
        state.SkipWithError("no memory for the frame store");
        return;
    }
    timeLoop(state, name, [&] {
        for (const auto &t : transfers) {
            SinkResult r;
            videoSink(t.data(), int(t.size()), 0, &r);
        }
        benchmark::DoNotOptimize(frameBuffer);
    });
    addRatio(state, name, baseline);
    addRatio(state, name, "libyuv");
    state.SetLabel(isaName(cpuIsa()));
}

void BM_pixelStream(benchmark::State &state) {
    static const Transfers transfers = encodedFrame(false);
    decodeStream(state, "pixelStream", transfers, "memcpy");
}

void BM_fillStream(benchmark::State &state) {
    static const Transfers transfers = encodedFrame(true);
    decodeStream(state, "fillStream", transfers, "memset");
}

// The tile kernels alone over a frame's worth of tiles, to show what each
// instruction set gains (the decoder uses the one chosen at start-up). The
// frame is a heap block like the store, with the same alignment.
template <typename Kernel>
void tileKernel(benchmark::State &state, const std::string &name, Kernel kernel, bool avx2,
                const std::string &baseline) {
    if (avx2 && !cpuRuns(Isa::avx2)) {
        state.SkipWithError("no AVX2 on this CPU");
        return;
    }
    std::vector<uint8_t> packets(size_t(kTiles) * 512);
    std::mt19937 rng(3);
    for (auto &b : packets) b = uint8_t(rng());
    std::vector<uint32_t> frame(kFrameBytes / 4);
    timeLoop(state, name, [&] {
        for (int t = 0; t < kTiles; ++t) {
            const int tx = t % (kWidth / 16), ty = t / (kWidth / 16);
            uint32_t *dst = &frame[size_t(ty) * 16 * kWidth + tx * 16];
            if constexpr (std::is_same_v<Kernel, TileCopyKernel>)
                kernel(&packets[size_t(t) * 512], dst, kWidth);
            else
                kernel(uint32_t(t) | 0xFF000000u, dst, kWidth);
        }
    });
    addRatio(state, name, baseline);
}

void BM_tileCopy_C(benchmark::State &state) {
    tileKernel<TileCopyKernel>(state, "tileCopy_C", tileKernels_C.copyTile, false, "memcpy");
}
void BM_tileCopy_SSE2(benchmark::State &state) {
    tileKernel<TileCopyKernel>(state, "tileCopy_SSE2", tileKernels_SSE2.copyTile, false, "memcpy");
}
void BM_tileCopy_AVX2(benchmark::State &state) {
    tileKernel<TileCopyKernel>(state, "tileCopy_AVX2", tileKernels_AVX2.copyTile, true, "memcpy");
}
void BM_tileFill_SSE2(benchmark::State &state) {
    tileKernel<TileFillKernel>(state, "tileFill_SSE2", tileKernels_SSE2.fillTile, false, "memset");
}
void BM_tileFill_AVX2(benchmark::State &state) {
    tileKernel<TileFillKernel>(state, "tileFill_AVX2", tileKernels_AVX2.fillTile, true, "memset");
}

void configure(benchmark::internal::Benchmark *b) {
    b->Unit(benchmark::kMillisecond)->Repetitions(5)->DisplayAggregatesOnly();
}

BENCHMARK(BM_memcpy)->Apply(configure);
BENCHMARK(BM_memset)->Apply(configure);
BENCHMARK(BM_libyuv)->Apply(configure);
BENCHMARK(BM_pixelStream)->Apply(configure);
BENCHMARK(BM_fillStream)->Apply(configure);
BENCHMARK(BM_tileCopy_C)->Apply(configure);
BENCHMARK(BM_tileCopy_SSE2)->Apply(configure);
BENCHMARK(BM_tileCopy_AVX2)->Apply(configure);
BENCHMARK(BM_tileFill_SSE2)->Apply(configure);
BENCHMARK(BM_tileFill_AVX2)->Apply(configure);

void printRatio(const char *what, const std::string &name, const std::string &baseline,
                double goal) {
    if (!measured.count(name) || !measured.count(baseline)) return;
    const double ratio = measured[name] / measured[baseline];
    printf("  %-34s %5.2fx %-7s (goal <= %.2fx) %s\n", what, ratio, baseline.c_str(), goal,
           ratio <= goal ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    printf("\nDecode of a 1920x1080 frame (%s kernels), best time relative to the baselines:\n",
           isaName(cpuIsa()));
    printRatio("pixel stream (8160 pixel packets)", "pixelStream", "libyuv", 1.0);
    printRatio("pixel stream (8160 pixel packets)", "pixelStream", "memcpy", 1.5);
    printRatio("fill stream (8160 fill packets)", "fillStream", "memset", 1.5);
    benchmark::Shutdown();
    return 0;
}
