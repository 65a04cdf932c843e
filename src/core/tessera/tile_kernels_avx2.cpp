// The AVX2 forms of the tile kernels; this file is compiled with -mavx2 and
// its functions run only when the CPU has it.
#include <immintrin.h>

#include "core/tessera/tile_kernels.h"

void convertRowAvx2(const byte_t *src, uint32_t *dst) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src));
    const __m256i red = _mm256_and_si256(_mm256_srli_epi16(c, 8), _mm256_set1_epi16(0x00F8));
    const __m256i green =
        _mm256_and_si256(_mm256_slli_epi16(c, 5), _mm256_set1_epi16(int16_t(0xFC00)));
    const __m256i rg = _mm256_or_si256(red, green);
    const __m256i ba = _mm256_or_si256(_mm256_slli_epi16(c, 3), _mm256_set1_epi16(int16_t(0xFF00)));
    // The unpacks work within 128-bit lanes: lo holds pixels 0-3 and 8-11,
    // hi holds 4-7 and 12-15.
    const __m256i lo = _mm256_unpacklo_epi16(rg, ba);
    const __m256i hi = _mm256_unpackhi_epi16(rg, ba);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 8),
                        _mm256_permute2x128_si256(lo, hi, 0x31));
}

void fillRowAvx2(uint32_t pixel, uint32_t *dst) {
    const __m256i v = _mm256_set1_epi32(int32_t(pixel));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), v);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 8), v);
}

void copyTileAvx2(const byte_t *src, uint32_t *dst, ptrdiff_t stride) {
    copyTileRows<convertRowAvx2>(src, dst, stride);
}

void fillTileAvx2(uint32_t pixel, uint32_t *dst, ptrdiff_t stride) {
    fillTileRows<fillRowAvx2>(pixel, dst, stride);
}
