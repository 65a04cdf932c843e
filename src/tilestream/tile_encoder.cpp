#include "tile_encoder.h"

#include <string.h>

#include <algorithm>
#include <vector>

#include "core/tessera/tile_format.h"

namespace {

constexpr int kTile = 16;
constexpr int kBlock = kPaddingBlockBytes;

}  // namespace

struct TsEncoder {
    int w, h, tilesWide, tilesHigh, transferBytes;
    std::vector<uint8_t> queue;
    size_t head = 0;      // first byte not yet taken
    uint64_t offset = 0;  // stream bytes queued so far, for the 512-byte padding

    void put16(uint16_t v) {
        queue.push_back(uint8_t(v));
        queue.push_back(uint8_t(v >> 8));
        offset += 2;
    }
};

extern "C" {

TsEncoder *tsEncoderNew(int w, int h, int transferBytes) {
    if (w < 1 || h < 1 || w > 1920 || h > 1600 || transferBytes < kBlock ||
        transferBytes % kBlock != 0)
        return nullptr;
    auto *enc = new TsEncoder;
    enc->w = w;
    enc->h = h;
    enc->tilesWide = (w + kTile - 1) / kTile;
    enc->tilesHigh = (h + kTile - 1) / kTile;
    enc->transferBytes = transferBytes;
    return enc;
}

void tsEncoderFree(TsEncoder *enc) {
    delete enc;
}

void tsEncoderPutFrame(TsEncoder *enc, const uint16_t *rgb565, const uint8_t *tileMask) {
    bool first = true;
    uint16_t tile[kTile * kTile];
    for (int ty = 0; ty < enc->tilesHigh; ++ty) {
        for (int tx = 0; tx < enc->tilesWide; ++tx) {
            if (tileMask && !tileMask[ty * enc->tilesWide + tx]) continue;
            const int cols = std::min(kTile, enc->w - tx * kTile);
            const int rows = std::min(kTile, enc->h - ty * kTile);
            const uint16_t corner = rgb565[ty * kTile * enc->w + tx * kTile];
            bool uniform = true;
            memset(tile, 0, sizeof tile);
            for (int y = 0; y < rows; ++y) {
                const uint16_t *src = rgb565 + (ty * kTile + y) * enc->w + tx * kTile;
                for (int x = 0; x < cols; ++x) {
                    tile[y * kTile + x] = src[x];
                    uniform &= src[x] == corner;
                }
            }
            uint16_t header = tileHeader(tx, ty);
            if (first) header |= kFirstTileFlag;
            first = false;
            if (uniform) {
                enc->put16(corner);
                enc->put16(header | kFillFlag);
            } else {
                enc->put16(0);
                enc->put16(header);
                for (uint16_t word : tile) enc->put16(word);
            }
        }
    }
    if (enc->offset % kBlock != 0) {
        const size_t filler = kBlock - enc->offset % kBlock - kFillPacketBytes;
        enc->put16(kPaddingWord);
        enc->put16(kPaddingWord);
        enc->queue.insert(enc->queue.end(), filler, 0);
        enc->offset += filler;
    }
}

size_t tsEncoderPending(const TsEncoder *enc) {
    return enc->queue.size() - enc->head;
}

int tsEncoderTakeTransfer(TsEncoder *enc, uint8_t *out, int cap) {
    const size_t n =
        std::min({tsEncoderPending(enc), size_t(std::max(cap, 0)), size_t(enc->transferBytes)});
    memcpy(out, enc->queue.data() + enc->head, n);
    enc->head += n;
    if (enc->head == enc->queue.size()) {
        enc->queue.clear();
        enc->head = 0;
    } else if (enc->head > (1u << 20) && enc->head * 2 > enc->queue.size()) {
        enc->queue.erase(enc->queue.begin(), enc->queue.begin() + long(enc->head));
        enc->head = 0;
    }
    return int(n);
}

void tsTestPattern(uint16_t *rgb565, int w, int h, int frameNumber) {
    static const uint16_t bars[8] = {0xFFFF, 0xFFE0, 0x07FF, 0x07E0,
                                     0xF81F, 0xF800, 0x001F, 0x0000};
    const int border = 8;
    const int boxW = 64, boxH = 48;
    const int span = std::max(1, w - 2 * border - boxW);
    const int boxX = border + (frameNumber * 16) % span;
    const int boxY =
        border + (h - 2 * border - boxH > 0 ? (frameNumber * 8) % (h - 2 * border - boxH) : 0);
    // Per-column parts, worked out once so that the pixel loop has no division.
    std::vector<uint16_t> barOf(w), redOf(w);
    for (int x = 0; x < w; ++x) {
        barOf[x] = bars[(x * 8) / w];
        redOf[x] = uint16_t(((x * 31 / w) & 31) << 11);
    }
    for (int y = 0; y < h; ++y) {
        uint16_t *row = rgb565 + size_t(y) * w;
        if (y < border || y >= h - border) {
            std::fill_n(row, w, 0);  // black border, for the crop measurement
            continue;
        }
        if (y < h / 2) {
            std::copy(barOf.begin(), barOf.end(), row);  // colour bars: mostly uniform tiles
        } else {
            // Gradient: every tile carries distinct pixels.
            const int green = ((y * 63 / h) & 63) << 5;
            for (int x = 0; x < w; ++x) row[x] = uint16_t(redOf[x] | green | ((x + y) & 31));
        }
        if (y >= boxY && y < boxY + boxH) {
            // The moving box, whose colour counts frames.
            const int from = std::max(boxX, border), to = std::min(boxX + boxW, w - border);
            if (from < to) std::fill(row + from, row + to, uint16_t(0xFFFF - frameNumber));
        }
        std::fill_n(row, std::min(border, w), 0);
        if (w > border) std::fill(row + std::max(w - border, border), row + w, 0);
    }
}

void tsExpandFrame(const uint16_t *rgb565, int count, uint32_t *pixels) {
    for (int i = 0; i < count; ++i) {
        const uint32_t c = rgb565[i];
        const uint32_t red = (c >> 11) << 3, green = ((c >> 5) & 63) << 2, blue = (c & 31) << 3;
        pixels[i] = 0xFF000000u | blue << 16 | green << 8 | red;
    }
}
}
