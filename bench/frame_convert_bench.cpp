// Conversion of one 1920 x 1080 frame for the V4L2 output sink, timed in the
// same iterations as a memcpy of the 8,294,400 bytes of the source frame;
// x_memcpy is the ratio of the two (goal for YUYV: at most 1.5).
//
// BM_convertFrame/format: the plane function with the rows this CPU runs.
// BM_convertRows/format_form: each form's rows over the frame, to show what
//   the vector forms buy over the C reference.
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "core/camera/frame_convert.h"
#include "core/tessera/kernel_choice.h"
#include "tile_encoder.h"
#include "versus_baseline.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kStride = kWidth * 4;
constexpr size_t kFrameBytes = size_t(kStride) * kHeight;

struct Frames {
    std::vector<byte_t> src = std::vector<byte_t>(kFrameBytes);
    std::vector<byte_t> copy = std::vector<byte_t>(kFrameBytes);
    std::vector<byte_t> dst = std::vector<byte_t>(kFrameBytes);
    Frames() {
        std::vector<uint16_t> rgb565(size_t(kWidth) * kHeight);
        tsTestPattern(rgb565.data(), kWidth, kHeight, 0);
        tsExpandFrame(rgb565.data(), kWidth * kHeight, reinterpret_cast<uint32_t *>(src.data()));
    }
    void memcpyFrame() { memcpy(copy.data(), src.data(), kFrameBytes); }
};

void BM_convertFrame(benchmark::State &state, FrameFormat format) {
    Frames f;
    const ptrdiff_t dstStride = ptrdiff_t(frameRowBytes(format, kWidth));
    state.counters["x_memcpy"] = versus(
        state,
        [&] {
            convertFrame(format, f.src.data(), kStride, f.dst.data(), dstStride, kWidth, kHeight);
        },
        [&] { f.memcpyFrame(); });
    state.SetLabel(isaName(cpuIsa()));
}
BENCHMARK_CAPTURE(BM_convertFrame, YUYV, FrameFormat::yuyv)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_convertFrame, RGB3, FrameFormat::rgb3)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_convertRows(benchmark::State &state, FrameFormat format, const ConvertKernels *kernels,
                    Isa needs) {
    if (!cpuRuns(needs)) {
        state.SkipWithError("the CPU lacks the instruction set");
        return;
    }
    Frames f;
    const ConvertRow row = format == FrameFormat::yuyv ? kernels->yuyv : kernels->rgb3;
    const size_t dstStride = size_t(frameRowBytes(format, kWidth));
    state.counters["x_memcpy"] = versus(
        state,
        [&] {
            for (int y = 0; y < kHeight; ++y)
                row(f.src.data() + size_t(y) * kStride, f.dst.data() + y * dstStride, kWidth);
        },
        [&] { f.memcpyFrame(); });
}
BENCHMARK_CAPTURE(BM_convertRows, YUYV_C, FrameFormat::yuyv, &convertKernels_C, Isa::sse2)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_convertRows, YUYV_SSE2, FrameFormat::yuyv, &convertKernels_SSE2, Isa::sse2)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_convertRows, YUYV_AVX2, FrameFormat::yuyv, &convertKernels_AVX2, Isa::avx2)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_convertRows, RGB3_C, FrameFormat::rgb3, &convertKernels_C, Isa::sse2)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_convertRows, RGB3_SSE2, FrameFormat::rgb3, &convertKernels_SSE2, Isa::sse2)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_convertRows, RGB3_AVX2, FrameFormat::rgb3, &convertKernels_AVX2, Isa::avx2)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
