// A plain model of the frame store and the stream path, written from the
// stream format one pixel at a time, without the decoder's kernels or its
// fast paths: the oracle of the intake fuzzer. Tiles that reach past the
// frame are painted inside it only, the store's own rule.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "fuzz_input.h"

class StreamModel {
  public:
    static constexpr int kPacket = 516;

    int w = 0, h = 0, tilesW = 0, tilesH = 0;
    int allocPixels = 0, allocTiles = 0;
    std::vector<uint32_t> frame;   // allocPixels words, rows of w
    std::vector<uint8_t> changed;  // allocTiles bytes, rows of tilesW
    uint32_t padding = 0, bogus = 0;
    int hasFirst = 0;
    uint8_t held[kPacket] = {};
    int heldSize = 0, heldNeeded = 0;

    static bool sizeAccepted(int cw, int ch) {
        return cw >= 0 && cw <= 1920 && ch >= 0 && ch <= 1600;
    }

    // A zeroed store of cw x ch, or an empty one when `fails` (a failed allocation).
    void create(int cw, int ch, bool fails) {
        setSize(fails ? 0 : cw, fails ? 0 : ch);
        allocPixels = w * h;
        allocTiles = tilesW * tilesH;
        frame.assign(size_t(allocPixels), 0);
        changed.assign(size_t(allocTiles), 0);
    }

    // 0: done; 1: refused, beyond the allocation.
    int clear(int cw, int ch) {
        const int tiles = ((cw + 15) / 16) * ((ch + 15) / 16);
        if (cw * ch > allocPixels || tiles > allocTiles) return 1;
        setSize(cw, ch);
        std::fill_n(frame.begin(), size_t(w) * h, 0);
        std::fill_n(changed.begin(), size_t(tiles), 0);
        return 0;
    }

    void markAll() { std::fill_n(changed.begin(), size_t(tilesW) * tilesH, 1); }

    static uint32_t pixelOf(uint16_t c) {
        const uint32_t r = (c >> 8) & 0xF8, g = (c >> 3) & 0xFC, b = (c << 3) & 0xF8;
        return r | g << 8 | b << 16 | 0xFF000000u;
    }

    static uint16_t wordAt(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }

    // The decoder over data[pos, datalen); returns the bytes accounted for.
    FUZZ_UNTRACED int decode(const uint8_t *data, int datalen, int pos, bool save) {
        int remaining = datalen - pos;
        // The read position moves by whole words on a padding skip, so after
        // a skip from an odd offset it trails `pos` by a byte.
        size_t rd = size_t(pos);
        while (remaining > 3) {
            const uint16_t colour = wordAt(data + rd), header = wordAt(data + rd + 2);
            if (colour == 0xFFFF && header == 0xFFFF) {
                ++padding;
                const int skip = std::min(512 - pos % 512, remaining);
                remaining -= skip;
                pos += skip;
                rd += size_t(skip & ~1);
                continue;
            }
            const bool fill = header & 0x4000;
            if (!fill && remaining < kPacket) {
                heldSize = heldNeeded = 0;
                if (!save) return datalen - remaining;
                memcpy(held, data + rd, size_t(remaining));
                heldSize = remaining;
                heldNeeded = kPacket;
                return datalen;
            }
            const int tx = header & 0x7F, ty = (header >> 7) & 0x7F;
            if (tx < tilesW && ty < tilesH) {
                if (header & 0x8000) hasFirst = 1;
                for (int y = 0; y < 16; ++y)
                    for (int x = 0; x < 16; ++x) {
                        const int px = tx * 16 + x, py = ty * 16 + y;
                        if (px >= w || py >= h) continue;
                        const uint16_t c = fill ? colour : wordAt(data + rd + 4 + 2 * (16 * y + x));
                        frame[size_t(py) * w + px] = pixelOf(c);
                    }
                changed[size_t(ty) * tilesW + tx] = 1;
            } else {
                ++bogus;
            }
            const int length = fill ? 4 : kPacket;
            remaining -= length;
            pos += length;
            rd += size_t(length);
        }
        heldSize = heldNeeded = 0;
        return datalen - remaining;
    }

    // The stream intake's answers, as IntakeStatus values: 0 ok, 1 args out
    // of range, 2 inconsistent held counts.
    int sink(const uint8_t *data, int datalen, int pos, int *ret, int *first) {
        if (datalen < 0 || pos < 0 || pos > datalen) return 1;
        if (heldNeeded != 0) {
            if (heldNeeded < heldSize) {
                heldNeeded = heldSize = 0;
                return 2;
            }
            pos += completeHeld(data + pos, datalen - pos);
        }
        *ret = 1;
        if (heldSize == 0) *ret = decode(data, datalen, pos, true) == datalen ? 0 : 1;
        *first = hasFirst;
        hasFirst = 0;
        return 0;
    }

    // Headers the module never writes are refused: fewer than 16 bytes, a
    // held total above one packet or negative, a held count outside 0..total.
    int play(const uint8_t *chunk, int chunklen, int offset, int *cw, int *ch) {
        if (chunklen < 0 || offset < 0 || offset > chunklen || chunklen < 16) return 1;
        const int needed = int32At(chunk), size = int32At(chunk + 4);
        if (needed < 0 || needed > kPacket || size < 0 || size > needed) return 1;
        *cw = int32At(chunk + 8);
        *ch = int32At(chunk + 12);
        heldNeeded = needed;
        heldSize = size;
        const int p = heldNeeded ? completeHeld(chunk + 16, chunklen - 16) : 0;
        if (heldSize == 0) decode(chunk + 16, chunklen - 16, p, true);
        return 0;
    }

    // Runs (start, length) of marks in the window, cleared. 0: done, 1:
    // refused; 2: the run numbered `refuse` (from 1) was turned down by the
    // receiver, cleared all the same, and the scan stopped there.
    int changes(int ty, int tw, int refuse, std::vector<std::pair<int, int>> *runs) {
        runs->clear();
        if (ty < 0 || ty >= tilesH || tw < 0) return 1;
        const int first = ty * tilesW;
        const int len = std::min(tw, tilesW * tilesH - first);
        for (int i = 0; i < len;) {
            if (!changed[size_t(first + i)]) {
                ++i;
                continue;
            }
            const int start = i;
            while (i < len && changed[size_t(first + i)]) changed[size_t(first + i++)] = 0;
            if (int(runs->size()) + 1 == refuse) return 2;
            runs->emplace_back(start, i - start);
        }
        return 0;
    }

    // The tiles' pixels as the export sees them: zero words outside the frame.
    FUZZ_UNTRACED std::vector<uint8_t> crop(int tx, int ty, int tw, int th) const {
        const int cw = tw * 16, ch = th * 16;
        std::vector<uint8_t> out(size_t(cw) * ch * 4, 0);
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x) {
                const int px = tx * 16 + x, py = ty * 16 + y;
                if (px < w && py < h)
                    memcpy(&out[(size_t(y) * cw + x) * 4], &frame[size_t(py) * w + px], 4);
            }
        return out;
    }

  private:
    void setSize(int cw, int ch) {
        w = cw;
        h = ch;
        tilesW = (cw + 15) / 16;
        tilesH = (ch + 15) / 16;
    }

    static int int32At(const uint8_t *p) {
        return int(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
    }

    int completeHeld(const uint8_t *src, int avail) {
        const int n = std::min(heldNeeded - heldSize, avail);
        if (n > 0) memcpy(held + heldSize, src, size_t(n));
        heldSize += n;
        if (heldSize == heldNeeded) decode(held, heldSize, 0, false);
        return n;
    }
};
