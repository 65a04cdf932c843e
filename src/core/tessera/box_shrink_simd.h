// The vector forms of the box-filter shrink, written once over a small set of
// vector operations and compiled by box_shrink_sse2.cpp and box_shrink_avx2.cpp with
// their own instruction sets. Everything here is in an unnamed namespace, so
// that each of the two files gets its own copy.
//
// Both passes rest on one observation: the reference walks the source pixel
// by pixel with a remaining weight r, but where each destination pixel j
// starts and ends depends only on the call's sizes. Counted in 16.16 from the
// start of the row, j ends at (j + 1) * step. The source pixel holding that
// end is split: the part before it, the tail, goes to j, the rest to j + 1; a
// pixel ending exactly there belongs wholly to j. Accumulation wraps modulo
// 65536, so the order of the additions does not matter, and each
// destination pixel is
//     sat8(mulhi(carry + whole pixels + mulhi(tail, p), f))
// with carry = mulhi(65536 - tail of j - 1, that pixel), the same truncations
// as the reference. Sizes and weights follow from an addition per
// destination pixel; the inner loops only add and multiply vectors.
#pragma once

#include <emmintrin.h>
#include <string.h>

#include <algorithm>
#include <type_traits>

#include "core/tessera/box_shrink_kernels.h"

namespace {

constexpr uint32_t kOne = 0x10000;

inline uint32_t load32(const byte_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline void store32(byte_t *p, uint32_t v) {
    memcpy(p, &v, 4);
}

inline __m128i loadu128(const byte_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline void storeu128(byte_t *p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

inline __m128i splat128(uint32_t w) {
    return _mm_set1_epi16(int16_t(w));
}

// Strips of the vertical pass: a few adjacent pixels of one row, widened to
// 16-bit lanes. These narrow ones finish what the widest strip leaves over at
// the end of a row.
struct Strip1 {
    using Vec = __m128i;
    using Weight = __m128i;
    static constexpr int kPixels = 1;
    static Vec load(const byte_t *p) {
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(load32(p))), _mm_setzero_si128());
    }
    static void store(byte_t *p, Vec v) {
        store32(p, uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(v, v))));
    }
    static Vec zero() { return _mm_setzero_si128(); }
    static Vec add(Vec a, Vec b) { return _mm_add_epi16(a, b); }
    static Vec mulhi(Vec a, Weight w) { return _mm_mulhi_epu16(a, w); }
    static Weight splat(uint32_t w) { return splat128(w); }
};

struct Strip2 : Strip1 {
    static constexpr int kPixels = 2;
    static Vec load(const byte_t *p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)),
                                 _mm_setzero_si128());
    }
    static void store(byte_t *p, Vec v) {
        _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_packus_epi16(v, v));
    }
};

// G vectors of 16-bit lanes used as one, with the arithmetic of `Lanes`, a
// strip of a single vector.
template <class Lanes, int G>
struct LaneGroup {
    struct Vec {
        typename Lanes::Vec g[G];
    };
    using Weight = typename Lanes::Weight;
    static Vec zero() {
        Vec v;
        for (int i = 0; i < G; ++i) v.g[i] = Lanes::zero();
        return v;
    }
    static Vec add(Vec a, Vec b) {
        for (int i = 0; i < G; ++i) a.g[i] = Lanes::add(a.g[i], b.g[i]);
        return a;
    }
    static Vec mulhi(Vec a, Weight w) {
        for (int i = 0; i < G; ++i) a.g[i] = Lanes::mulhi(a.g[i], w);
        return a;
    }
    static Weight splat(uint32_t w) { return Lanes::splat(w); }
};

struct Strip4 : LaneGroup<Strip1, 2> {
    static constexpr int kPixels = 4;
    static Vec load(const byte_t *p) {
        const __m128i v = loadu128(p);
        return {_mm_unpacklo_epi8(v, _mm_setzero_si128()),
                _mm_unpackhi_epi8(v, _mm_setzero_si128())};
    }
    static void store(byte_t *p, Vec v) { storeu128(p, _mm_packus_epi16(v.g[0], v.g[1])); }
};

