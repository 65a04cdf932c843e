#include "core/tessera/region_export.h"

#include <string.h>

#include <algorithm>

#include "core/tessera/frame_store.h"
#include "core/tessera/box_shrink_kernels.h"

namespace {

// Makes a scratch buffer hold `bytes`. A capacity that is too small becomes
// exactly `bytes` and the buffer is dropped with its contents; a buffer that
// is absent (dropped here, never allocated, or lost to an earlier failure) is
// allocated at the capacity. On failure the buffer stays absent and the new
// capacity stays, so the next export tries again.
bool readyScratch(byte_t **buffer, int *capacity, int bytes, AllocFunction alloc) {
    if (bytes > *capacity) {
        *capacity = bytes;
        free(*buffer);
        *buffer = nullptr;
    }
    if (!*buffer) *buffer = static_cast<byte_t *>(alloc(size_t(*capacity)));
    return *buffer != nullptr;
}

// A plan that planExport could have made from the current grid.
bool planFitsGrid(const ExportPlan &p) {
    return p.tx >= 0 && p.ty >= 0 && p.w >= 1 && p.h >= 1 && p.tx + p.w <= tilesWidth &&
           p.ty + p.h <= tilesHeight && p.s >= 1 && p.s <= kTileSize && p.nw == p.w * p.s &&
           p.nh == p.h * p.s;
}

}  // namespace

ExportStatus planExport(int tx, int ty, int w, int h, float scale, ExportPlan *plan) {
    if (tx < 0 || tx >= tilesWidth || ty < 0 || ty >= tilesHeight)
        return ExportStatus::topLeftOutOfRange;
    // Against the whole grid, not the tiles right of tx: clipped below.
    if (w < 1 || w > tilesWidth) return ExportStatus::widthOutOfRange;
    if (h < 1 || h > tilesHeight) return ExportStatus::heightOutOfRange;
    if (tx + w >= tilesWidth) w = tilesWidth - tx;
    if (ty + h >= tilesHeight) h = tilesHeight - ty;
    if (scale > 1.0f) scale = 1.0f;
    // The tile edge is the single-precision product, truncated. Below one
    // pixel (a scale under 1/16, zero, negative or NaN) nothing is left to
    // export; the test is on the float, as converting NaN to int is undefined.
    const float edge = scale * 16.0f;
    if (!(edge >= 1.0f)) return ExportStatus::scaleOutOfRange;
    const int s = int(edge);
    *plan = {tx, ty, w, h, s, w * s, h * s};
    return ExportStatus::ok;
}

