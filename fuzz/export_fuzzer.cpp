// Region export and box-filter shrink under the fuzzer. A frame store of any
// size (optionally re-dimensioned by clearbuffer) is filled with pixels and
// exported with arbitrary rectangles and scales, every result compared with
// the C shrink of the tiles at full size. Then each form of the two
// passes (C, SSE2, AVX2 where the CPU has it, the public entry points,
// the banded vertical rows) runs on one and the same arbitrary call: valid
// calls must give identical bytes, invalid ones must write nothing. Every
// buffer is exactly as large as the call's own arguments say.
//
// Input layout (fuzz_input.h):
//   u16 w, u16 h, u8 flags (bit 0: up to 1920x1600, else 320x240; bit 1:
//   clearbuffer to cw x ch; bits 2-3: pixels noise, all 255, a ramp, opaque
//   noise), u32 seed, u16 cw, u16 ch,
//   u8 exports (at most 16), per export: i16 tx, i16 ty, i16 w, i16 h,
//     u8 scale, f32 raw (exportcheck::scaleOf), u8 bit 0: scratch allocation fails
//   then kernel calls to the end (at most 16), per call: u8 pass (X, Y, Y rows,
//     box), and for X, Y and Y rows: u16 srcwidth, u16 validwidth, u16 srcheight,
//     i16 source pitch beyond the row, u16 destination size, i16 destination
//     pitch beyond the row, u32 seed, u16 j0, u16 j1; for the box: u8 ratio,
//     u16 destination width, u16 height, u16 valid width, u16 valid height,
//     u8 and u8 pitches beyond the rows (in pixels), u32 seed.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "core/tessera/box_shrink.h"
#include "core/tessera/box_shrink_kernels.h"
#include "core/tessera/frame_store.h"
#include "core/tessera/kernel_choice.h"
#include "export_check.h"
#include "fuzz_input.h"

