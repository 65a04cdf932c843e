#include "core/tessera/tile_kernels.h"

#include <emmintrin.h>

void convertRowScalar(const byte_t *src, uint32_t *dst) {
    for (int x = 0; x < kTileRowPixels; ++x)
        dst[x] = rgb565ToPixel(uint32_t(src[2 * x]) | uint32_t(src[2 * x + 1]) << 8);
}

namespace {

// Eight RGB565 words to eight pixels. Each 16-bit lane is split into the
// pixel's low half (red, green) and high half (blue, 255), then the halves are
// interleaved into 32-bit pixels.
inline void convert8Sse2(__m128i c, uint32_t *dst) {
    const __m128i red = _mm_and_si128(_mm_srli_epi16(c, 8), _mm_set1_epi16(0x00F8));
    const __m128i green = _mm_and_si128(_mm_slli_epi16(c, 5), _mm_set1_epi16(int16_t(0xFC00)));
    const __m128i rg = _mm_or_si128(red, green);
    // The shift leaves the low three bits 0; the high byte becomes 255.
    const __m128i ba = _mm_or_si128(_mm_slli_epi16(c, 3), _mm_set1_epi16(int16_t(0xFF00)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_unpacklo_epi16(rg, ba));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 4), _mm_unpackhi_epi16(rg, ba));
}

}  // namespace

void convertRowSse2(const byte_t *src, uint32_t *dst) {
    convert8Sse2(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src)), dst);
    convert8Sse2(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16)), dst + 8);
}

void fillRowSse2(uint32_t pixel, uint32_t *dst) {
    const __m128i v = _mm_set1_epi32(int32_t(pixel));
    for (int x = 0; x < kTileRowPixels; x += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x), v);
}

void copyTileSse2(const byte_t *src, uint32_t *dst, ptrdiff_t stride) {
    copyTileRows<convertRowSse2>(src, dst, stride);
}

void fillTileSse2(uint32_t pixel, uint32_t *dst, ptrdiff_t stride) {
    fillTileRows<fillRowSse2>(pixel, dst, stride);
}

namespace {

TileKernels pickTileKernels() {
    // Needed because this runs as a static initialiser, possibly before
    // libgcc has filled in the CPU model.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return {convertRowAvx2, copyTileAvx2, fillTileAvx2, "avx2"};
    return {convertRowSse2, copyTileSse2, fillTileSse2, "sse2"};
}

}  // namespace

const TileKernels tileKernels = pickTileKernels();
