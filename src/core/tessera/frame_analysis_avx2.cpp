// The AVX2 greyscale kernel: the SSE2 one on eight pixels at a time.
#include <immintrin.h>

#include "core/tessera/frame_analysis.h"

void greyRowAVX2(uint32_t *pixels, int count) {
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    const __m256i alphaMask = _mm256_set1_epi32(int(0xFF000000));
    const __m256i third = _mm256_set1_epi32(21846);
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i *at = reinterpret_cast<__m256i *>(pixels + i);
        const __m256i p = _mm256_loadu_si256(at);
        const __m256i sum =
            _mm256_add_epi32(_mm256_add_epi32(_mm256_and_si256(p, byteMask),
                                              _mm256_and_si256(_mm256_srli_epi32(p, 8), byteMask)),
                             _mm256_and_si256(_mm256_srli_epi32(p, 16), byteMask));
        const __m256i grey = _mm256_mulhi_epu16(sum, third);
        const __m256i rgb = _mm256_or_si256(_mm256_or_si256(grey, _mm256_slli_epi32(grey, 8)),
                                            _mm256_slli_epi32(grey, 16));
        _mm256_storeu_si256(at, _mm256_or_si256(_mm256_and_si256(p, alphaMask), rgb));
    }
    greyRowC(pixels + i, count - i);
}
