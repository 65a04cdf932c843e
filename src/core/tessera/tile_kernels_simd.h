// The vector forms of the tile kernels, written once over the operations of
// vector_ops.h and compiled by tile_kernels_sse2.cpp and tile_kernels_avx2.cpp
// with their own instruction sets.
#pragma once

#include "core/tessera/tile_kernels.h"
#include "core/tessera/vector_ops.h"

namespace {

// A vector of RGB565 words at a time: each 16-bit lane is split into the
// pixel's low half (red, green) and high half (blue, 255), then the halves
// are interleaved into 32-bit pixels. Both rows are declared inline so that
// the compiler takes them into the tile loops.
template <class V>
inline void convertRowForm(const byte_t *src, uint32_t *dst) {
    for (int x = 0; x < kTileRowPixels; x += 2 * V::kWords) {
        const typename V::Vec c = V::load(src + 2 * x);
        const typename V::Vec red = V::bitAnd(V::shr16(c, 8), V::set16(0x00F8));
        const typename V::Vec green = V::bitAnd(V::shl16(c, 5), V::set16(0xFC00));
        // The shift leaves the low three bits 0; the high byte becomes 255.
        const typename V::Vec ba = V::bitOr(V::shl16(c, 3), V::set16(0xFF00));
        V::storeZip16(dst + x, V::bitOr(red, green), ba);
    }
}

template <class V>
inline void fillRowForm(uint32_t pixel, uint32_t *dst) {
    const typename V::Vec v = V::set32(pixel);
    for (int x = 0; x < kTileRowPixels; x += V::kWords) V::store(dst + x, v);
}

template <class V>
constexpr TileKernels tileKernelsFor() {
    return {convertRowForm<V>, fillRowForm<V>, copyTileRows<convertRowForm<V>>,
            fillTileRows<fillRowForm<V>>};
}

}  // namespace
