// The frame store: one picture per process, its 16x16 tile grid, one
// "changed" byte per tile and the two scratch buffers of the region export.
//
// Invariant kept by every function here: frameWidth * frameHeight never
// exceeds framePixelsAllocated and tilesWidth * tilesHeight never exceeds
// tilesAllocated, so code that stays inside the current dimensions stays inside
// the allocations. Without a store all of them are 0.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "common/basic.h"

constexpr int kTileSize = 16;
constexpr int kMaxFrameWidth = 1920;
constexpr int kMaxFrameHeight = 1600;
// Bytes of one pixel in the store: red, green, blue, 255 in memory order.
constexpr int kPixelBytes = 4;

extern uint32_t *frameBuffer;
extern int frameWidth;
extern int frameHeight;
extern int tilesWidth;
extern int tilesHeight;
extern uint8_t *changedArray;
extern byte_t *tempBuffer1;
extern byte_t *tempBuffer2;
extern int tempSize1;
extern int tempSize2;
// Sizes of the last createBuffer's allocations; clearbuffer stays within them.
extern int framePixelsAllocated;
extern int tilesAllocated;

enum class StoreStatus {
    ok,
    badSize,           // width or height outside 0..1920 / 0..1600
    beyondAllocation,  // clearbuffer to more pixels or tiles than were allocated
    noMemory,          // the store could not be allocated; it is now empty
};

using AllocFunction = void *(*)(size_t);
// The store's allocator: 64-byte aligned, so that a 16-pixel tile row of an
// aligned column fills one cache line instead of straddling two. free() releases it.
void *storeAlloc(size_t bytes);

// Discards the old store and makes a zeroed, unmarked one of w x h pixels.
// `alloc` lets tests make the allocation fail.
StoreStatus createBuffer(int w, int h, AllocFunction alloc = storeAlloc);
// Re-dimensions and blanks the store in place, within the last allocation.
StoreStatus clearbuffer(int w, int h);
// Marks every tile changed.
void setChangedArray();
