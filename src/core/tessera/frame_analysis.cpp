#include "core/tessera/frame_analysis.h"

#include <emmintrin.h>

#include <algorithm>

#include "core/tessera/frame_store.h"

namespace {

inline bool isBlack(uint32_t pixel) {
    return (pixel & kBlackMask) == 0;
}

// Counts the lines that `isBlackAt(i)` accepts for i = 0, 1, ... up to the limit.
template <typename Test>
int countBlack(Test isBlackAt) {
    int count = 0;
    while (count < kEdgeScanLimit && isBlackAt(count)) ++count;
    return count;
}

GreyRow pickGreyRow() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? greyRowAVX2 : greyRowSSE2;
}

// The tests proper return int. The exported bool_t forms only hand the
// value on, so the whole return register holds 0 or 1 and not just its low
// byte: a caller that reads it as an int (ctypes without a restype, for one)
// sees the same answer as one that reads the byte.
__attribute__((noinline)) int blackLine(int y, int w) {
    if (w <= 0) return 1;
    if (!frameBuffer || y < 0 || y >= frameHeight) return 0;
    const uint32_t *row = frameBuffer + size_t(y) * frameWidth;
    const int inFrame = std::min(w, frameWidth);
    for (int x = 0; x < inFrame; ++x)
        if (!isBlack(row[x])) return 0;
    return w <= frameWidth;
}

__attribute__((noinline)) int blackColumn(int x, int h) {
    if (h <= 0) return 1;
    if (!frameBuffer || x < 0 || x >= frameWidth) return 0;
    const uint32_t *pixel = frameBuffer + x;
    const int inFrame = std::min(h, frameHeight);
    for (int y = 0; y < inFrame; ++y, pixel += frameWidth)
        if (!isBlack(*pixel)) return 0;
    return h <= frameHeight;
}

}  // namespace

bool_t isBlackLine(int y, int w) {
    return bool_t(blackLine(y, w));
}

bool_t isBlackColumn(int x, int h) {
    return bool_t(blackColumn(x, h));
}

void greyRowC(uint32_t *pixels, int count) {
    for (int i = 0; i < count; ++i) {
        const uint32_t p = pixels[i];
        const uint32_t grey = ((p & 0xFF) + ((p >> 8) & 0xFF) + ((p >> 16) & 0xFF)) / 3;
        pixels[i] = (p & 0xFF000000) | grey * 0x010101;
    }
}

// Four pixels at a time, each as a 32-bit lane. The sum (at most 765) sits in
// the low 16 bits of its lane, so a 16-bit high multiply by ceil(65536 / 3)
// divides it by 3 exactly, truncating, over that whole range.
void greyRowSSE2(uint32_t *pixels, int count) {
    const __m128i byteMask = _mm_set1_epi32(0xFF);
    const __m128i alphaMask = _mm_set1_epi32(int(0xFF000000));
    const __m128i third = _mm_set1_epi32(21846);
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i *at = reinterpret_cast<__m128i *>(pixels + i);
        const __m128i p = _mm_loadu_si128(at);
        const __m128i sum =
            _mm_add_epi32(_mm_add_epi32(_mm_and_si128(p, byteMask),
                                        _mm_and_si128(_mm_srli_epi32(p, 8), byteMask)),
                          _mm_and_si128(_mm_srli_epi32(p, 16), byteMask));
        const __m128i grey = _mm_mulhi_epu16(sum, third);
        const __m128i rgb =
            _mm_or_si128(_mm_or_si128(grey, _mm_slli_epi32(grey, 8)), _mm_slli_epi32(grey, 16));
        _mm_storeu_si128(at, _mm_or_si128(_mm_and_si128(p, alphaMask), rgb));
    }
    greyRowC(pixels + i, count - i);
}

void toGreyscale(int set) {
    static const GreyRow greyRow = pickGreyRow();
    // The store is contiguous, so the whole picture is one row of pixels.
    if (frameBuffer) greyRow(frameBuffer, frameWidth * frameHeight);
    if (set) setChangedArray();
}

EdgesStatus getBlackEdges(int w, int h, BlackEdges *edges) {
    // Outside this range the scans would leave the frame or measure from a
    // row or column that does not exist.
    if (!frameBuffer || w < kEdgeScanLimit || w > frameWidth || h < kEdgeScanLimit ||
        h > frameHeight)
        return EdgesStatus::argsOutOfRange;

    int top = countBlack([=](int i) { return isBlackLine(i, w); });
    int bottom = countBlack([=](int i) { return isBlackLine(h - 1 - i, w); });
    int left = countBlack([=](int i) { return isBlackColumn(i, h); });
    int right = countBlack([=](int i) { return isBlackColumn(w - 1 - i, h); });

    // A side that reached the limit says nothing about the picture (it is
    // black or the area is wrong), so its whole pair is dropped.
    if (left == kEdgeScanLimit || right == kEdgeScanLimit) left = right = 0;
    if (top == kEdgeScanLimit || bottom == kEdgeScanLimit) top = bottom = 0;
    *edges = {left, right, top, bottom};
    return EdgesStatus::ok;
}
