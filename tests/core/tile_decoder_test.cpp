#include "core/tessera/tile_decoder.h"

#include <gtest/gtest.h>
#if TESSERA_HAVE_LIBYUV
#include <libyuv.h>
#endif

#include "core/tessera/frame_store.h"
#include "core/tessera/kernel_choice.h"
#include "core/tessera/tile_kernels.h"
#include "stream_fixtures.h"

namespace {

int decode(const Bytes &data, int pos = 0, bool save = true) {
    return ProcessVideoData(data.data(), int(data.size()), pos, save);
}

uint32_t pixelAt(int x, int y) {
    return frameBuffer[y * frameWidth + x];
}

uint32_t pixelOf(byte_t r, byte_t g, byte_t b) {
    return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | 0xFF000000u;
}

// Every RGB565 value, 16 to a tile row, starting `misalign` bytes into the buffer.
Bytes allWords(int misalign) {
    Bytes words(misalign);
    for (int c = 0; c < 65536; ++c) putWord(&words, uint16_t(c));
    return words;
}

// The vector forms this CPU runs.
std::vector<const TileKernels *> vectorKernels() {
    std::vector<const TileKernels *> kernels = {&tileKernels_SSE2};
    if (cpuRuns(Isa::avx2)) kernels.push_back(&tileKernels_AVX2);
    return kernels;
}

TEST(TileKernels, VectorRowsMatchTheCRowForEveryValue) {
    for (int misalign : {0, 1, 2, 3}) {
        const Bytes words = allWords(misalign);
        for (const TileKernels *kernels : vectorKernels()) {
            for (int row = 0; row < 65536 / 16; ++row) {
                const byte_t *src = words.data() + misalign + row * 32;
                uint32_t want[16], got[17];
                got[16] = 0xDEADBEEF;
                convertRow_C(src, want);
                kernels->convertRow(src, got);
                ASSERT_EQ(memcmp(want, got, sizeof want), 0) << "row " << row;
                ASSERT_EQ(got[16], 0xDEADBEEFu) << "wrote past the row";
            }
        }
    }
}

TEST(TileKernels, FillRowsMatchTheCRowAndWriteOneTileRowExactly) {
    uint32_t want[18] = {};
    fillRow_C(0x12345678, want + 1);
    EXPECT_EQ(want[0], 0u);
    EXPECT_EQ(want[17], 0u);
    for (int x = 1; x <= 16; ++x) EXPECT_EQ(want[x], 0x12345678u);
    for (const TileKernels *kernels : vectorKernels()) {
        // At each alignment of a 32-byte vector.
        for (int offset = 0; offset < 8; ++offset) {
            uint32_t got[26] = {};
            kernels->fillRow(0x12345678, got + offset + 1);
            EXPECT_EQ(memcmp(got + offset, want, sizeof want), 0) << "offset " << offset;
            for (int x = 0; x < offset; ++x) EXPECT_EQ(got[x], 0u);
        }
    }
}

TEST(TileKernels, WholeTilesMatchTheRowsTheyAreMadeOf) {
    const Bytes words = allWords(1);
    const ptrdiff_t stride = 21;  // rows apart, with a gap that must stay untouched
    for (const TileKernels *kernels : vectorKernels()) {
        std::vector<uint32_t> got(16 * stride, 7), want(16 * stride, 7);
        kernels->copyTile(words.data() + 1 + 4096, got.data(), stride);
        tileKernels_C.copyTile(words.data() + 1 + 4096, want.data(), stride);
        EXPECT_EQ(got, want);
        kernels->fillTile(0xFF00FF00, got.data(), stride);
        tileKernels_C.fillTile(0xFF00FF00, want.data(), stride);
        EXPECT_EQ(got, want);
    }
}

#if TESSERA_HAVE_LIBYUV
// libyuv widens RGB565 by copying the high bits into the low ones and writes
// bytes B, G, R, A; masked to the high bits and reordered, it must agree with
// the store for all 65536 values, decoded through the real packet path.
TEST(TileDecoder, ColourConversionAgreesWithLibyuv) {
    freshStream(256, 256);
    const Bytes words = allWords(0);
    std::vector<byte_t> argb(65536 * 4);
    ASSERT_EQ(libyuv::RGB565ToARGB(words.data(), 65536 * 2, argb.data(), 65536 * 4, 65536, 1), 0);

    // Pixel (x, y) of the frame is the RGB565 value y * 256 + x.
    Bytes stream;
    for (int ty = 0; ty < 16; ++ty)
        for (int tx = 0; tx < 16; ++tx)
            putPixels(&stream, tx, ty,
                      [&](int i) { return (ty * 16 + i / 16) * 256 + tx * 16 + i % 16; });
    ASSERT_EQ(decode(stream), int(stream.size()));
    for (int c = 0; c < 65536; ++c) {
        const byte_t *bgra = &argb[c * 4];
        const uint32_t want = pixelOf(bgra[2] & 0xF8, bgra[1] & 0xFC, bgra[0] & 0xF8);
        ASSERT_EQ(frameBuffer[c], want) << "RGB565 " << c;
    }
}
#endif

TEST(TileDecoder, FillAndPixelPacketsPaintTheirTiles) {
    freshStream(64, 48);
    Bytes fills;
    putFill(&fills, 0xF800, 0, 0);
    EXPECT_EQ(decode(fills), 4);
    EXPECT_EQ(pixelAt(0, 0), pixelOf(248, 0, 0));
    EXPECT_EQ(pixelAt(15, 15), pixelOf(248, 0, 0));
    EXPECT_EQ(pixelAt(16, 0), 0u);
    EXPECT_EQ(pixelAt(0, 16), 0u);
    EXPECT_EQ(storeMarks(), std::vector<uint8_t>({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    fills.clear();
    putFill(&fills, 0xFFFF, 1, 0);
    putFill(&fills, 0x0000, 2, 0);
    decode(fills);
    EXPECT_EQ(pixelAt(16, 0), pixelOf(248, 252, 248));
    EXPECT_EQ(pixelAt(32, 0), 0xFF000000u) << "a decoded black pixel is not a zeroed one";

    Bytes pixels;
    putPixels(&pixels, 2, 1, [](int i) { return 0x0801 * (i % 32) + i / 32; });
    EXPECT_EQ(decode(pixels), 516);
    EXPECT_EQ(pixelAt(32, 16), rgb565ToPixel(0));
    EXPECT_EQ(pixelAt(33, 16), rgb565ToPixel(0x0801));
    EXPECT_EQ(pixelAt(47, 31), rgb565ToPixel(0x0801 * 31 + 7));
    EXPECT_EQ(pixelAt(31, 16), 0u);
    EXPECT_EQ(pixelAt(48, 16), 0u);
    EXPECT_EQ(changedArray[tilesWidth + 2], 1);
    EXPECT_EQ(leftoverDataNeeded, 0);
}

TEST(TileDecoder, PaddingSkipsToTheNextBoundaryOfTheBuffer) {
    freshStream(32, 32);
    Bytes data(1024, 0xAB);
    // A marker at 4 skips to 512, one at 512 to 1024; the 0xAB filler is never read.
    Bytes head;
    putFill(&head, 0x001F, 0, 0);
    putPadding(&head);
    std::copy(head.begin(), head.end(), data.begin());
    std::copy(head.begin() + 4, head.end(), data.begin() + 512);
    EXPECT_EQ(decode(data), 1024);
    uint32_t padding, bogus;
    takeStats(&padding, &bogus);
    EXPECT_EQ(padding, 2u);
    EXPECT_EQ(bogus, 0u);

    // Boundaries count from offset 0 of the buffer, not from `pos`.
    Bytes late(1010, 0);
    std::copy(head.begin() + 4, head.end(), late.begin() + 1000);
    EXPECT_EQ(decode(late, 1000), 1010);
    takeStats(&padding, &bogus);
    EXPECT_EQ(padding, 1u);
    takeStats(&padding, &bogus);
    EXPECT_EQ(padding + bogus, 0u) << "getStats resets the counters";
}

TEST(TileDecoder, OddStartReadsOneByteBehindAfterPadding) {
    freshStream(32, 32);
    // From pos 1 the marker skips 511 bytes to 512, but the read position moves
    // by 510 only: the next item is read at 511..514.
    Bytes data(516, 0);
    data[1] = data[2] = data[3] = data[4] = 0xFF;
    Bytes fill;
    putFill(&fill, 0x07E0, 1, 1);
    std::copy(fill.begin(), fill.end(), data.begin() + 511);
    EXPECT_EQ(decode(data, 1), 516);
    EXPECT_EQ(pixelAt(16, 16), pixelOf(0, 252, 0));
}

TEST(TileDecoder, OutOfRangePacketsAreCountedAndSkippedByTheirLength) {
    freshStream(32, 16);
    Bytes data;
    putWord(&data, 0x0000);
    putWord(&data, 0xFFFF);  // fill packet for tile (127, 127)
    putFill(&data, 0x1234, 2, 0, true);
    putPixels(
        &data, 0, 1, [](int) { return 0xFFFF; }, true);
    putFill(&data, 0xF800, 1, 0);
    EXPECT_EQ(decode(data), int(data.size()));
    uint32_t padding, bogus;
    takeStats(&padding, &bogus);
    EXPECT_EQ(bogus, 3u);
    EXPECT_EQ(HasFirstTile, 0) << "the flag of an out-of-range packet is ignored";
    EXPECT_EQ(storeMarks(), std::vector<uint8_t>({0, 1}));
    EXPECT_EQ(pixelAt(16, 0), pixelOf(248, 0, 0));

    Bytes first;
    putFill(&first, 0, 0, 0, true);
    decode(first);
    EXPECT_EQ(HasFirstTile, 1);

    // Before any store, every tile is out of range and nothing is written.
    ASSERT_EQ(createBuffer(0, 0), StoreStatus::ok);
    EXPECT_EQ(decode(data), int(data.size()));
    takeStats(&padding, &bogus);
    EXPECT_EQ(bogus, 4u);
}

TEST(TileDecoder, CutOffPacketsAreHeldOrDropped) {
    freshStream(32, 32);
    Bytes data;
    putFill(&data, 0x1111, 0, 0);
    putPixels(&data, 1, 1, [](int i) { return i; });
    data.resize(4 + 515);
    EXPECT_EQ(decode(data), 519);
    EXPECT_EQ(leftoverDataNeeded, 516);
    EXPECT_EQ(leftoverDataSize, 515);
    EXPECT_EQ(memcmp(leftoverData, data.data() + 4, 515), 0);
    EXPECT_EQ(changedArray[3], 0);

    EXPECT_EQ(decode(data, 0, false), 4);
    EXPECT_EQ(leftoverDataNeeded | leftoverDataSize, 0);

    // A header cut after 2 bytes: those bytes are not accounted for.
    data.resize(6);
    EXPECT_EQ(decode(data), 4);
    for (int pos : {0, 1, 2, 3}) {
        leftoverDataNeeded = 516;
        leftoverDataSize = 9;
        EXPECT_EQ(ProcessVideoData(data.data(), pos + 3, pos, true), pos);
        EXPECT_EQ(leftoverDataNeeded | leftoverDataSize, 0) << "every return clears the held state";
    }
}

// Frames of every shape, every tile sent once as pixels and once as a fill:
// the part of an edge tile inside the frame is painted and nothing else is
// written (the sanitizer build sees any write past the store).
TEST(TileDecoder, EdgeTilesAreClippedToTheFrame) {
    for (auto [w, h] : {std::pair{1, 1}, {17, 17}, {15, 33}, {1366, 768}, {1920, 1600}}) {
        for (int uniformEvery : {0, 1}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h << " uniformEvery " << uniformEvery);
            freshStream(w, h);
            const auto frame = randomFrame(w, h, w * 7 + h, uniformEvery);
            decode(concat(encodeFrame(frame, w, h)));
            ASSERT_EQ(storePixels(), expectedPixels(frame));
            EXPECT_EQ(storeMarks(), std::vector<uint8_t>(tilesWidth * tilesHeight, 1));
            uint32_t padding, bogus;
            takeStats(&padding, &bogus);
            EXPECT_EQ(bogus, 0u);
        }
    }
}

TEST(TileDecoder, NarrowedFrameUsesTheNewRowLength) {
    ASSERT_EQ(createBuffer(64, 64), StoreStatus::ok);
    ASSERT_EQ(clearbuffer(20, 20), StoreStatus::ok);
    const auto frame = randomFrame(20, 20, 5);
    decode(concat(encodeFrame(frame, 20, 20)));
    EXPECT_EQ(storePixels(), expectedPixels(frame));
    EXPECT_EQ(frameBuffer[20 * 20], 0u);
}

}  // namespace
