// The AVX2 forms of the tile kernels; this file is compiled with -mavx2 and
// its functions run only when the CPU has it.
#include "core/tessera/tile_kernels_simd.h"

const TileKernels tileKernels_AVX2 = tileKernelsFor<Avx2Ops>();
