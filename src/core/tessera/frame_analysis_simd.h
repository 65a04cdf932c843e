// The vector form of the greyscale kernel, written once over the operations
// of vector_ops.h and compiled by frame_analysis_sse2.cpp and
// frame_analysis_avx2.cpp with their own instruction sets.
#pragma once

#include "core/tessera/frame_analysis.h"
#include "core/tessera/vector_ops.h"

namespace {

// A vector of pixels at a time, each as a 32-bit lane. The sum (at most 765)
// sits in the low 16 bits of its lane, so a 16-bit high multiply by
// ceil(65536 / 3) divides it by 3 exactly, truncating, over that whole range.
// The C form finishes the pixels left over.
template <class V>
void greyRowForm(uint32_t *pixels, int count) {
    using Vec = typename V::Vec;
    const Vec byteMask = V::set32(0xFF);
    const Vec alphaMask = V::set32(0xFF000000);
    const Vec third = V::set32(21846);
    int i = 0;
    for (; i + V::kWords <= count; i += V::kWords) {
        const Vec p = V::load(pixels + i);
        const Vec sum =
            V::add32(V::add32(V::bitAnd(p, byteMask), V::bitAnd(V::shr32(p, 8), byteMask)),
                     V::bitAnd(V::shr32(p, 16), byteMask));
        const Vec grey = V::mulhi16(sum, third);
        const Vec rgb = V::bitOr(V::bitOr(grey, V::shl32(grey, 8)), V::shl32(grey, 16));
        V::store(pixels + i, V::bitOr(V::bitAnd(p, alphaMask), rgb));
    }
    greyRow_C(pixels + i, count - i);
}

template <class V>
constexpr GreyKernels greyKernelsFor() {
    return {greyRowForm<V>};
}

}  // namespace
