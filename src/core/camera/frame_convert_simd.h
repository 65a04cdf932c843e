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

// YUYV for a multiple of V::kPixels pixels. Pixels are widened to 16-bit
// lanes; one multiply-add per pixel gives (R, G) and (B, X) terms, the X
// weight being 0, and the terms of a pixel are added across neighbouring
// 32-bit lanes. Chroma adds the two pixels of each pair first. Everything
// works within 128-bit halves; V::order puts the halves' results in place.
template <class V>
void yuyvRowBulk(const byte_t *src, byte_t *dst, int width) {
    using Vec = typename V::Vec;
    const Vec cy = V::weights(kYR, kYG, kYB), cu = V::weights(kUR, kUG, kUB);
    const Vec cv = V::weights(kVR, kVG, kVB);
    const Vec yBias = V::set32(kYBias), cBias = V::set32(kCBias);
    const auto lumas = [&](Vec lo, Vec hi) {
        return V::template sra32<15>(
            V::add32(V::pairAdd32(V::madd(lo, cy), V::madd(hi, cy)), yBias));
    };
    const auto chromas = [&](Vec a, Vec b, Vec c) {
        return V::template sra32<16>(V::add32(V::pairAdd32(V::madd(a, c), V::madd(b, c)), cBias));
    };
    constexpr int kHalf = V::kPixels / 2;
    for (int x = 0; x < width; x += V::kPixels, src += 4 * V::kPixels, dst += 2 * V::kPixels) {
        const Vec a = V::load(src), b = V::load(src + 4 * kHalf);
        // Two pixels in each: 0 1 | 2 3 of a half, then 4 5 | 6 7.
        const Vec a0 = V::widenLo(a), a1 = V::widenHi(a);
        const Vec b0 = V::widenLo(b), b1 = V::widenHi(b);
        const Vec y = V::packs32(lumas(a0, a1), lumas(b0, b1));
        // Pair sums 01 | 23 and 45 | 67.
        const Vec sa = V::add16(V::lo64(a0, a1), V::hi64(a0, a1));
        const Vec sb = V::add16(V::lo64(b0, b1), V::hi64(b0, b1));
        const Vec u = chromas(sa, sb, cu), v = chromas(sa, sb, cv);
        const Vec c = V::packs32(V::lo32(u, v), V::hi32(u, v));
        V::store(dst, V::order(V::packus16(V::lo16(y, c), V::hi16(y, c))));
    }
}

}  // namespace
