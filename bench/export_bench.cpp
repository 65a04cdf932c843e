// Region export on a 1920 x 1088 frame (120 x 68 tiles), each operation timed
// in the same iterations as its baseline; the counters are the ratios of the
// operation's time to the baseline's.
//
// BM_ExportFullSize/0 and /1: every tile row exported at scale 1 the way the
//   module does it (result allocated, rows copied into it, result freed),
//   against one memcpy of the whole frame, x_memcpy (goal: at most 1.2), and
//   against a memcpy of each tile row's bytes into one reused buffer,
//   x_rowcopy.
// BM_Shrink/edge/form: the whole frame shrunk to `edge` pixels per tile
//   (8, 4 and 15: scales 0.5, 0.3 and 0.9375) against libyuv's ARGBScale
//   with its box filter to the same size, x_libyuv (goal: at most 2 for the
//   export). Form 0 is the export itself, 1 and 2 the two passes run by the
//   SSE2 and the C form; the gain of a form over the C one is the
//   ratio of their x_libyuv.
#include <benchmark/benchmark.h>
#include <libyuv/scale_argb.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "core/tessera/box_shrink_kernels.h"
#include "core/tessera/frame_store.h"
#include "core/tessera/kernel_choice.h"
#include "core/tessera/region_export.h"
#include "tile_encoder.h"
#include "versus_baseline.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1088;
constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * kPixelBytes;

void showTestPattern() {
    if (frameWidth == kWidth && frameHeight == kHeight) return;
    std::vector<uint16_t> rgb565(size_t(kWidth) * kHeight);
    tsTestPattern(rgb565.data(), kWidth, kHeight, 0);
    createBuffer(kWidth, kHeight);
    tsExpandFrame(rgb565.data(), kWidth * kHeight, frameBuffer);
}

void BM_ExportFullSize(benchmark::State &state) {
    showTestPattern();
    std::vector<byte_t> copy(kFrameBytes);
    const byte_t *frame = reinterpret_cast<const byte_t *>(frameBuffer);
    auto exportAll = [] {
        for (int ty = 0; ty < tilesHeight; ++ty) {
            ExportPlan plan;
            planExport(0, ty, tilesWidth, 1, 1.0f, &plan);
            byte_t *result = static_cast<byte_t *>(malloc(size_t(plan.nw) * plan.nh * 4));
            runExport(plan, result);
            benchmark::DoNotOptimize(result);
            free(result);
        }
    };
    if (state.range(0) == 0) {
        state.counters["x_memcpy"] =
            versus(state, exportAll, [&] { memcpy(copy.data(), frame, kFrameBytes); });
        return;
    }
    const size_t tileRow = kFrameBytes / tilesHeight;
    state.counters["x_rowcopy"] = versus(state, exportAll, [&] {
        for (int ty = 0; ty < tilesHeight; ++ty) memcpy(copy.data(), frame + ty * tileRow, tileRow);
    });
}
BENCHMARK(BM_ExportFullSize)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Shrink(benchmark::State &state) {
    showTestPattern();
    const int edge = int(state.range(0));
    ExportPlan plan;
    planExport(0, 0, tilesWidth, tilesHeight, edge / 16.0f, &plan);
    std::vector<byte_t> out(size_t(plan.nw) * plan.nh * 4), yuv(out.size());
    std::vector<byte_t> inter(size_t(plan.nw) * kHeight * 4);
    const byte_t *frame = reinterpret_cast<const byte_t *>(frameBuffer);
    auto passes = [&](ShrinkXFunction x, ShrinkYFunction y) {
        x(frame, kWidth, kWidth, kHeight, kWidth * 4, inter.data(), plan.nw, plan.nw * 4);
        y(inter.data(), plan.nw, kHeight, plan.nw * 4, out.data(), plan.nh, plan.nw * 4);
    };
    auto libyuv = [&] {
        libyuv::ARGBScale(frame, kWidth * 4, kWidth, kHeight, yuv.data(), plan.nw * 4, plan.nw,
                          plan.nh, libyuv::kFilterBox);
    };
    double ratio = 0;
    switch (state.range(1)) {
        case 0:
            ratio = versus(
                state, [&] { runExport(plan, out.data()); }, libyuv);
            break;
        case 1:
            ratio = versus(
                state, [&] { passes(shrinkKernels_SSE2.shrinkX, shrinkKernels_SSE2.shrinkY); },
                libyuv);
            break;
        case 2:
            ratio = versus(
                state, [&] { passes(shrinkX_C, shrinkY_C); }, libyuv);
            break;
    }
    state.counters["x_libyuv"] = ratio;
    state.SetLabel(state.range(1) == 0 ? isaName(cpuIsa()) : state.range(1) == 1 ? "sse2" : "C");
}
BENCHMARK(BM_Shrink)
    ->ArgsProduct({{8, 4, 15}, {0, 1, 2}})
    ->ArgNames({"edge", "form"})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
