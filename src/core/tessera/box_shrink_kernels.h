// The forms of the box-filter shrink behind imageShrinkX and imageShrinkY.
// Every form of a pass has the same signature and writes the same bytes; the C
// one follows the fixed-point arithmetic step by step and is the reference
// that the others are tested against.
#pragma once

#include "common/basic.h"

// The horizontal pass with one argument more than imageShrinkX: source
// columns at or past `validwidth` (0..srcwidth) are read as zero bytes and
// never touched, so that a rectangle reaching past the edge of its image can
// be shrunk in place.
using ShrinkXFunction = void (*)(const byte_t *srcptr, int srcwidth, int validwidth, int srcheight,
                                 int srcpitch, byte_t *destptr, int destwidth, int destpitch);
// The vertical pass, with the signature of imageShrinkY.
using ShrinkYFunction = void (*)(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch,
                                 byte_t *destptr, int destheight, int destpitch);

// Destination rows j0 .. j1 - 1 of the vertical pass from srcheight rows to
// destheight, the first of them at `dest`, with source row r at
// src + (r - origin) * srcpitch: a caller that shrinks a band of rows at a
// time hands over only the rows that these destination rows read. No checks:
// the arguments are those of a shrinking vertical pass.
using ShrinkYRowsFunction = void (*)(const byte_t *src, int origin, int srcwidth, int srcheight,
                                     int srcpitch, byte_t *dest, int destheight, int destpitch,
                                     int j0, int j1);

// Both passes at once for a source exactly k = 2, 4, 8 or 16 times as wide
// and as high as the destination: the same bytes as the horizontal pass
// followed by the vertical one, without the rows in between. Source pixels
// at or past `validwidth` and rows at or past `validheight` are read as
// zero. Returns false, writing nothing, for any other k. No other checks.
using ShrinkBoxFunction = bool (*)(const byte_t *srcptr, int srcpitch, int k, int validwidth,
                                   int validheight, byte_t *destptr, int destwidth, int destheight,
                                   int destpitch);

// The widest source width of the vertical pass: its accumulator row holds
// 8192 16-bit values, four per pixel.
constexpr int kShrinkYMaxWidth = 2048;
// The widest reduced dimension: it times 65536 must fit in 32 signed bits.
constexpr int kShrinkMaxReduced = 32767;

// The references, plain C.
void shrinkX_C(const byte_t *srcptr, int srcwidth, int validwidth, int srcheight, int srcpitch,
               byte_t *destptr, int destwidth, int destpitch);
void shrinkY_C(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch, byte_t *destptr,
               int destheight, int destpitch);

// Shared first step of every form. Returns true when the call is already
// complete: either its arguments lie outside what the shrink accepts (sizes
// below 1, a negative pitch, a reduced dimension above 32767, a vertical pass
// wider than 2048 pixels), and nothing is written, or the destination is not
// smaller than the source and the rows have been copied.
bool shrinkXDone(const byte_t *srcptr, int srcwidth, int validwidth, int srcheight, int srcpitch,
                 byte_t *destptr, int destwidth, int destpitch);
bool shrinkYDone(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch, byte_t *destptr,
                 int destheight, int destpitch);

// The vector forms of both passes. The banded and the whole-ratio entries
// have no C form of their own: their reference is the two C passes in turn.
struct ShrinkKernels {
    ShrinkXFunction shrinkX;
    ShrinkYFunction shrinkY;
    ShrinkYRowsFunction shrinkYRows;
    ShrinkBoxFunction shrinkBox;
};

// The forms per instruction set (the AVX2 ones only to be called when the
// CPU runs them).
extern const ShrinkKernels shrinkKernels_SSE2;
extern const ShrinkKernels shrinkKernels_AVX2;

// The forms for this CPU.
const ShrinkKernels &shrinkKernels();