// Destination rows j0 .. j1 - 1 of the vertical pass, over the pixels x0 to
// x1 - 1 of each row, a strip at a time (x1 - x0 a multiple of the strip).
// Source row r is at src + (r - origin) * srcpitch, dst is destination row j0.
// For each destination row the source rows it covers are added strip by
// strip in registers; the row that straddles two destination rows is read
// twice, once for each part.
template <class S>
void shrinkYStrips(const byte_t *src, int origin, size_t srcpitch, int x0, int x1, byte_t *dst,
                   size_t destpitch, int j0, int j1, uint32_t step, uint32_t f) {
    using Vec = typename S::Vec;
    const typename S::Weight fw = S::splat(f);
    uint32_t end = step * uint32_t(j0);
    // The row that j0 starts in, and the weight of its part in j0 (0 when j0
    // starts on a row boundary).
    size_t carryRow = size_t(int(end >> 16) - origin) * srcpitch;
    uint32_t carry = end & 0xFFFF ? kOne - (end & 0xFFFF) : 0;
    for (int j = j0; j < j1; ++j, dst += destpitch) {
        const int first = int((end + 0xFFFF) >> 16) - origin;
        end += step;
        const int last = int(end >> 16) - origin;
        const uint32_t tail = end & 0xFFFF;
        const size_t tailRow = size_t(last) * srcpitch;
        const typename S::Weight cw = S::splat(carry), tw = S::splat(tail);
        for (int x = x0; x < x1; x += S::kPixels) {
            const size_t at = size_t(x) * 4;
            Vec acc = carry ? S::mulhi(S::load(src + carryRow + at), cw) : S::zero();
            size_t row = size_t(first) * srcpitch + at;
            for (int i = first; i < last; ++i, row += srcpitch)
                acc = S::add(acc, S::load(src + row));
            if (tail) acc = S::add(acc, S::mulhi(S::load(src + tailRow + at), tw));
            S::store(dst + at, S::mulhi(acc, fw));
        }
        carryRow = tailRow;
        carry = tail ? kOne - tail : 0;
    }
}

// Destination rows j0 .. j1 - 1 of a vertical pass from srcheight rows to
// destheight, with `Wide` as the widest strip and narrower ones for the
// pixels left over at the end of each row.
template <class Wide>
void shrinkYRowsForm(const byte_t *src, int origin, int srcwidth, int srcheight, int srcpitch,
                     byte_t *dest, int destheight, int destpitch, int j0, int j1) {
    const uint32_t step = uint32_t(srcheight * 65536 / destheight);
    const uint32_t f = uint32_t(destheight * 65536 / srcheight);
    const size_t sp = uint32_t(srcpitch), dp = uint32_t(destpitch);
    int x = srcwidth - srcwidth % Wide::kPixels;
    shrinkYStrips<Wide>(src, origin, sp, 0, x, dest, dp, j0, j1, step, f);
    if constexpr (Wide::kPixels > 4) {
        const int to = x + (srcwidth - x) / 4 * 4;
        shrinkYStrips<Strip4>(src, origin, sp, x, to, dest, dp, j0, j1, step, f);
        x = to;
    }
    const int to = x + (srcwidth - x) / 2 * 2;
    shrinkYStrips<Strip2>(src, origin, sp, x, to, dest, dp, j0, j1, step, f);
    shrinkYStrips<Strip1>(src, origin, sp, to, srcwidth, dest, dp, j0, j1, step, f);
}

template <class Wide>
void shrinkYForm(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch, byte_t *destptr,
                 int destheight, int destpitch) {
    if (shrinkYDone(srcptr, srcwidth, srcheight, srcpitch, destptr, destheight, destpitch)) return;
    shrinkYRowsForm<Wide>(srcptr, 0, srcwidth, srcheight, srcpitch, destptr, destheight, destpitch,
                          0, destheight);
}

constexpr int kColumnChunk = 128;  // source columns transposed at a time

// Transposes the source columns i .. limit - 1 into cols, limit being at most
// kColumnChunk further, and puts column `limit` after them: the next column
// of the row, or zero at the row's end. A straddling column at the end of a
// chunk then needs no reload, and a destination pixel that ends exactly at
// the row's end reads a tail of weight 0. Returns limit.
template <class C>
int loadChunk(const byte_t *const *src, int i, int srcwidth, int validwidth,
              typename C::Vec *cols) {
    const int limit = std::min(i + kColumnChunk, srcwidth);
    if (limit < srcwidth) {
        C::load(src, i, limit - i + 1, validwidth, cols);
    } else {
        C::load(src, i, limit - i, validwidth, cols);
        cols[limit - i] = C::zero();
    }
    return limit;
}

