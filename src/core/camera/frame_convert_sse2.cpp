// The SSE2 rows of the frame conversion: the floor that every x86-64 CPU
// runs.
#include "core/camera/frame_convert_simd.h"

namespace {

struct Sse2 {
    using Vec = __m128i;
    static constexpr int kPixels = 8;

    static Vec load(const byte_t *p) { return _mm_loadu_si128(reinterpret_cast<const Vec *>(p)); }
    static void store(byte_t *p, Vec v) { _mm_storeu_si128(reinterpret_cast<Vec *>(p), v); }
    static Vec weights(int r, int g, int b) {
        return _mm_setr_epi16(int16_t(r), int16_t(g), int16_t(b), 0, int16_t(r), int16_t(g),
                              int16_t(b), 0);
    }
    static Vec set32(int v) { return _mm_set1_epi32(v); }
    static Vec widenLo(Vec v) { return _mm_unpacklo_epi8(v, _mm_setzero_si128()); }
    static Vec widenHi(Vec v) { return _mm_unpackhi_epi8(v, _mm_setzero_si128()); }
    static Vec lo16(Vec a, Vec b) { return _mm_unpacklo_epi16(a, b); }
    static Vec hi16(Vec a, Vec b) { return _mm_unpackhi_epi16(a, b); }
    static Vec lo32(Vec a, Vec b) { return _mm_unpacklo_epi32(a, b); }
    static Vec hi32(Vec a, Vec b) { return _mm_unpackhi_epi32(a, b); }
    static Vec lo64(Vec a, Vec b) { return _mm_unpacklo_epi64(a, b); }
    static Vec hi64(Vec a, Vec b) { return _mm_unpackhi_epi64(a, b); }
    static Vec add16(Vec a, Vec b) { return _mm_add_epi16(a, b); }
    static Vec add32(Vec a, Vec b) { return _mm_add_epi32(a, b); }
    static Vec madd(Vec a, Vec b) { return _mm_madd_epi16(a, b); }
    template <int n>
    static Vec sra32(Vec v) {
        return _mm_srai_epi32(v, n);
    }
    static Vec packs32(Vec a, Vec b) { return _mm_packs_epi32(a, b); }
    static Vec packus16(Vec a, Vec b) { return _mm_packus_epi16(a, b); }
    // a0+a1 a2+a3 b0+b1 b2+b3: SSE2 has no horizontal add, but the float
    // shuffle picks the even and odd lanes of two vectors without touching
    // their bits.
    static Vec pairAdd32(Vec a, Vec b) {
        const __m128 fa = _mm_castsi128_ps(a), fb = _mm_castsi128_ps(b);
        return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
                             _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
    }
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
