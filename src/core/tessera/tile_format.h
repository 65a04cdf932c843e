// The grabber's tile stream, as the decoder reads it and the encoder writes
// it: a sequence of packets, each a little-endian colour word and header word,
// a pixel packet followed by the tile's 16x16 RGB565 words, row by row.
// tools/python/tile_format.py holds the same values for the host.
#pragma once

#include <stdint.h>

// Header bits: the tile's column in bits 0-6 and its row in bits 7-13.
constexpr int kTileRowShift = 7;
constexpr uint16_t kTileCoordinateMask = 0x7F;
// Set: the tile is one colour, the packet's colour word; no pixels follow.
constexpr uint16_t kFillFlag = 0x4000;
// Set on the first packet of a frame.
constexpr uint16_t kFirstTileFlag = 0x8000;
// Both words of a padding marker: the rest of the 512-byte block is filler.
constexpr uint16_t kPaddingWord = 0xFFFF;

constexpr int kFillPacketBytes = 4;
constexpr int kPixelPacketBytes = 516;
constexpr int kPaddingBlockBytes = 512;

constexpr uint16_t tileHeader(int tx, int ty) {
    return uint16_t(tx | ty << kTileRowShift);
}
constexpr int tileColumn(uint16_t header) {
    return header & kTileCoordinateMask;
}
constexpr int tileRow(uint16_t header) {
    return (header >> kTileRowShift) & kTileCoordinateMask;
}
