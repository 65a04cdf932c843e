// The SSE2 form of the greyscale kernel: the floor that every x86-64 CPU runs.
#include "core/tessera/frame_analysis_simd.h"

const GreyKernels greyKernels_SSE2 = greyKernelsFor<Sse2Ops>();
