// The AVX2 form of the greyscale kernel; this file is compiled with -mavx2
// and its functions run only when the CPU has it.
#include "core/tessera/frame_analysis_simd.h"

const GreyKernels greyKernels_AVX2 = greyKernelsFor<Avx2Ops>();
