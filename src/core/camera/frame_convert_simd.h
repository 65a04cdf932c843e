// The vector rows of the frame conversion that both instruction sets share,
// written once over a small set of operations and compiled by
// frame_convert_sse2.cpp and frame_convert_avx2.cpp with their own
// instruction sets. Everything is in an unnamed namespace, so that each file
// gets its own copy.
#pragma once

#include <immintrin.h>

#include "core/camera/frame_convert.h"

namespace {

// A row of any width: `bulk` on the largest multiple of kStep pixels, the C
// row on the rest. kStep is even, so YUYV pairs never straddle the two.
template <ConvertRow bulk, ConvertRow tail, int kStep, int kDstBytes>
void anyRow(const byte_t *src, byte_t *dst, int width) {
    const int n = width - width % kStep;
    if (n > 0) bulk(src, dst, n);
    if (n < width) tail(src + 4 * n, dst + kDstBytes * n, width - n);
}

// A 32-bit lane of two 16-bit weights, lo for the lower word.
constexpr uint32_t weightPair(int lo, int hi) {
    return uint32_t(uint16_t(lo)) | uint32_t(uint16_t(hi)) << 16;
}

// YUYV for a multiple of V::kPixels pixels, 32-bit lane i for pixel i
// throughout, so that the work is almost all lane-wise arithmetic rather than
// shuffles. The even bytes (R, B) and the odd bytes (G, X) of each pixel as
// 16-bit lanes give the luma in two multiply-adds, the X weight being 0. For
// chroma each lane is added to its pair's other lane; one multiply-add then
// yields Cb in the even lanes and Cr in the odd ones, scaled so that each
// result is the upper word of its lane, right where YUYV puts it.
template <class V>
void yuyvRowBulk(const byte_t *src, byte_t *dst, int width) {
    using Vec = typename V::Vec;
    const Vec lowBytes = V::splat32(0x00FF00FF), highWord = V::splat32(0xFFFF0000);
    const Vec yRB = V::splat32(weightPair(kYR, kYB)), yG = V::splat32(weightPair(kYG, 0));
    const Vec cRB = V::splat64(uint64_t(weightPair(kVR, kVB)) << 32 | weightPair(kUR, kUB));
    const Vec cG = V::splat64(uint64_t(weightPair(kVG, 0)) << 32 | weightPair(kUG, 0));
    const Vec yBias = V::splat32(kYBias), cBias = V::splat32(kCBias);
    // 4 * V::kPixels / 2 bytes: the pixels as YUYV words, before the pack.
    const auto convert = [&](const byte_t *p) {
        const Vec v = V::load(p);
        const Vec rb = V::bitAnd(v, lowBytes), gx = V::template shr16<8>(v);
        const Vec y =
            V::template sra32<15>(V::add32(V::add32(V::madd(rb, yRB), V::madd(gx, yG)), yBias));
        const Vec rbPair = V::add16(rb, V::swapPairs(rb)), gxPair = V::add16(gx, V::swapPairs(gx));
        const Vec c = V::add32(V::add32(V::madd(rbPair, cRB), V::madd(gxPair, cG)), cBias);
        return V::bitOr(y, V::bitAnd(c, highWord));
    };
    constexpr int kHalf = V::kPixels / 2;
    for (int x = 0; x < width; x += V::kPixels, src += 4 * V::kPixels, dst += 2 * V::kPixels)
        V::store(dst, V::order(V::packus16(convert(src), convert(src + 4 * kHalf))));
}

}  // namespace
