// Export of a rectangle of whole tiles as raw pixels, at full size or shrunk.
#pragma once

#include <stdint.h>

#include "common/basic.h"
#include "core/tessera/frame_store.h"

enum class ExportStatus {
    ok,
    topLeftOutOfRange,
    widthOutOfRange,
    heightOutOfRange,
    scaleOutOfRange,  // a scale below 1/16, or NaN
    noMemory,         // a scratch buffer could not be allocated
};

// An export checked and clipped to the grid, ready to run.
struct ExportPlan {
    int tx, ty;  // top-left tile
    int w, h;    // size in tiles, clipped to the grid
    int s;       // output pixels per tile edge, 1..16
    int nw, nh;  // output size in pixels
};

// Checks the arguments in the system's order and fills `plan`.
ExportStatus planExport(int tx, int ty, int w, int h, float scale, ExportPlan *plan);
// Writes the plan's nw * nh pixels, packed rows, to `dest`. A scaled export
// first makes tempBuffer2 large enough for its intermediate (`alloc` lets
// tests make that fail); tempBuffer1 is not used, as the output goes to
// `dest` directly. Change marks are left as they are.
ExportStatus runExport(const ExportPlan &plan, byte_t *dest, AllocFunction alloc = malloc);
