// Whole-picture analysis: greyscale conversion and black-border measurement.
#pragma once

#include <stdint.h>

#include "common/basic.h"

// A pixel is black when red < 32, green < 32 and blue < 64; alpha is ignored.
constexpr uint32_t kBlackMask = 0xC0E0E0;
// Border scans stop after this many rows or columns a side.
constexpr int kEdgeScanLimit = 75;

extern "C" {
// Callable with any arguments: a pixel outside the frame (or any pixel when
// there is no store) counts as not black, so a row or column that leaves the
// frame is never black. A length <= 0 tests nothing and gives 1.
TESSERA_EXPORT bool_t isBlackLine(int y, int w);
TESSERA_EXPORT bool_t isBlackColumn(int x, int h);
}

// Turns the picture grey in place; marks every tile changed when `set` is non-zero.
void toGreyscale(int set);

// One greyscale kernel: each of `count` pixels gets (r + g + b) / 3, truncated,
// in red, green and blue; the alpha byte keeps its value. All forms give the
// same bytes; greyRow_C is the reference.
using GreyRow = void (*)(uint32_t *pixels, int count);
void greyRow_C(uint32_t *pixels, int count);

struct GreyKernels {
    GreyRow greyRow;
};

// The vector forms per instruction set (the AVX2 one only to be called when
// the CPU runs it).
extern const GreyKernels greyKernels_SSE2;
extern const GreyKernels greyKernels_AVX2;

// The forms for this CPU.
const GreyKernels &greyKernels();

struct BlackEdges {
    int left, right, top, bottom;
};

enum class EdgesStatus { ok, argsOutOfRange };

// Black rows and columns around the w x h area at the frame's top-left corner.
// Refused (argsOutOfRange) unless 75 <= w <= frameWidth and 75 <= h <= frameHeight.
EdgesStatus getBlackEdges(int w, int h, BlackEdges *edges);
