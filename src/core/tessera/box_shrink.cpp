// The box-filter shrink: the public entry points, the checks and copies that
// every form shares, and the C reference of the arithmetic.
#include "core/tessera/box_shrink.h"

#include <string.h>

#include "core/tessera/box_shrink_kernels.h"
#include "core/tessera/kernel_choice.h"

namespace {

constexpr uint32_t kOne = 0x10000;  // one source pixel (or row) in 16.16

inline const byte_t *rowAt(const byte_t *base, int k, int pitch) {
    // Pitches are byte counts added as unsigned values.
    return base + size_t(k) * uint32_t(pitch);
}
inline byte_t *rowAt(byte_t *base, int k, int pitch) {
    return base + size_t(k) * uint32_t(pitch);
}

// High 16 bits of the product of two 16-bit values.
inline uint16_t mulhi(uint32_t a, uint32_t b) {
    return uint16_t((a * b) >> 16);
}

// The value read as signed 16 bits, clamped to a byte.
inline byte_t sat8(uint16_t v) {
    const int s = int16_t(v);
    return byte_t(s < 0 ? 0 : s > 255 ? 255 : s);
}

}  // namespace

bool shrinkXDone(const byte_t *srcptr, int srcwidth, int validwidth, int srcheight, int srcpitch,
                 byte_t *destptr, int destwidth, int destpitch) {
    if (srcwidth < 1 || srcheight < 1 || destwidth < 1 || srcpitch < 0 || destpitch < 0 ||
        validwidth < 0 || validwidth > srcwidth)
        return true;
    if (destwidth < srcwidth) return srcwidth > kShrinkMaxReduced;
    for (int k = 0; k < srcheight; ++k) {
        byte_t *dst = rowAt(destptr, k, destpitch);
        memcpy(dst, rowAt(srcptr, k, srcpitch), size_t(validwidth) * 4);
        memset(dst + size_t(validwidth) * 4, 0, size_t(srcwidth - validwidth) * 4);
    }
    return true;
}

bool shrinkYDone(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch, byte_t *destptr,
                 int destheight, int destpitch) {
    if (srcwidth < 1 || srcheight < 1 || destheight < 1 || srcpitch < 0 || destpitch < 0 ||
        srcwidth > kShrinkYMaxWidth)
        return true;
    if (destheight < srcheight) return srcheight > kShrinkMaxReduced;
    for (int k = 0; k < srcheight; ++k)
        memcpy(rowAt(destptr, k, destpitch), rowAt(srcptr, k, srcpitch), size_t(srcwidth) * 4);
    return true;
}

void shrinkX_C(const byte_t *srcptr, int srcwidth, int validwidth, int srcheight, int srcpitch,
               byte_t *destptr, int destwidth, int destpitch) {
    if (shrinkXDone(srcptr, srcwidth, validwidth, srcheight, srcpitch, destptr, destwidth,
                    destpitch))
        return;
    const uint32_t inpixels = uint32_t(srcwidth * 65536 / destwidth);
    const uint32_t f = uint32_t(destwidth * 65536 / srcwidth);
    for (int k = 0; k < srcheight; ++k) {
        const byte_t *src = rowAt(srcptr, k, srcpitch);
        byte_t *dst = rowAt(destptr, k, destpitch);
        uint16_t acc[4] = {0, 0, 0, 0};
        uint32_t r = inpixels;
        for (int x = 0; x < srcwidth; ++x) {
            byte_t p[4] = {0, 0, 0, 0};
            if (x < validwidth) memcpy(p, src + 4 * x, 4);
            if (r >= kOne) {
                for (int c = 0; c < 4; ++c) acc[c] = uint16_t(acc[c] + p[c]);
                r -= kOne;
                if (r == 0) {
                    for (int c = 0; c < 4; ++c) dst[c] = sat8(mulhi(acc[c], f));
                    dst += 4;
                    memset(acc, 0, sizeof acc);
                    r = inpixels;
                }
            } else {
                // The pixel straddles two destination pixels; each part is
                // truncated on its own.
                for (int c = 0; c < 4; ++c) {
                    dst[c] = sat8(mulhi(uint16_t(acc[c] + mulhi(r, p[c])), f));
                    acc[c] = mulhi(kOne - r, p[c]);
                }
                dst += 4;
                r = inpixels - (kOne - r);
            }
        }
    }
}

void shrinkY_C(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch, byte_t *destptr,
               int destheight, int destpitch) {
    if (shrinkYDone(srcptr, srcwidth, srcheight, srcpitch, destptr, destheight, destpitch)) return;
    uint16_t tempLine[kShrinkYMaxWidth * 4];
    uint16_t *tempLinePtr = tempLine;
    memset(tempLine, 0, sizeof tempLine);
    const uint32_t inlines = uint32_t(srcheight * 65536 / destheight);
    const uint32_t f = uint32_t(destheight * 65536 / srcheight);
    const int values = srcwidth * 4;
    byte_t *dst = destptr;
    uint32_t r = inlines;
    for (int k = 0; k < srcheight; ++k) {
        const byte_t *p = rowAt(srcptr, k, srcpitch);
        if (r >= kOne) {
            for (int i = 0; i < values; ++i) tempLinePtr[i] = uint16_t(tempLinePtr[i] + p[i]);
            r -= kOne;
            if (r == 0) {
                for (int i = 0; i < values; ++i) dst[i] = sat8(mulhi(tempLinePtr[i], f));
                dst = rowAt(dst, 1, destpitch);
                // Cleared in whole groups of four pixels (32 bytes); within
                // the 2048-pixel bound that stays inside tempLine.
                memset(tempLinePtr, 0, size_t((srcwidth + 3) / 4) * 32);
                r = inlines;
            }
        } else {
            for (int i = 0; i < values; ++i) {
                dst[i] = sat8(mulhi(uint16_t(tempLinePtr[i] + mulhi(r, p[i])), f));
                tempLinePtr[i] = mulhi(kOne - r, p[i]);
            }
            dst = rowAt(dst, 1, destpitch);
            r = inlines - (kOne - r);
        }
    }
}

const ShrinkKernels &shrinkKernels() {
    return kernelsForCpu(shrinkKernels_SSE2, shrinkKernels_AVX2);
}

void imageShrinkX(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch, byte_t *destptr,
                  int destwidth, int destpitch) {
    shrinkKernels().shrinkX(srcptr, srcwidth, srcwidth, srcheight, srcpitch, destptr, destwidth,
                            destpitch);
}

void imageShrinkY(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch, byte_t *destptr,
                  int destheight, int destpitch) {
    shrinkKernels().shrinkY(srcptr, srcwidth, srcheight, srcpitch, destptr, destheight, destpitch);
}
