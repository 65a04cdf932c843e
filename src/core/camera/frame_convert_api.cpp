#include "core/camera/frame_convert_api.h"

#include "core/camera/frame_convert.h"
#include "core/tessera/kernel_choice.h"

namespace {

// The bytes from the start of the first row to the end of the last one, or -1
// when a stride is shorter than its row. Sizes are below 2^31 each, so the
// product stays far inside 64 bits.
int64_t spanBytes(int64_t rowBytes, int stride, int height) {
    if (rowBytes < 0 || height < 1 || stride < rowBytes) return -1;
    return int64_t(height - 1) * stride + rowBytes;
}

bool known(uint32_t format) {
    return format == uint32_t(FrameFormat::yuyv) || format == uint32_t(FrameFormat::rgb3);
}

}  // namespace

int fcConvert(uint32_t format, const void *src, size_t srcSize, int srcStride, void *dst,
              size_t dstSize, int dstStride, int width, int height) {
    if (!known(format) || !src || !dst || width < 1) return -1;
    const FrameFormat f = FrameFormat(format);
    const int64_t srcSpan = spanBytes(int64_t(width) * 4, srcStride, height);
    const int64_t dstSpan = spanBytes(frameRowBytes(f, width), dstStride, height);
    if (srcSpan < 0 || dstSpan < 0 || uint64_t(srcSpan) > srcSize || uint64_t(dstSpan) > dstSize)
        return -1;
    // Rows read after others were written would be read converted.
    const uintptr_t s = uintptr_t(src), d = uintptr_t(dst);
    if (s < d + uint64_t(dstSpan) && d < s + uint64_t(srcSpan)) return -1;
    return convertFrame(f, static_cast<const byte_t *>(src), srcStride, static_cast<byte_t *>(dst),
                        dstStride, width, height)
               ? 0
               : -1;
}

int64_t fcFrameBytes(uint32_t format, int width, int height, int *stride) {
    if (!known(format) || height < 1) return -1;
    const int64_t row = frameRowBytes(FrameFormat(format), width);
    // A stride must fit the int that fcConvert takes.
    if (row < 0 || row > INT32_MAX) return -1;
    if (stride) *stride = int(row);
    return row * height;
}

const char *fcKernelName(void) {
    return isaName(cpuIsa());
}
