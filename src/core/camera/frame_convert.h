// Conversion of frames of 32-bit pixels (bytes red, green, blue, X; X is
// ignored) to the packed formats a V4L2 output device takes. Each format has
// a plain C row, the reference, and vector rows per instruction set with the
// same signature that write the same bytes; the plane function picks the
// row once, before its loop.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/basic.h"

constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return uint32_t(byte_t(a)) | uint32_t(byte_t(b)) << 8 | uint32_t(byte_t(c)) << 16 |
           uint32_t(byte_t(d)) << 24;
}

// The formats by their V4L2 pixel-format codes, so that a sink can hand the
// same number to the device.
enum class FrameFormat : uint32_t {
    yuyv = fourcc('Y', 'U', 'Y', 'V'),  // 4:2:2, bytes Y0 Cb Y1 Cr, BT.601 limited range
    rgb3 = fourcc('R', 'G', 'B', '3'),  // bytes R G B
};

// Converts `width` (>= 1) pixels at src into dst.
using ConvertRow = void (*)(const byte_t *src, byte_t *dst, int width);

// BT.601 limited range in fixed point. Luma is
//     (kYR * R + kYG * G + kYB * B + kYBias) >> 15,
// chroma is taken from the sums R, G, B of the two pixels of a pair,
//     (kUR * R + kUG * G + kUB * B + kCBias) >> 16
// and the same with kV*: the average of the pair without a rounding step of
// its own. The weights of each chroma row add up to 0, so greys give exactly
// 128; results stay within 16..235 and 16..240 for every input.
constexpr int kYR = 8414, kYG = 16519, kYB = 3208;
constexpr int kUR = -4857, kUG = -9535, kUB = 14392;
constexpr int kVR = 14392, kVG = -12052, kVB = -2340;
constexpr int kYBias = (16 << 15) + (1 << 14);
constexpr int kCBias = (128 << 16) + (1 << 15);

// The references. A YUYV row of odd width pairs its last pixel with itself,
// so it writes (width + 1) / 2 * 4 bytes.
void yuyvRow_C(const byte_t *src, byte_t *dst, int width);
void rgb3Row_C(const byte_t *src, byte_t *dst, int width);

// The vector rows take any width: the vector body runs on the bulk of the
// row and the C row on what is left at its end.
struct ConvertKernels {
    ConvertRow yuyv;
    ConvertRow rgb3;
};

extern const ConvertKernels convertKernels_C;
// The AVX2 forms only to be called when the CPU runs them.
extern const ConvertKernels convertKernels_SSE2;
extern const ConvertKernels convertKernels_AVX2;

// The forms for this CPU.
const ConvertKernels &convertKernels();

// Bytes of one converted row of `width` pixels; -1 for an unknown format or a
// width below 1.
int64_t frameRowBytes(FrameFormat format, int width);

// Converts a width x height frame, rows srcStride and dstStride bytes apart.
// Returns false, writing nothing, for an unknown format, a size below 1, or a
// stride shorter than its row (negative strides included).
bool convertFrame(FrameFormat format, const byte_t *src, ptrdiff_t srcStride, byte_t *dst,
                  ptrdiff_t dstStride, int width, int height);
