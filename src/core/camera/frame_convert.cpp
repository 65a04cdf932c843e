#include "core/camera/frame_convert.h"

#include "core/tessera/kernel_choice.h"

namespace {

inline byte_t luma(const byte_t *p) {
    return byte_t((kYR * p[0] + kYG * p[1] + kYB * p[2] + kYBias) >> 15);
}

inline byte_t chroma(int r, int g, int b, int cr, int cg, int cb) {
    return byte_t((cr * r + cg * g + cb * b + kCBias) >> 16);
}

}  // namespace

void yuyvRow_C(const byte_t *src, byte_t *dst, int width) {
    for (int x = 0; x < width; x += 2, src += 8, dst += 4) {
        const byte_t *q = x + 1 < width ? src + 4 : src;
        const int r = src[0] + q[0], g = src[1] + q[1], b = src[2] + q[2];
        dst[0] = luma(src);
        dst[1] = chroma(r, g, b, kUR, kUG, kUB);
        dst[2] = luma(q);
        dst[3] = chroma(r, g, b, kVR, kVG, kVB);
    }
}

void rgb3Row_C(const byte_t *src, byte_t *dst, int width) {
    for (int x = 0; x < width; ++x, src += 4, dst += 3) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
    }
}

const ConvertKernels convertKernels_C = {yuyvRow_C, rgb3Row_C};

const ConvertKernels &convertKernels() {
    return kernelsForCpu(convertKernels_SSE2, convertKernels_AVX2);
}

int64_t frameRowBytes(FrameFormat format, int width) {
    if (width < 1) return -1;
    switch (format) {
        case FrameFormat::yuyv:
            return (int64_t(width) + 1) / 2 * 4;
        case FrameFormat::rgb3:
            return int64_t(width) * 3;
    }
    return -1;
}

bool convertFrame(FrameFormat format, const byte_t *src, ptrdiff_t srcStride, byte_t *dst,
                  ptrdiff_t dstStride, int width, int height) {
    const int64_t dstRow = frameRowBytes(format, width);
    if (dstRow < 0 || height < 1 || !src || !dst) return false;
    if (srcStride < int64_t(width) * 4 || dstStride < dstRow) return false;
    const ConvertKernels &kernels = convertKernels();
    const ConvertRow row = format == FrameFormat::yuyv ? kernels.yuyv : kernels.rgb3;
    for (int y = 0; y < height; ++y, src += srcStride, dst += dstStride) row(src, dst, width);
    return true;
}
