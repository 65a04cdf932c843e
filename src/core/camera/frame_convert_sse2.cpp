// The SSE2 rows of the frame conversion: the floor that every x86-64 CPU
// runs.
#include "core/camera/frame_convert_simd.h"

namespace {

struct Sse2 {
    using Vec = __m128i;
    static constexpr int kPixels = 8;

    static Vec load(const byte_t *p) { return _mm_loadu_si128(reinterpret_cast<const Vec *>(p)); }
    static void store(byte_t *p, Vec v) { _mm_storeu_si128(reinterpret_cast<Vec *>(p), v); }
    static Vec splat32(uint32_t v) { return _mm_set1_epi32(int(v)); }
    static Vec splat64(uint64_t v) { return _mm_set1_epi64x(int64_t(v)); }
    static Vec bitAnd(Vec a, Vec b) { return _mm_and_si128(a, b); }
    static Vec bitOr(Vec a, Vec b) { return _mm_or_si128(a, b); }
    static Vec add16(Vec a, Vec b) { return _mm_add_epi16(a, b); }
    static Vec add32(Vec a, Vec b) { return _mm_add_epi32(a, b); }
    static Vec madd(Vec a, Vec b) { return _mm_madd_epi16(a, b); }
    template <int n>
    static Vec shr16(Vec v) {
        return _mm_srli_epi16(v, n);
    }
    template <int n>
    static Vec sra32(Vec v) {
        return _mm_srai_epi32(v, n);
    }
    // The two 32-bit lanes of each 64-bit half swapped.
    static Vec swapPairs(Vec v) { return _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)); }
    static Vec packus16(Vec a, Vec b) { return _mm_packus_epi16(a, b); }
    static Vec order(Vec v) { return v; }
};

// Four pixels as their 12 bytes of red, green, blue at the bottom of the
// vector, the rest zero: each 64-bit half is closed up first, then the
// halves.
inline __m128i pack12(__m128i v) {
    const __m128i q =
        _mm_or_si128(_mm_and_si128(v, _mm_set1_epi64x(0xFFFFFF)),
                     _mm_and_si128(_mm_srli_epi64(v, 8), _mm_set1_epi64x(0xFFFFFF000000)));
    return _mm_or_si128(_mm_move_epi64(q), _mm_slli_si128(_mm_srli_si128(q, 8), 6));
}

// RGB3 for a multiple of 16 pixels: four groups of 12 bytes fill three
// vectors.
void rgb3RowBulk(const byte_t *src, byte_t *dst, int width) {
    for (int x = 0; x < width; x += 16, src += 64, dst += 48) {
        const __m128i c0 = pack12(Sse2::load(src)), c1 = pack12(Sse2::load(src + 16));
        const __m128i c2 = pack12(Sse2::load(src + 32)), c3 = pack12(Sse2::load(src + 48));
        Sse2::store(dst, _mm_or_si128(c0, _mm_slli_si128(c1, 12)));
        Sse2::store(dst + 16, _mm_or_si128(_mm_srli_si128(c1, 4), _mm_slli_si128(c2, 8)));
        Sse2::store(dst + 32, _mm_or_si128(_mm_srli_si128(c2, 8), _mm_slli_si128(c3, 4)));
    }
}

}  // namespace

const ConvertKernels convertKernels_SSE2 = {
    anyRow<yuyvRowBulk<Sse2>, yuyvRow_C, Sse2::kPixels, 2>,
    anyRow<rgb3RowBulk, rgb3Row_C, 16, 3>,
};
