#include "core/tessera/tile_decoder.h"

#include <string.h>

#include <algorithm>

#include "core/tessera/frame_store.h"
#include "core/tessera/tile_kernels.h"

uint32_t statsPadding;
uint32_t statsBogus;
int HasFirstTile;

byte_t leftoverData[kPixelPacketBytes];
int leftoverDataSize;
int leftoverDataNeeded;

namespace {

constexpr int kTileBytesPerRow = kTileRowPixels * 2;

// The stream is little-endian and its words need not be aligned.
inline uint16_t loadWord(const byte_t *p) {
    uint16_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

// Paints one tile that is in range. A tile of the right column or bottom row
// may reach past the frame: only its part inside the frame is written, so it
// neither wraps onto the next row nor leaves the store.
void paintTile(const TileKernels &kernels, int tx, int ty, bool fill, uint16_t colour,
               const byte_t *pixels) {
    const int x0 = tx * kTileSize;
    const int y0 = ty * kTileSize;
    const ptrdiff_t stride = frameWidth;
    uint32_t *dst = frameBuffer + y0 * stride + x0;
    const int cols = std::min(kTileSize, frameWidth - x0);
    const int rows = std::min(kTileSize, frameHeight - y0);
    if (cols == kTileSize && rows == kTileSize) {
        if (fill)
            kernels.fillTile(rgb565ToPixel(colour), dst, stride);
        else
            kernels.copyTile(pixels, dst, stride);
        return;
    }
    for (int y = 0; y < rows; ++y, dst += stride) {
        if (fill) {
            std::fill_n(dst, cols, rgb565ToPixel(colour));
        } else {
            uint32_t row[kTileRowPixels];
            kernels.convertRow(pixels + y * kTileBytesPerRow, row);
            memcpy(dst, row, cols * sizeof row[0]);
        }
    }
}

}  // namespace

int ProcessVideoData(const byte_t *data, int datalen, int pos, bool_t saveLeftover) {
    my_assert(pos >= 0);
    int remaining = datalen - pos;
    // Follows `pos` except after a padding skip from an odd offset: the read
    // position moves by whole words only, so it may then trail `pos` by one
    // byte (never more, as `pos` is on a 512-byte boundary from there on).
    const byte_t *read = data + pos;
    const TileKernels &kernels = tileKernels();
    while (remaining > 3) {
        const uint16_t colour = loadWord(read);
        const uint16_t header = loadWord(read + 2);
        if (header == kPaddingWord && colour == kPaddingWord) {
            ++statsPadding;
            const int skip = std::min(kPaddingBlockBytes - pos % kPaddingBlockBytes, remaining);
            remaining -= skip;
            pos += skip;
            read += skip & ~1;
            continue;
        }
        const bool fill = header & kFillFlag;
        if (!fill && remaining < kPixelPacketBytes) {
            // Held even when its coordinates are bad: they are judged once
            // the packet is complete.
            leftoverDataSize = leftoverDataNeeded = 0;
            if (!saveLeftover) return datalen - remaining;
            memcpy(leftoverData, read, remaining);
            leftoverDataSize = remaining;
            leftoverDataNeeded = kPixelPacketBytes;
            return datalen;
        }
        const int tx = tileColumn(header);
        const int ty = tileRow(header);
        if (tx < tilesWidth && ty < tilesHeight) {
            if (header & kFirstTileFlag) HasFirstTile = 1;
            paintTile(kernels, tx, ty, fill, colour, read + 4);
            changedArray[ty * tilesWidth + tx] = 1;
        } else {
            ++statsBogus;
        }
        const int length = fill ? kFillPacketBytes : kPixelPacketBytes;
        remaining -= length;
        pos += length;
        read += length;
    }
    leftoverDataSize = leftoverDataNeeded = 0;
    return datalen - remaining;
}

void takeStats(uint32_t *padding, uint32_t *bogus) {
    *padding = statsPadding;
    *bogus = statsBogus;
    statsPadding = statsBogus = 0;
}