// The horizontal pass for destination pixels j0 onwards of a block of rows.
// `C` transposes the block so that one vector holds the same pixel of every
// row; then all rows share the walk along the row, and a block of columns is
// transposed back when its results are stored. Rows of the block past
// `nrows` repeat the last real row and are not stored.
template <class C>
void shrinkXColumns(const byte_t *const *src, byte_t *const *dst, int nrows, int srcwidth,
                    int validwidth, int j0, int destwidth, uint32_t step, uint32_t f) {
    using Vec = typename C::Vec;
    constexpr int kOut = 16;  // results stored at a time
    Vec cols[kColumnChunk + 1], res[kOut];
    // cols[0 .. limit - base] hold the source columns base .. limit. Columns
    // are asked for in increasing order, so a chunk once passed is done with.
    int base = 0, limit = 0;
    const typename C::Weight fw = C::splat(f);
    uint32_t end = step * uint32_t(j0);
    Vec carry = C::zero();
    if (end & 0xFFFF) {
        base = int(end >> 16);
        limit = loadChunk<C>(src, base, srcwidth, validwidth, cols);
        carry = C::mulhi(cols[0], C::splat(kOne - (end & 0xFFFF)));
    }
    int stored = j0, pending = 0;
    for (int j = j0; j < destwidth; ++j) {
        int i = int((end + 0xFFFF) >> 16);
        end += step;
        const int last = int(end >> 16);
        const uint32_t tail = end & 0xFFFF;
        Vec acc = carry;
        if (last > limit) {
            // Runs past the columns at hand (a wide destination pixel may
            // span several chunks).
            while (i < last) {
                if (i >= limit) {
                    base = i;
                    limit = loadChunk<C>(src, i, srcwidth, validwidth, cols);
                }
                const int stop = std::min(last, limit);
                for (; i < stop; ++i) acc = C::add(acc, cols[i - base]);
            }
            if (last > limit) {
                base = last;
                limit = loadChunk<C>(src, last, srcwidth, validwidth, cols);
            }
        } else {
            for (; i < last; ++i) acc = C::add(acc, cols[i - base]);
        }
        // Without a tail both weights are 0 and the column read is harmless.
        const Vec p = cols[last - base];
        acc = C::add(acc, C::mulhi(p, C::splat(tail)));
        carry = C::mulhi(p, C::splat(tail ? kOne - tail : 0));
        res[pending++] = C::mulhi(acc, fw);
        if (pending == kOut) {
            C::store(res, pending, dst, stored, nrows);
            stored += pending;
            pending = 0;
        }
    }
    if (pending) C::store(res, pending, dst, stored, nrows);
}

// Whole ratios: a source exactly k = 2, 4, 8 or 16 times as wide (or high)
// as the destination, the shrinks of the region export to 1/2 .. 1/16. No
// source pixel straddles then, each destination pixel is the sum of k whole
// ones times f, and `W` (a strip with a `sum<k>`) forms a strip of such sums
// at once from consecutive pixels of a row. Calls op with k as a type.
template <class Op>
bool forWholeRatio(int k, Op op) {
    switch (k) {
        case 2:
            op(std::integral_constant<int, 2>());
            return true;
        case 4:
            op(std::integral_constant<int, 4>());
            return true;
        case 8:
            op(std::integral_constant<int, 8>());
            return true;
        case 16:
            op(std::integral_constant<int, 16>());
            return true;
    }
    return false;
}

// The horizontal pass at a whole ratio k along each row, for the strips of
// destination pixels whose source pixels all lie before `validwidth`.
// Returns how many destination pixels of each row it wrote.
template <class W, int k>
int shrinkWholeRows(const byte_t *srcptr, int validwidth, int srcheight, size_t srcpitch,
                    byte_t *destptr, int destwidth, size_t destpitch, uint32_t f) {
    const int strips = std::min(destwidth, validwidth / k) / W::kPixels;
    const typename W::Weight fw = W::splat(f);
    for (int y = 0; y < srcheight; ++y) {
        const byte_t *src = srcptr + y * srcpitch;
        byte_t *dst = destptr + y * destpitch;
        for (int g = 0; g < strips; ++g, src += 4 * k * W::kPixels, dst += 4 * W::kPixels)
            W::store(dst, W::mulhi(W::template sum<k>(src), fw));
    }
    return strips * W::kPixels;
}

