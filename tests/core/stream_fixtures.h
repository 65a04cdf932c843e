// Helpers for tests of the stream path: hand-built tile-stream items, frames
// run through the tile-stream encoder, and a reset of the decoder's state.
#pragma once

#include <stdint.h>
#include <string.h>

#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/tessera/frame_store.h"
#include "core/tessera/tile_decoder.h"
#include "tile_encoder.h"

using Bytes = std::vector<byte_t>;

inline void putWord(Bytes *out, uint16_t w) {
    out->push_back(byte_t(w));
    out->push_back(byte_t(w >> 8));
}

inline uint16_t tileHeader(int tx, int ty, bool fill, bool first = false) {
    return uint16_t(tx | ty << 7 | (fill ? 0x4000 : 0) | (first ? 0x8000 : 0));
}

inline void putFill(Bytes *out, uint16_t colour, int tx, int ty, bool first = false) {
    putWord(out, colour);
    putWord(out, tileHeader(tx, ty, true, first));
}

// A pixel packet whose word i is words(i).
template <typename Words>
void putPixels(Bytes *out, int tx, int ty, Words words, bool first = false) {
    putWord(out, 0);
    putWord(out, tileHeader(tx, ty, false, first));
    for (int i = 0; i < 256; ++i) putWord(out, uint16_t(words(i)));
}

inline void putPadding(Bytes *out) {
    putWord(out, 0xFFFF);
    putWord(out, 0xFFFF);
}

// An empty store of w x h pixels and a decoder with nothing held or counted.
inline void freshStream(int w, int h) {
    ASSERT_EQ(createBuffer(w, h), StoreStatus::ok);
    uint32_t padding, bogus;
    takeStats(&padding, &bogus);
    HasFirstTile = 0;
    leftoverDataSize = leftoverDataNeeded = 0;
    memset(leftoverData, 0, sizeof leftoverData);
}

// Random RGB565 frames; `uniformEvery` > 0 makes that share of the tiles a
// single colour, so that the encoder sends them as fill packets.
inline std::vector<uint16_t> randomFrame(int w, int h, unsigned seed, int uniformEvery = 0) {
    std::mt19937 rng(seed);
    std::vector<uint16_t> frame(size_t(w) * h);
    for (auto &c : frame) c = uint16_t(rng());
    if (uniformEvery > 0) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int tile = (y / 16) * ((w + 15) / 16) + x / 16;
                if (tile % uniformEvery == 0) frame[size_t(y) * w + x] = uint16_t(tile * 977);
            }
    }
    return frame;
}

// The encoder's transfers for one frame, every tile sent.
inline std::vector<Bytes> encodeFrame(const std::vector<uint16_t> &frame, int w, int h,
                                      int transferBytes = 16384) {
    TsEncoder *enc = tsEncoderNew(w, h, transferBytes);
    tsEncoderPutFrame(enc, frame.data(), nullptr);
    std::vector<Bytes> transfers;
    Bytes buf(transferBytes);
    while (int n = tsEncoderTakeTransfer(enc, buf.data(), transferBytes))
        transfers.emplace_back(buf.begin(), buf.begin() + n);
    tsEncoderFree(enc);
    return transfers;
}

inline Bytes concat(const std::vector<Bytes> &parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// What the store must hold once `frame` has been decoded.
inline std::vector<uint32_t> expectedPixels(const std::vector<uint16_t> &frame) {
    std::vector<uint32_t> pixels(frame.size());
    tsExpandFrame(frame.data(), int(frame.size()), pixels.data());
    return pixels;
}

inline std::vector<uint32_t> storePixels() {
    return std::vector<uint32_t>(frameBuffer, frameBuffer + size_t(frameWidth) * frameHeight);
}

inline std::vector<uint8_t> storeMarks() {
    return std::vector<uint8_t>(changedArray, changedArray + tilesWidth * tilesHeight);
}
