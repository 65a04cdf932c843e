// Row kernels of the tile decoder. Every form has the same signature and
// writes the same bytes; the C one is the reference for the arithmetic.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/basic.h"

// Pixels in one row of a tile.
constexpr int kTileRowPixels = 16;

// One RGB565 word as a frame-store pixel: bytes red, green, blue, 255 in
// memory, the low bits of each channel left 0 rather than filled.
constexpr uint32_t rgb565ToPixel(uint32_t c) {
    return 0xFF000000u | ((c << 3) & 0xF8) << 16 | ((c >> 3) & 0xFC) << 8 | ((c >> 8) & 0xF8);
}

// Converts one tile row: 16 little-endian RGB565 words at `src` (any
// alignment) into 16 pixels at `dst`.
using RowKernel = void (*)(const byte_t *src, uint32_t *dst);
// Stores `pixel` into 16 consecutive pixels at `dst`.
using FillKernel = void (*)(uint32_t pixel, uint32_t *dst);

// The same for a whole 16x16 tile whose rows lie `stride` pixels apart: one
// indirect call per tile, the row kernel inlined into the loop.
using TileCopyKernel = void (*)(const byte_t *src, uint32_t *dst, ptrdiff_t stride);
using TileFillKernel = void (*)(uint32_t pixel, uint32_t *dst, ptrdiff_t stride);

void convertRow_C(const byte_t *src, uint32_t *dst);
void fillRow_C(uint32_t pixel, uint32_t *dst);

// Applies a row kernel to the 16 rows of a tile.
template <RowKernel row>
inline void copyTileRows(const byte_t *src, uint32_t *dst, ptrdiff_t stride) {
    for (int y = 0; y < kTileRowPixels; ++y) row(src + y * kTileRowPixels * 2, dst + y * stride);
}
template <FillKernel row>
inline void fillTileRows(uint32_t pixel, uint32_t *dst, ptrdiff_t stride) {
    for (int y = 0; y < kTileRowPixels; ++y) row(pixel, dst + y * stride);
}

struct TileKernels {
    RowKernel convertRow;
    FillKernel fillRow;
    TileCopyKernel copyTile;
    TileFillKernel fillTile;
};

// The C forms, and the vector forms per instruction set (the AVX2 ones only
// to be called when the CPU runs them).
extern const TileKernels tileKernels_C;
extern const TileKernels tileKernels_SSE2;
extern const TileKernels tileKernels_AVX2;

// The forms for this CPU.
const TileKernels &tileKernels();
