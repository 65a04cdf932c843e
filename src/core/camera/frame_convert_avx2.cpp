// The AVX2 rows of the frame conversion; this file is compiled with -mavx2
// and its functions run only when the CPU has it.
#include "core/camera/frame_convert_simd.h"

namespace {

struct Avx2 {
    using Vec = __m256i;
    static constexpr int kPixels = 16;

    static Vec load(const byte_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const Vec *>(p));
    }
    static void store(byte_t *p, Vec v) { _mm256_storeu_si256(reinterpret_cast<Vec *>(p), v); }
    static Vec splat32(uint32_t v) { return _mm256_set1_epi32(int(v)); }
    static Vec splat64(uint64_t v) { return _mm256_set1_epi64x(int64_t(v)); }
    static Vec bitAnd(Vec a, Vec b) { return _mm256_and_si256(a, b); }
    static Vec bitOr(Vec a, Vec b) { return _mm256_or_si256(a, b); }
    static Vec add16(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
    static Vec add32(Vec a, Vec b) { return _mm256_add_epi32(a, b); }
    static Vec madd(Vec a, Vec b) { return _mm256_madd_epi16(a, b); }
    template <int n>
    static Vec shr16(Vec v) {
        return _mm256_srli_epi16(v, n);
    }
    template <int n>
    static Vec sra32(Vec v) {
        return _mm256_srai_epi32(v, n);
    }
    // The two 32-bit lanes of each 64-bit half swapped.
    static Vec swapPairs(Vec v) { return _mm256_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)); }
    static Vec packus16(Vec a, Vec b) { return _mm256_packus_epi16(a, b); }
    // The pack works within 128-bit halves: the low one holds pixels 0-3 and
    // 8-11, the high one 4-7 and 12-15.
    static Vec order(Vec v) { return _mm256_permute4x64_epi64(v, _MM_SHUFFLE(3, 1, 2, 0)); }
};

// RGB3 for a multiple of 8 pixels: each half closes up its four pixels to 12
// bytes, then the two halves' bytes are moved together, 24 bytes a step.
void rgb3RowBulk(const byte_t *src, byte_t *dst, int width) {
    const __m256i close = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    for (int x = 0; x < width; x += 8, src += 32, dst += 24) {
        const __m256i v =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(Avx2::load(src), close), join);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm256_castsi256_si128(v));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + 16), _mm256_extracti128_si256(v, 1));
    }
}

}  // namespace

const ConvertKernels convertKernels_AVX2 = {
    anyRow<yuyvRowBulk<Avx2>, yuyvRow_C, Avx2::kPixels, 2>,
    anyRow<rgb3RowBulk, rgb3Row_C, 8, 3>,
};
