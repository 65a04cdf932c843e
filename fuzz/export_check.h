// The region export checked against its rules: planExport's answer from the
// argument checks in their order, and runExport's bytes against the C
// reference of the shrink run over the tiles' pixels at full size.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "core/tessera/frame_store.h"
#include "core/tessera/region_export.h"
#include "core/tessera/box_shrink_kernels.h"
#include "fuzz_input.h"

namespace exportcheck {

inline int failingAllocCalls;
inline void *failingAlloc(size_t) {
    ++failingAllocCalls;
    return nullptr;
}

// The status the export owes these arguments, and the plan's sizes.
inline ExportStatus expectedPlan(int tx, int ty, int &w, int &h, float scale, int *s) {
    if (tx < 0 || tx >= tilesWidth || ty < 0 || ty >= tilesHeight)
        return ExportStatus::topLeftOutOfRange;
    if (w < 1 || w > tilesWidth) return ExportStatus::widthOutOfRange;
    if (h < 1 || h > tilesHeight) return ExportStatus::heightOutOfRange;
    w = std::min(w, tilesWidth - tx);
    h = std::min(h, tilesHeight - ty);
    const float edge = (scale > 1.0f ? 1.0f : scale) * 16.0f;
    if (!(edge >= 1.0f)) return ExportStatus::scaleOutOfRange;
    *s = int(edge);
    return ExportStatus::ok;
}

// The C shrink of a full-size crop of cw x ch pixels to nw x nh.
inline std::vector<uint8_t> shrinkReference(const std::vector<uint8_t> &crop, int cw, int ch,
                                            int nw, int nh) {
    if (nw == cw && nh == ch) return crop;
    std::vector<uint8_t> inter(size_t(nw) * ch * 4), out(size_t(nw) * nh * 4);
    shrinkX_C(crop.data(), cw, cw, ch, cw * 4, inter.data(), nw, nw * 4);
    shrinkY_C(inter.data(), nw, ch, nw * 4, out.data(), nh, nw * 4);
    return out;
}

// `crop(tx, ty, w, h)` gives the tiles' pixels at full size, zero outside
// the frame. With `failScratch` the scratch allocation fails, if one is made.
template <typename Crop>
void check(int tx, int ty, int w, int h, float scale, bool failScratch, Crop crop) {
    int ew = w, eh = h, s = 0;
    const ExportStatus expected = expectedPlan(tx, ty, ew, eh, scale, &s);
    ExportPlan plan;
    const ExportStatus planned = planExport(tx, ty, w, h, scale, &plan);
    FUZZ_CHECK(planned == expected, "planExport(%d, %d, %d, %d, %a) gave %d, expected %d", tx, ty,
               w, h, double(scale), int(planned), int(expected));
    if (planned != ExportStatus::ok) return;
    FUZZ_CHECK(plan.tx == tx && plan.ty == ty && plan.w == ew && plan.h == eh && plan.s == s &&
                   plan.nw == ew * s && plan.nh == eh * s,
               "plan (%d,%d %dx%d s%d %dx%d) for (%d,%d %dx%d s%d)", plan.tx, plan.ty, plan.w,
               plan.h, plan.s, plan.nw, plan.nh, tx, ty, ew, eh, s);

    ExactBuffer dest(size_t(plan.nw) * plan.nh * 4);
    failingAllocCalls = 0;
    const ExportStatus ran = runExport(plan, dest.data(), failScratch ? failingAlloc : malloc);
    if (ran == ExportStatus::noMemory) {
        FUZZ_CHECK(failingAllocCalls > 0 || !frameBuffer, "noMemory without a failed allocation");
        return;
    }
    FUZZ_CHECK(ran == ExportStatus::ok, "runExport gave %d", int(ran));
    const std::vector<uint8_t> want =
        shrinkReference(crop(tx, ty, ew, eh), ew * 16, eh * 16, plan.nw, plan.nh);
    FUZZ_CHECK(memcmp(want.data(), dest.data(), want.size()) == 0,
               "export (%d,%d %dx%d s%d) differs from the C reference", tx, ty, ew, eh, s);
}

// Scales worth trying: every tile edge, the edges of the accepted range
// (0, negative, NaN, above 1, just below 1/16) and, for any other code, `raw`.
inline float scaleOf(uint8_t code, float raw) {
    static const float special[] = {0.0f,  -1.0f,  __builtin_nanf(""), 2.0f, 0.99f, 0.3f, 0.0624f,
                                    -0.0f, 1e-30f, __builtin_inff()};
    if (code < 16) return float(code + 1) / 16.0f;
    if (code < 16 + sizeof special / sizeof special[0]) return special[code - 16];
    return raw;
}

}  // namespace exportcheck
