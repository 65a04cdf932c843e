// The AVX2 forms of the box-filter shrink; this file is compiled with -mavx2
// and its functions run only when the CPU has it.
#include <immintrin.h>

#include "core/tessera/box_shrink_simd.h"

namespace {

inline __m256i loadu256(const byte_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
inline void storeu256(byte_t *p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}
inline __m256i widen(__m128i v) {
    return _mm256_cvtepu8_epi16(v);
}

// Packs two vectors of four pixels each, as 16-bit lanes, into eight pixels
// in order (the pack works within 128-bit halves).
inline __m256i packPixels(__m256i a, __m256i b) {
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), _MM_SHUFFLE(3, 1, 2, 0));
}

// One vector of 16-bit lanes.
struct Lanes256 {
    using Vec = __m256i;
    using Weight = __m256i;
    static Vec zero() { return _mm256_setzero_si256(); }
    static Vec add(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
    static Vec mulhi(Vec a, Weight w) { return _mm256_mulhi_epu16(a, w); }
    static Weight splat(uint32_t w) { return _mm256_set1_epi16(int16_t(w)); }
};

struct Strip8 : LaneGroup<Lanes256, 2> {
    static constexpr int kPixels = 8;
    static Vec load(const byte_t *p) { return {widen(loadu128(p)), widen(loadu128(p + 16))}; }
    static void store(byte_t *p, Vec v) { storeu256(p, packPixels(v.g[0], v.g[1])); }
};

// 4 * G rows at once: one vector holds a pixel of each row, as 16-bit lanes,
// four rows to a register (rows 0 and 1 in its low half, 2 and 3 in its high
// half). More rows share the walk along the row among more pixels.
template <int G>
struct ColumnsAvx2 : LaneGroup<Lanes256, G> {
    using Base = LaneGroup<Lanes256, G>;
    using typename Base::Vec;
    static constexpr int kRows = 4 * G;

    // Columns x .. x + n - 1, those at or past `valid` as zero: 4 x 4 pixel
    // blocks transposed in registers.
    static void load(const byte_t *const *rows, int x, int n, int valid, Vec *cols) {
        const int end = x + n, full = std::min(end, valid);
        for (; x + 4 <= full; x += 4, cols += 4) {
            for (int i = 0; i < G; ++i) {
                const byte_t *const *r = rows + 4 * i;
                const __m128i a = loadu128(r[0] + 4 * x), b = loadu128(r[1] + 4 * x);
                const __m128i c = loadu128(r[2] + 4 * x), d = loadu128(r[3] + 4 * x);
                const __m128i ab0 = _mm_unpacklo_epi32(a, b), ab1 = _mm_unpackhi_epi32(a, b);
                const __m128i cd0 = _mm_unpacklo_epi32(c, d), cd1 = _mm_unpackhi_epi32(c, d);
                cols[0].g[i] = widen(_mm_unpacklo_epi64(ab0, cd0));
                cols[1].g[i] = widen(_mm_unpackhi_epi64(ab0, cd0));
                cols[2].g[i] = widen(_mm_unpacklo_epi64(ab1, cd1));
                cols[3].g[i] = widen(_mm_unpackhi_epi64(ab1, cd1));
            }
        }
        for (; x < full; ++x, ++cols) {
            for (int i = 0; i < G; ++i) {
                const byte_t *const *r = rows + 4 * i;
                cols->g[i] =
                    widen(_mm_setr_epi32(int(load32(r[0] + 4 * x)), int(load32(r[1] + 4 * x)),
                                         int(load32(r[2] + 4 * x)), int(load32(r[3] + 4 * x))));
            }
        }
        for (; x < end; ++x) *cols++ = Base::zero();
    }

    // Results of destination columns x .. x + n - 1 into the first nrows rows.
    static void store(const Vec *res, int n, byte_t *const *rows, int x, int nrows) {
        for (int i = 0; i < G && 4 * i < nrows; ++i)
            storeGroup(res, i, n, rows + 4 * i, x, std::min(4, nrows - 4 * i));
    }