namespace {

// The frame's rectangle under a plan.
struct ExportSource {
    const byte_t *pixels;  // its top-left pixel
    size_t pitch;          // bytes from one frame row to the next
    int width, height;     // whole tiles
    // A tile of the right column or bottom row may reach past the frame. The
    // decoder paints only the part inside, so the export delivers zero words
    // for the rest and reads nothing outside the frame's own rows.
    int validWidth, validHeight;
};

ExportSource exportSource(const ExportPlan &plan) {
    const int x0 = plan.tx * kTileSize, y0 = plan.ty * kTileSize;
    const int width = plan.w * kTileSize, height = plan.h * kTileSize;
    const size_t pitch = size_t(frameWidth) * kPixelBytes;
    const byte_t *pixels =
        reinterpret_cast<const byte_t *>(frameBuffer) + y0 * pitch + size_t(x0) * kPixelBytes;
    return {pixels,
            pitch,
            width,
            height,
            std::min(width, frameWidth - x0),
            std::min(height, frameHeight - y0)};
}

void exportFullSize(const ExportSource &in, byte_t *dest) {
    const byte_t *src = in.pixels;
    const size_t rowBytes = size_t(in.width) * kPixelBytes;
    const size_t validBytes = size_t(in.validWidth) * kPixelBytes;
    for (int y = 0; y < in.validHeight; ++y, src += in.pitch, dest += rowBytes) {
        memcpy(dest, src, validBytes);
        memset(dest + validBytes, 0, rowBytes - validBytes);
    }
    memset(dest, 0, size_t(in.height - in.validHeight) * rowBytes);
}

// At 1/2, 1/4, 1/8 and 1/16 both passes run in one, with no rows between.
// Returns false, writing nothing, at any other scale.
bool exportWholeRatio(const ShrinkKernels &kernels, const ExportPlan &plan, const ExportSource &in,
                      byte_t *dest) {
    return kTileSize % plan.s == 0 &&
           kernels.shrinkBox(in.pixels, int(in.pitch), kTileSize / plan.s, in.validWidth,
                             in.validHeight, dest, plan.nw, plan.nh, plan.nw * kPixelBytes);
}

// The passes take turns on a band of rows: the horizontal pass shrinks a band
// into tempBuffer2, the vertical pass writes every destination row whose
// source rows are all there straight into `dest`, and the rows that the next
// destination row still needs move to the front. The intermediate stays in
// the cache instead of going through memory twice. A destination row spans
// at most 16 rows, and one more when it starts inside one, so at most 17 rows
// are carried into a band. Up to two tile rows are shrunk in one go; from
// three on there is room for 16 + 17.
ExportStatus exportBanded(const ShrinkKernels &kernels, const ExportPlan &plan,
                          const ExportSource &in, byte_t *dest, AllocFunction alloc) {
    const int interPitch = plan.nw * kPixelBytes;
    const int height = in.height;
    const int band = plan.h <= 2 ? height : kTileSize;
    const int bandRows = std::min(height, 2 * kTileSize + 1);
    if (!readyScratch(&tempBuffer2, &tempSize2, interPitch * bandRows, alloc))
        return ExportStatus::noMemory;
    const uint64_t step = uint64_t(height) * 65536 / plan.nh;
    int origin = 0;  // intermediate row held at the front of tempBuffer2
    int done = 0;    // destination rows written
    for (int produced = 0; produced < height;) {
        const int n = std::min(band, height - produced);
        byte_t *rows = tempBuffer2 + size_t(produced - origin) * interPitch;
        // Rows below the frame shrink to zero words.
        const int valid = std::clamp(in.validHeight - produced, 0, n);
        if (valid > 0)
            kernels.shrinkX(in.pixels + produced * in.pitch, in.width, in.validWidth, valid,
                            int(in.pitch), rows, plan.nw, interPitch);
        memset(rows + size_t(valid) * interPitch, 0, size_t(n - valid) * interPitch);
        produced += n;
        int ready = done;
        while (ready < plan.nh && uint64_t(ready + 1) * step <= uint64_t(produced) << 16) ++ready;
        kernels.shrinkYRows(tempBuffer2, origin, plan.nw, height, interPitch,
                            dest + size_t(done) * interPitch, plan.nh, interPitch, done, ready);
        done = ready;
        if (produced == height) break;
        // Destination row `done` starts in this row.
        const int keep = int(uint64_t(done) * step >> 16);
        memmove(tempBuffer2, tempBuffer2 + size_t(keep - origin) * interPitch,
                size_t(produced - keep) * interPitch);
        origin = keep;
    }
    return ExportStatus::ok;
}

}  // namespace

ExportStatus runExport(const ExportPlan &plan, byte_t *dest, AllocFunction alloc) {
    my_assert(planFitsGrid(plan));
    // The grid only has a size while the store has its pixels.
    if (!frameBuffer) return ExportStatus::noMemory;
    const ExportSource in = exportSource(plan);
    if (plan.s == kTileSize) {
        exportFullSize(in, dest);
        return ExportStatus::ok;
    }
    const ShrinkKernels &kernels = shrinkKernels();
    if (exportWholeRatio(kernels, plan, in, dest)) return ExportStatus::ok;
    return exportBanded(kernels, plan, in, dest, alloc);
}
