// The SSE2 forms of the box-filter shrink: the floor that every x86-64 CPU
// runs.
#include "core/tessera/box_shrink_simd.h"

namespace {

// 2 * G rows at once: one vector holds a pixel of each row, as 16-bit lanes,
// two rows to a register. More rows share the walk along the row among more
// pixels.
template <int G>
struct ColumnsSse2 : LaneGroup<Strip1, G> {
    using Base = LaneGroup<Strip1, G>;
    using typename Base::Vec;
    static constexpr int kRows = 2 * G;

    // Columns x .. x + n - 1, those at or past `valid` as zero.
    static void load(const byte_t *const *rows, int x, int n, int valid, Vec *cols) {
        const __m128i z = _mm_setzero_si128();
        const int end = x + n, full = std::min(end, valid);
        for (; x + 4 <= full; x += 4, cols += 4) {
            for (int i = 0; i < G; ++i) {
                const byte_t *const *r = rows + 2 * i;
                const __m128i a = loadu128(r[0] + 4 * x), b = loadu128(r[1] + 4 * x);
                const __m128i lo = _mm_unpacklo_epi32(a, b), hi = _mm_unpackhi_epi32(a, b);
                cols[0].g[i] = _mm_unpacklo_epi8(lo, z);
                cols[1].g[i] = _mm_unpackhi_epi8(lo, z);
                cols[2].g[i] = _mm_unpacklo_epi8(hi, z);
                cols[3].g[i] = _mm_unpackhi_epi8(hi, z);
            }
        }
        for (; x < full; ++x, ++cols) {
            for (int i = 0; i < G; ++i) {
                const byte_t *const *r = rows + 2 * i;
                cols->g[i] = _mm_unpacklo_epi8(
                    _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(load32(r[0] + 4 * x))),
                                       _mm_cvtsi32_si128(int(load32(r[1] + 4 * x)))),
                    z);
            }
        }
        for (; x < end; ++x) *cols++ = Base::zero();
    }

    // Results of destination columns x .. x + n - 1 into the first nrows rows.
    static void store(const Vec *res, int n, byte_t *const *rows, int x, int nrows) {
        for (int i = 0; i < G && 2 * i < nrows; ++i) {
            byte_t *const *r = rows + 2 * i;
            const bool both = nrows - 2 * i > 1;
            const int whole = n & ~1;
            for (int k = 0; k < whole; k += 2) {
                // Bytes of (column, row) 00 01 10 11 reordered to 00 10 | 01 11.
                const __m128i v = _mm_shuffle_epi32(_mm_packus_epi16(res[k].g[i], res[k + 1].g[i]),
                                                    _MM_SHUFFLE(3, 1, 2, 0));
                _mm_storel_epi64(reinterpret_cast<__m128i *>(r[0] + 4 * (x + k)), v);
                if (both)
                    _mm_storel_epi64(reinterpret_cast<__m128i *>(r[1] + 4 * (x + k)),
                                     _mm_unpackhi_epi64(v, v));
            }
            if (whole < n) {
                const __m128i v = _mm_packus_epi16(res[whole].g[i], res[whole].g[i]);
                store32(r[0] + 4 * (x + whole), uint32_t(_mm_cvtsi128_si32(v)));
                if (both)
                    store32(r[1] + 4 * (x + whole),
                            uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(v, 4))));
            }
        }
    }
};

// Two destination pixels, as 16-bit lanes, each the sum of k consecutive
// source pixels at p: pairs are added, then pairs of pairs, and so on.
template <int k>
__m128i sumPairsSse2(const byte_t *p) {
    __m128i a, b;
    if constexpr (k == 2) {
        const __m128i v = loadu128(p);
        a = _mm_unpacklo_epi8(v, _mm_setzero_si128());
        b = _mm_unpackhi_epi8(v, _mm_setzero_si128());
    } else {
        a = sumPairsSse2<k / 2>(p);
        b = sumPairsSse2<k / 2>(p + 4 * k);
    }
    return _mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
}

// Strips of four destination pixels at a whole ratio.
struct WholeSse2 : Strip4 {
    template <int k>
    static Vec sum(const byte_t *p) {
        return {sumPairsSse2<k>(p), sumPairsSse2<k>(p + 8 * k)};
    }
};

struct Sse2 {
    using Strip = Strip4;
    using Columns = ColumnsSse2<2>;
    using Whole = WholeSse2;
};

}  // namespace

const ShrinkKernels shrinkKernels_SSE2 = shrinkKernelsFor<Sse2>();
