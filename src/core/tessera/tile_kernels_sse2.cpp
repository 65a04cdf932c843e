// The SSE2 forms of the tile kernels: the floor that every x86-64 CPU runs.
#include "core/tessera/tile_kernels_simd.h"

const TileKernels tileKernels_SSE2 = tileKernelsFor<Sse2Ops>();