namespace {

constexpr size_t kMaxBufferBytes = size_t(1) << 20;
constexpr uint8_t kCanary = 0xA5;

FUZZ_UNTRACED void fillPixels(uint32_t seed, int mode) {
    PixelNoise noise(seed);
    const size_t n = size_t(frameWidth) * frameHeight;
    for (size_t i = 0; i < n; ++i) {
        switch (mode) {
            case 0:
                frameBuffer[i] = noise.next();
                break;
            case 1:
                frameBuffer[i] = 0xFFFFFFFF;
                break;
            case 2:
                frameBuffer[i] = uint32_t(i % 16) * 0x10101010u;
                break;
            default:
                frameBuffer[i] = noise.next() | 0xFF000000u;
        }
    }
}

// The tiles' pixels from the store, zero words outside the frame.
FUZZ_UNTRACED std::vector<uint8_t> cropStore(int tx, int ty, int w, int h) {
    const int cw = w * 16, ch = h * 16;
    std::vector<uint8_t> out(size_t(cw) * ch * 4, 0);
    for (int y = 0; y < ch && ty * 16 + y < frameHeight; ++y) {
        const int cols = std::min(cw, frameWidth - tx * 16);
        if (cols > 0)
            memcpy(&out[size_t(y) * cw * 4],
                   frameBuffer + size_t(ty * 16 + y) * frameWidth + tx * 16, size_t(cols) * 4);
    }
    return out;
}

// Bytes spanned by `rows` rows of `rowBytes` at `pitch`, into *n; false when
// beyond the cap.
bool span(int rows, int pitch, size_t rowBytes, size_t *n) {
    const uint64_t bytes = rows < 1 ? rowBytes : uint64_t(rows - 1) * uint32_t(pitch) + rowBytes;
    *n = size_t(bytes);
    return bytes <= kMaxBufferBytes;
}

// One destination buffer per form, all alike at the start.
struct Outputs {
    std::vector<std::vector<uint8_t>> bufs;
    size_t size;
    explicit Outputs(size_t n) : size(n) {}
    uint8_t *next() {
        bufs.emplace_back(size, kCanary);
        return bufs.back().data();
    }
    void expectSame(bool compare, const char *what) const {
        for (size_t i = 1; i < bufs.size(); ++i) {
            if (compare)
                FUZZ_CHECK(bufs[i] == bufs[0], "%s: form %zu differs from the C form", what, i);
        }
    }
    FUZZ_UNTRACED void expectUntouched(const char *what) const {
        for (size_t i = 0; i < bufs.size(); ++i)
            for (uint8_t b : bufs[i]) FUZZ_CHECK(b == kCanary, "%s: form %zu wrote", what, i);
    }
};

const bool haveAvx2 = cpuRuns(Isa::avx2);

void shrinkXForms(int srcwidth, int validwidth, int srcheight, int srcpitch, int destwidth,
                  int destpitch, uint32_t seed) {
    const bool valid = srcwidth >= 1 && srcheight >= 1 && destwidth >= 1 && srcpitch >= 0 &&
                       destpitch >= 0 && validwidth >= 0 && validwidth <= srcwidth &&
                       !(destwidth < srcwidth && srcwidth > kShrinkMaxReduced);
    const int outwidth = std::min(destwidth, srcwidth);
    size_t srcBytes = 16, destBytes = 16;
    if (valid && !(span(srcheight, srcpitch, size_t(validwidth) * 4, &srcBytes) &&
                   span(srcheight, destpitch, size_t(outwidth) * 4, &destBytes)))
        return;
    // Never null, even when empty: the forms may step a pointer from it.
    ExactBuffer src(srcBytes);
    PixelNoise(seed).fill(src.data(), src.size());
    Outputs out(destBytes);
    shrinkX_C(src.data(), srcwidth, validwidth, srcheight, srcpitch, out.next(), destwidth,
              destpitch);
    shrinkKernels_SSE2.shrinkX(src.data(), srcwidth, validwidth, srcheight, srcpitch, out.next(),
                               destwidth, destpitch);
    if (haveAvx2)
        shrinkKernels_AVX2.shrinkX(src.data(), srcwidth, validwidth, srcheight, srcpitch,
                                   out.next(), destwidth, destpitch);
    if (validwidth == srcwidth)
        imageShrinkX(src.data(), srcwidth, srcheight, srcpitch, out.next(), destwidth, destpitch);
    if (valid)
        out.expectSame(destpitch >= outwidth * 4, "shrinkX");
    else
        out.expectUntouched("shrinkX with arguments out of range");
}

void shrinkYForms(int srcwidth, int srcheight, int srcpitch, int destheight, int destpitch,
                  uint32_t seed, int j0, int j1, bool rows) {
    const bool valid = srcwidth >= 1 && srcheight >= 1 && destheight >= 1 && srcpitch >= 0 &&
                       destpitch >= 0 && srcwidth <= kShrinkYMaxWidth &&
                       !(destheight < srcheight && srcheight > kShrinkMaxReduced);
    const int outrows = std::min(destheight, srcheight);
    size_t srcBytes = 16, destBytes = 16;
    if (valid && !(span(srcheight, srcpitch, size_t(srcwidth) * 4, &srcBytes) &&
                   span(outrows, destpitch, size_t(srcwidth) * 4, &destBytes)))
        return;
    // Never null, even when empty: the forms may step a pointer from it.
    ExactBuffer src(srcBytes);
    PixelNoise(seed).fill(src.data(), src.size());
    const bool separateRows = destpitch >= srcwidth * 4;

    if (rows) {
        // The banded form owes the rows j0 .. j1 - 1 of a shrinking pass.
        if (!valid || destheight >= srcheight || !separateRows) return;
        j0 %= destheight + 1;
        j1 = j0 + j1 % (destheight - j0 + 1);
        std::vector<uint8_t> whole(destBytes, kCanary);
        shrinkY_C(src.data(), srcwidth, srcheight, srcpitch, whole.data(), destheight, destpitch);
        const size_t at = size_t(j0) * uint32_t(destpitch);
        const size_t n =
            j1 > j0 ? size_t(j1 - j0 - 1) * uint32_t(destpitch) + size_t(srcwidth) * 4 : 0;
        for (ShrinkYRowsFunction form : {shrinkKernels_SSE2.shrinkYRows,
                                         haveAvx2 ? shrinkKernels_AVX2.shrinkYRows : nullptr}) {
            if (!form) continue;
            std::vector<uint8_t> part(n ? n : 1, kCanary);
            form(src.data(), 0, srcwidth, srcheight, srcpitch, part.data(), destheight, destpitch,
                 j0, j1);
            for (int j = j0; j < j1; ++j) {
                const size_t off = size_t(j - j0) * uint32_t(destpitch);
                FUZZ_CHECK(
                    memcmp(part.data() + off, whole.data() + at + off, size_t(srcwidth) * 4) == 0,
                    "shrinkYRows: row %d of %d..%d differs", j, j0, j1);
            }
        }
        return;
    }

    Outputs out(destBytes);
    shrinkY_C(src.data(), srcwidth, srcheight, srcpitch, out.next(), destheight, destpitch);
    shrinkKernels_SSE2.shrinkY(src.data(), srcwidth, srcheight, srcpitch, out.next(), destheight,
                               destpitch);
    if (haveAvx2)
        shrinkKernels_AVX2.shrinkY(src.data(), srcwidth, srcheight, srcpitch, out.next(),
                                   destheight, destpitch);
    imageShrinkY(src.data(), srcwidth, srcheight, srcpitch, out.next(), destheight, destpitch);
    if (valid)
        out.expectSame(separateRows, "shrinkY");
    else
        out.expectUntouched("shrinkY with arguments out of range");
}

// Both passes in one at a whole ratio k: the same bytes as the C
// horizontal pass followed by the C vertical one over the source padded
// with zero pixels; any other k is turned down without a write.
void shrinkBoxForms(FuzzInput &in) {
    static const int ratios[] = {2, 4, 8, 16, 1, 3, 0, -2};
    const int k = ratios[in.u8() % 8];
    const int destwidth = 1 + in.u16() % 160, destheight = 1 + in.u16() % 64;
    const bool whole = k == 2 || k == 4 || k == 8 || k == 16;
    const int srcwidth = destwidth * (whole ? k : 1), srcheight = destheight * (whole ? k : 1);
    const int validwidth = in.u16() % (srcwidth + 1), validheight = in.u16() % (srcheight + 1);
    const int srcpitch = validwidth * 4 + in.u8() * 4;
    const int destpitch = destwidth * 4 + in.u8() * 4;
    const uint32_t seed = in.u32();
    if (!whole) {
        uint8_t src[16] = {}, dest[16];
        memset(dest, kCanary, sizeof dest);
        for (ShrinkBoxFunction form :
             {shrinkKernels_SSE2.shrinkBox, haveAvx2 ? shrinkKernels_AVX2.shrinkBox : nullptr}) {
            if (!form) continue;
            FUZZ_CHECK(!form(src, 4, k, 1, 1, dest, 1, 1, 4), "shrinkBox took k = %d", k);
            for (uint8_t b : dest) FUZZ_CHECK(b == kCanary, "shrinkBox with k = %d wrote", k);
        }
        return;
    }
    size_t srcBytes, destBytes;
    if (!span(validheight, srcpitch, size_t(validwidth) * 4, &srcBytes) ||
        !span(destheight, destpitch, size_t(destwidth) * 4, &destBytes) ||
        size_t(srcwidth) * srcheight * 4 > kMaxBufferBytes)
        return;
    // Never null, even when empty: the forms may step a pointer from it.
    ExactBuffer src(srcBytes);
    PixelNoise(seed).fill(src.data(), src.size());
    std::vector<uint8_t> padded(size_t(srcwidth) * srcheight * 4, 0);
    for (int y = 0; y < validheight; ++y)
        if (validwidth)
            memcpy(&padded[size_t(y) * srcwidth * 4], src.data() + size_t(y) * srcpitch,
                   size_t(validwidth) * 4);
    const std::vector<uint8_t> want =
        exportcheck::shrinkReference(padded, srcwidth, srcheight, destwidth, destheight);
    for (ShrinkBoxFunction form :
         {shrinkKernels_SSE2.shrinkBox, haveAvx2 ? shrinkKernels_AVX2.shrinkBox : nullptr}) {
        if (!form) continue;
        std::vector<uint8_t> dest(destBytes, kCanary);
        FUZZ_CHECK(form(src.data(), srcpitch, k, validwidth, validheight, dest.data(), destwidth,
                        destheight, destpitch),
                   "shrinkBox turned down k = %d", k);
        for (int y = 0; y < destheight; ++y)
            FUZZ_CHECK(memcmp(&dest[size_t(y) * destpitch], &want[size_t(y) * destwidth * 4],
                              size_t(destwidth) * 4) == 0,
                       "shrinkBox k = %d, %dx%d of %dx%d valid: row %d differs", k, destwidth,
                       destheight, validwidth, validheight, y);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint16_t rawW = in.u16(), rawH = in.u16();
    const uint8_t flags = in.u8();
    const bool large = flags & 1;
    const int w = rawW % (large ? 1921 : 321), h = rawH % (large ? 1601 : 241);
    const uint32_t seed = in.u32();
    const int cw = in.u16() % (w + 1), ch = in.u16() % (h + 1);
    FUZZ_CHECK(createBuffer(w, h) == StoreStatus::ok, "createBuffer(%d, %d)", w, h);
    if (flags & 2)
        FUZZ_CHECK(clearbuffer(cw, ch) == StoreStatus::ok, "clearbuffer(%d, %d)", cw, ch);
    fillPixels(seed, (flags >> 2) & 3);

    const int exports = in.u8() % 17;
    for (int i = 0; i < exports; ++i) {
        const int tx = in.i16(), ty = in.i16(), ew = in.i16(), eh = in.i16();
        const uint8_t code = in.u8();
        const float scale = exportcheck::scaleOf(code, in.f32());
        exportcheck::check(tx, ty, ew, eh, scale, in.u8() & 1, cropStore);
    }

    for (int i = 0; i < 16 && in.remaining(); ++i) {
        const int pass = in.u8() % 4;
        if (pass == 3) {
            shrinkBoxForms(in);
            continue;
        }
        // The vertical pass takes at most 2048 pixels: a little beyond that is enough.
        const int srcwidth = pass == 0 ? in.u16() : in.u16() % 2100;
        const int validwidth = in.u16() % (srcwidth + 2);
        const int srcheight = pass == 0 ? in.u16() % 17 : in.u16();
        const int srcpitch = srcwidth * 4 + in.i16();
        const int dest = in.u16();
        const int destRow = (pass == 0 ? std::min(dest, srcwidth) : srcwidth) * 4;
        const int destpitch = destRow + in.i16();
        const uint32_t callSeed = in.u32();
        const int j0 = in.u16(), j1 = in.u16();
        if (pass == 0)
            shrinkXForms(srcwidth, validwidth, srcheight, srcpitch, dest, destpitch, callSeed);
        else
            shrinkYForms(srcwidth, srcheight, srcpitch, dest, destpitch, callSeed, j0, j1,
                         pass == 2);
    }
    return 0;
}
