#include "core/tessera/tile_kernels.h"

#include "core/tessera/kernel_choice.h"

void convertRow_C(const byte_t *src, uint32_t *dst) {
    for (int x = 0; x < kTileRowPixels; ++x)
        dst[x] = rgb565ToPixel(uint32_t(src[2 * x]) | uint32_t(src[2 * x + 1]) << 8);
}

void fillRow_C(uint32_t pixel, uint32_t *dst) {
    for (int x = 0; x < kTileRowPixels; ++x) dst[x] = pixel;
}

const TileKernels tileKernels_C = {convertRow_C, fillRow_C, copyTileRows<convertRow_C>,
                                   fillTileRows<fillRow_C>};

const TileKernels &tileKernels() {
    return kernelsForCpu(tileKernels_SSE2, tileKernels_AVX2);
}