// Both passes at once, at the same whole ratio k across and down: the
// horizontal pass turns each of the k rows of a destination row into sums
// times f, which are bytes already (at most 255), and the vertical pass adds
// those and multiplies by f again, so nothing needs to be stored in between.
// Source pixels at or past `validwidth` and rows at or past `validheight` are
// read as zero; pixels of a strip that reaches past `validwidth`, and of the
// end of a row narrower than a strip, are done one at a time.
template <class W, int k>
void shrinkBoxWhole(const byte_t *srcptr, size_t srcpitch, int validwidth, int validheight,
                    byte_t *destptr, int destwidth, int destheight, size_t destpitch, uint32_t f) {
    const int strips = std::min(destwidth, validwidth / k) / W::kPixels;
    const typename W::Weight fw = W::splat(f);
    const __m128i f1 = Strip1::splat(f);
    for (int j = 0; j < destheight; ++j) {
        const int rows = std::clamp(validheight - j * k, 0, k);
        const byte_t *src = srcptr + size_t(j) * k * srcpitch;
        byte_t *dst = destptr + j * destpitch;
        for (int g = 0; g < strips; ++g) {
            const size_t at = size_t(g) * 4 * k * W::kPixels;
            typename W::Vec acc = W::zero();
            for (int r = 0; r < rows; ++r)
                acc = W::add(acc, W::mulhi(W::template sum<k>(src + r * srcpitch + at), fw));
            W::store(dst + 4 * W::kPixels * g, W::mulhi(acc, fw));
        }
        for (int x = strips * W::kPixels; x < destwidth; ++x) {
            const int cols = std::clamp(validwidth - x * k, 0, k);
            __m128i acc = Strip1::zero();
            for (int r = 0; r < rows; ++r) {
                __m128i sum = Strip1::zero();
                for (int m = 0; m < cols; ++m)
                    sum = Strip1::add(sum, Strip1::load(src + r * srcpitch + 4 * (x * k + m)));
                acc = Strip1::add(acc, Strip1::mulhi(sum, f1));
            }
            Strip1::store(dst + 4 * x, Strip1::mulhi(acc, f1));
        }
    }
}

template <class W>
bool shrinkBoxForm(const byte_t *srcptr, int srcpitch, int k, int validwidth, int validheight,
                   byte_t *destptr, int destwidth, int destheight, int destpitch) {
    const uint32_t f = k > 0 ? uint32_t(65536 / k) : 0;  // any k but a whole ratio is turned down
    return forWholeRatio(k, [&](auto ratio) {
        shrinkBoxWhole<W, decltype(ratio)::value>(srcptr, uint32_t(srcpitch), validwidth,
                                                  validheight, destptr, destwidth, destheight,
                                                  uint32_t(destpitch), f);
    });
}

// The whole horizontal pass: whole ratios along the rows with the strips of
// `Isa::Whole` as far as they go, everything else with the columns of
// `Isa::Columns`.
template <class Isa>
void shrinkXForm(const byte_t *srcptr, int srcwidth, int validwidth, int srcheight, int srcpitch,
                 byte_t *destptr, int destwidth, int destpitch) {
    if (shrinkXDone(srcptr, srcwidth, validwidth, srcheight, srcpitch, destptr, destwidth,
                    destpitch))
        return;
    const uint32_t step = uint32_t(srcwidth * 65536 / destwidth);
    const uint32_t f = uint32_t(destwidth * 65536 / srcwidth);
    const size_t sp = uint32_t(srcpitch), dp = uint32_t(destpitch);
    int done = 0;
    if (srcwidth % destwidth == 0)
        forWholeRatio(srcwidth / destwidth, [&](auto ratio) {
            done = shrinkWholeRows<typename Isa::Whole, decltype(ratio)::value>(
                srcptr, validwidth, srcheight, sp, destptr, destwidth, dp, f);
        });
    if (done == destwidth) return;
    using C = typename Isa::Columns;
    for (int k = 0; k < srcheight; k += C::kRows) {
        const int nrows = std::min(C::kRows, srcheight - k);
        const byte_t *src[C::kRows];
        byte_t *dst[C::kRows];
        for (int r = 0; r < C::kRows; ++r) {
            const size_t row = size_t(k + std::min(r, nrows - 1));
            src[r] = srcptr + row * sp;
            dst[r] = destptr + row * dp;
        }
        shrinkXColumns<C>(src, dst, nrows, srcwidth, validwidth, done, destwidth, step, f);
    }
}

// The table of an instruction set's forms: `Isa` names the widest strip of
// the vertical pass (Strip), the whole-ratio strips (Whole) and the columns
// of the horizontal pass (Columns).
template <class Isa>
constexpr ShrinkKernels shrinkKernelsFor() {
    return {shrinkXForm<Isa>, shrinkYForm<typename Isa::Strip>,
            shrinkYRowsForm<typename Isa::Strip>, shrinkBoxForm<typename Isa::Whole>};
}

}  // namespace