    // The same for the four rows of register i, of which `m` are written.
    static void storeGroup(const Vec *res, int i, int n, byte_t *const *rows, int x, int m) {
        const int whole = n & ~3;
        for (int k = 0; k < whole; k += 4) {
            // Each pack holds (column, row) 00 01 10 11 | 02 03 12 13;
            // reordered to 00 10 01 11 | 02 12 03 13, two of them interleave
            // to rows 0 | 2 and rows 1 | 3.
            const __m256i a = _mm256_shuffle_epi32(
                _mm256_packus_epi16(res[k].g[i], res[k + 1].g[i]), _MM_SHUFFLE(3, 1, 2, 0));
            const __m256i b = _mm256_shuffle_epi32(
                _mm256_packus_epi16(res[k + 2].g[i], res[k + 3].g[i]), _MM_SHUFFLE(3, 1, 2, 0));
            const __m256i even = _mm256_unpacklo_epi64(a, b), odd = _mm256_unpackhi_epi64(a, b);
            storeu128(rows[0] + 4 * (x + k), _mm256_castsi256_si128(even));
            if (m > 1) storeu128(rows[1] + 4 * (x + k), _mm256_castsi256_si128(odd));
            if (m > 2) storeu128(rows[2] + 4 * (x + k), _mm256_extracti128_si256(even, 1));
            if (m > 3) storeu128(rows[3] + 4 * (x + k), _mm256_extracti128_si256(odd, 1));
        }
        for (int k = whole; k < n; ++k) {
            const __m256i v = _mm256_packus_epi16(res[k].g[i], res[k].g[i]);
            const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
            store32(rows[0] + 4 * (x + k), uint32_t(_mm_cvtsi128_si32(lo)));
            if (m > 1)
                store32(rows[1] + 4 * (x + k), uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(lo, 4))));
            if (m > 2) store32(rows[2] + 4 * (x + k), uint32_t(_mm_cvtsi128_si32(hi)));
            if (m > 3)
                store32(rows[3] + 4 * (x + k), uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(hi, 4))));
        }
    }
};

// Eight source pixels at p as [sum of pixels 0-3 | sum of pixels 4-7], one
// 32-bit lane per channel: the bytes of each channel are gathered side by
// side, then added in pairs twice.
inline __m256i quadSums(const byte_t *p) {
    const __m256i byChannel =
        _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9,
                         13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m256i v = _mm256_shuffle_epi8(loadu256(p), byChannel);
    return _mm256_madd_epi16(_mm256_maddubs_epi16(v, _mm256_set1_epi8(1)), _mm256_set1_epi16(1));
}

// Four destination pixels in order, as 16-bit lanes, each the sum of k
// consecutive source pixels at p. The sums stay far below 32768, so the
// signed packs and byte multiply-adds are exact.
template <int k>
__m256i sumFour(const byte_t *p) {
    if constexpr (k == 2) {
        const __m256i pairs =
            _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0, 4, 1, 5, 2, 6,
                             3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
        return _mm256_maddubs_epi16(_mm256_shuffle_epi8(loadu256(p), pairs), _mm256_set1_epi8(1));
    } else if constexpr (k == 4) {
        // Sums of 0 | 1 and 2 | 3 pack to 0 2 | 1 3.
        return _mm256_permute4x64_epi64(_mm256_packs_epi32(quadSums(p), quadSums(p + 32)),
                                        _MM_SHUFFLE(3, 1, 2, 0));
    } else {
        // Pixel i's sum is split over the two halves of s[i]; packed, the
        // halves of all four line up across the two 128-bit lanes.
        __m256i s[4];
        for (int i = 0; i < 4; ++i) {
            s[i] = quadSums(p + 4 * k * i);
            for (int m = 1; m < k / 8; ++m)
                s[i] = _mm256_add_epi32(s[i], quadSums(p + 4 * k * i + 32 * m));
        }
        const __m256i a = _mm256_packs_epi32(s[0], s[1]), b = _mm256_packs_epi32(s[2], s[3]);
        return _mm256_add_epi16(_mm256_permute2x128_si256(a, b, 0x20),
                                _mm256_permute2x128_si256(a, b, 0x31));
    }
}

// Strips of eight destination pixels at a whole ratio.
struct WholeAvx2 : Strip8 {
    template <int k>
    static Vec sum(const byte_t *p) {
        return {sumFour<k>(p), sumFour<k>(p + 16 * k)};
    }
};

struct Avx2 {
    using Strip = Strip8;
    using Columns = ColumnsAvx2<2>;
    using Whole = WholeAvx2;
};

}  // namespace

const ShrinkKernels shrinkKernels_AVX2 = shrinkKernelsFor<Avx2>();
