#include "core/tessera/frame_store.h"

#include <string.h>

uint32_t *frameBuffer;
int frameWidth;
int frameHeight;
int tilesWidth;
int tilesHeight;
uint8_t *changedArray;
byte_t *tempBuffer1;
byte_t *tempBuffer2;
int tempSize1;
int tempSize2;
int framePixelsAllocated;
int tilesAllocated;

namespace {

bool sizeAccepted(int w, int h) {
    return static_cast<unsigned>(w) <= kMaxFrameWidth && h >= 0 && h <= kMaxFrameHeight;
}

void setDimensions(int w, int h) {
    frameWidth = w;
    frameHeight = h;
    tilesWidth = (w + kTileSize - 1) / kTileSize;
    tilesHeight = (h + kTileSize - 1) / kTileSize;
}

void releaseStore() {
    free(frameBuffer);
    free(changedArray);
    free(tempBuffer1);
    free(tempBuffer2);
    frameBuffer = nullptr;
    changedArray = nullptr;
    tempBuffer1 = nullptr;
    tempBuffer2 = nullptr;
    framePixelsAllocated = 0;
    tilesAllocated = 0;
}

// malloc(0) may legitimately return null; a zero-sized store is not a failure.
void *allocAtLeastOne(AllocFunction alloc, size_t bytes) {
    return alloc(bytes ? bytes : 1);
}

}  // namespace

void *storeAlloc(size_t bytes) {
    void *p = nullptr;
    return posix_memalign(&p, 64, bytes) == 0 ? p : nullptr;
}

StoreStatus createBuffer(int w, int h, AllocFunction alloc) {
    if (!sizeAccepted(w, h)) return StoreStatus::badSize;
    releaseStore();
    setDimensions(w, h);

    const int pixels = w * h;
    const int tiles = tilesWidth * tilesHeight;
    frameBuffer = static_cast<uint32_t *>(allocAtLeastOne(alloc, size_t(pixels) * kPixelBytes));
    changedArray = frameBuffer ? static_cast<uint8_t *>(allocAtLeastOne(alloc, tiles)) : nullptr;
    if (!changedArray) {
        // Never leave a half-made store behind: every later call sees an
        // empty one, exactly as after loading.
        releaseStore();
        setDimensions(0, 0);
        tempSize1 = tempSize2 = 0;
        return StoreStatus::noMemory;
    }
    memset(frameBuffer, 0, size_t(pixels) * kPixelBytes);
    memset(changedArray, 0, tiles);
    framePixelsAllocated = pixels;
    tilesAllocated = tiles;

    // A scratch buffer that fails here stays null with its capacity set; the
    // export allocates it again when it needs it.
    tempSize1 = frameWidth * kTileSize * kPixelBytes;
    tempBuffer1 = static_cast<byte_t *>(allocAtLeastOne(alloc, tempSize1));
    tempSize2 = frameWidth * kTileSize * kPixelBytes;
    tempBuffer2 = static_cast<byte_t *>(allocAtLeastOne(alloc, tempSize2));
    return StoreStatus::ok;
}

StoreStatus clearbuffer(int w, int h) {
    if (!sizeAccepted(w, h)) return StoreStatus::badSize;
    const int tiles = ((w + kTileSize - 1) / kTileSize) * ((h + kTileSize - 1) / kTileSize);
    if (w * h > framePixelsAllocated || tiles > tilesAllocated)
        return StoreStatus::beyondAllocation;
    setDimensions(w, h);
    if (frameBuffer) memset(frameBuffer, 0, size_t(w) * h * kPixelBytes);
    if (changedArray) memset(changedArray, 0, tiles);
    return StoreStatus::ok;
}

void setChangedArray() {
    if (changedArray) memset(changedArray, 1, size_t(tilesWidth) * tilesHeight);
}
