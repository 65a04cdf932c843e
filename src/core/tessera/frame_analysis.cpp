#include "core/tessera/frame_analysis.h"

#include <algorithm>

#include "core/tessera/frame_store.h"
#include "core/tessera/kernel_choice.h"

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

void greyRow_C(uint32_t *pixels, int count) {
    for (int i = 0; i < count; ++i) {
        const uint32_t p = pixels[i];
        const uint32_t grey = ((p & 0xFF) + ((p >> 8) & 0xFF) + ((p >> 16) & 0xFF)) / 3;
        pixels[i] = (p & 0xFF000000) | grey * 0x010101;
    }
}

const GreyKernels &greyKernels() {
    return kernelsForCpu(greyKernels_SSE2, greyKernels_AVX2);
}

void toGreyscale(int set) {
    // The store is contiguous, so the whole picture is one row of pixels.
    if (frameBuffer) greyKernels().greyRow(frameBuffer, frameWidth * frameHeight);
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
