#include "core/tessera/stream_intake.h"

#include <gtest/gtest.h>

#include "core/tessera/tile_kernels.h"
#include "stream_fixtures.h"

namespace {

SinkResult sink(const Bytes &data, int pos = 0) {
    SinkResult r{-1, -1};
    EXPECT_EQ(videoSink(data.data(), int(data.size()), pos, &r), IntakeStatus::ok);
    return r;
}

Bytes chunk(int needed, int held, int w, int h, const Bytes &stream = {}) {
    Bytes c(16 + stream.size());
    const int32_t header[4] = {needed, held, w, h};
    memcpy(c.data(), header, sizeof header);
    std::copy(stream.begin(), stream.end(), c.begin() + 16);
    return c;
}

std::pair<int, int> held() {
    return {leftoverDataNeeded, leftoverDataSize};
}

// A stream of many pixel packets and a few fills, with padding, for a 64x64 frame.
Bytes sampleStream(unsigned seed) {
    std::mt19937 rng(seed);
    Bytes s;
    for (int i = 0; i < 60; ++i) {
        const int tx = rng() % 4, ty = rng() % 5;  // row 4 is out of range
        if (rng() % 4 == 0)
            putFill(&s, uint16_t(rng()), tx, ty, i == 0);
        else
            putPixels(
                &s, tx, ty, [&](int) { return rng(); }, i == 0);
        if (rng() % 8 == 0) {
            // As the device pads: a marker, then filler up to the next boundary.
            putPadding(&s);
            s.resize((s.size() + 511) / 512 * 512, 0xEE);
        }
    }
    return s;
}

struct Snapshot {
    std::vector<uint32_t> pixels;
    std::vector<uint8_t> marks;
    std::pair<int, int> held;
    Bytes heldBytes;
    uint32_t padding, bogus;
    int anyFirst;
    bool operator==(const Snapshot &o) const {
        return pixels == o.pixels && marks == o.marks && held == o.held &&
               heldBytes == o.heldBytes && padding == o.padding && bogus == o.bogus &&
               anyFirst == o.anyFirst;
    }
};

// Feeds `stream` cut at `cuts` (increasing offsets) into a fresh 64x64 store.
Snapshot feed(const Bytes &stream, const std::vector<size_t> &cuts) {
    freshStream(64, 64);
    int anyFirst = 0;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : stream.size();
        anyFirst |= sink(Bytes(stream.begin() + from, stream.begin() + to)).hasfirst;
        from = to;
    }
    Snapshot s{storePixels(),
               storeMarks(),
               held(),
               Bytes(leftoverData, leftoverData + leftoverDataSize),
               0,
               0,
               anyFirst};
    takeStats(&s.padding, &s.bogus);
    return s;
}

std::vector<size_t> randomCuts(std::mt19937 &rng, size_t size, size_t unit) {
    std::vector<size_t> cuts;
    for (size_t at = 0;;) {
        at += unit * (1 + rng() % (2048 / unit));
        if (at >= size) return cuts;
        cuts.push_back(at);
    }
}

TEST(VideoSink, EmptyAndWholeBuffers) {
    freshStream(64, 64);
    SinkResult r = sink({});
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.hasfirst, 0);
    Bytes data;
    putFill(&data, 0x1234, 0, 0, true);
    putPadding(&data);
    data.resize(512, 0);
    r = sink(data);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.hasfirst, 1);
    EXPECT_EQ(held(), std::make_pair(0, 0));
    EXPECT_EQ(sink({}).hasfirst, 0) << "the flag is reported once";
}

TEST(VideoSink, CutPacketIsCompletedFromTheNextBuffer) {
    freshStream(64, 64);
    Bytes stream;
    putPixels(
        &stream, 3, 2, [](int i) { return i * 199; }, true);
    putFill(&stream, 0xF800, 0, 0);
    while (stream.size() < 300 + 16384) putFill(&stream, 0x0000, 0, 0);

    SinkResult r = sink(Bytes(stream.begin(), stream.begin() + 100));
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.hasfirst, 0);
    EXPECT_EQ(held(), std::make_pair(516, 100));
    EXPECT_EQ(changedArray[2 * 4 + 3], 0);

    // 200 more bytes all go to the held packet; the buffer's own decoding is skipped.
    r = sink(Bytes(stream.begin() + 100, stream.begin() + 300));
    EXPECT_EQ(r.ret, 1);
    EXPECT_EQ(held(), std::make_pair(516, 300));

    // The rest completes it (216 bytes) and decoding goes on at offset 216.
    r = sink(Bytes(stream.begin() + 300, stream.begin() + 300 + 16384));
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.hasfirst, 1) << "the flag of the completed packet counts for this call";
    EXPECT_EQ(changedArray[2 * 4 + 3], 1);
    EXPECT_EQ(frameBuffer[47 * 64 + 63], rgb565ToPixel(255 * 199 & 0xFFFF));
    EXPECT_EQ(frameBuffer[0], 0xFF000000u) << "the fills after it were decoded";
    EXPECT_EQ(held(), std::make_pair(0, 0));
}

TEST(VideoSink, PositionAndLengthChecks) {
    freshStream(64, 64);
    Bytes data(8, 0);
    SinkResult r{};
    for (auto [len, pos] : {std::pair{8, 9}, {8, -1}, {-1, 0}}) {
        EXPECT_EQ(videoSink(data.data(), len, pos, &r), IntakeStatus::argsOutOfRange);
    }
    EXPECT_EQ(sink(data, 8).ret, 0);
    EXPECT_EQ(changedArray[0], 0);

    leftoverDataNeeded = 516;
    leftoverDataSize = 10;
    r = sink(data, 8);
    EXPECT_EQ(r.ret, 1);
    EXPECT_EQ(held(), std::make_pair(516, 10));
    EXPECT_EQ(sink({}).ret, 1);  // an empty buffer, whose pointer may be null
    EXPECT_EQ(held(), std::make_pair(516, 10));

    // Three bytes too few for a header: dropped, and reported with ret 1.
    leftoverDataNeeded = leftoverDataSize = 0;
    Bytes ragged;
    putFill(&ragged, 0, 0, 0);
    ragged.resize(7, 0);
    EXPECT_EQ(sink(ragged).ret, 1);
    EXPECT_EQ(held(), std::make_pair(0, 0));
}

TEST(VideoSink, InconsistentHeldCountsAreResetAndTheBufferDropped) {
    freshStream(64, 64);
    leftoverDataNeeded = 10;
    leftoverDataSize = 20;
    HasFirstTile = 1;
    Bytes data;
    putFill(&data, 0, 0, 0);
    SinkResult r{};
    EXPECT_EQ(videoSink(data.data(), int(data.size()), 0, &r), IntakeStatus::leftoverInconsistent);
    EXPECT_EQ(held(), std::make_pair(0, 0));
    EXPECT_EQ(HasFirstTile, 1);
    EXPECT_EQ(changedArray[0], 0);
}

TEST(VideoSink, HeldPacketSurvivesANewStore) {
    freshStream(64, 64);
    Bytes stream;
    putPixels(&stream, 5, 0, [](int) { return 0x07E0; });
    sink(Bytes(stream.begin(), stream.begin() + 300));
    ASSERT_EQ(createBuffer(96, 16), StoreStatus::ok);
    sink(Bytes(stream.begin() + 300, stream.end()));
    EXPECT_EQ(changedArray[5], 1) << "decoded against the new tile counts";
    EXPECT_EQ(frameBuffer[95], rgb565ToPixel(0x07E0));
}

// Cuts at multiples of 512 keep the padding boundaries where they were, so
// the result cannot depend on them. Arbitrary cuts may change the decoding
// but must stay inside every buffer (checked by the sanitizer build).
TEST(VideoSink, SplitInvariance) {
    std::mt19937 rng(1);
    for (unsigned seed = 0; seed < 20; ++seed) {
        const Bytes stream = sampleStream(seed);
        const Snapshot whole = feed(stream, {});
        for (int round = 0; round < 10; ++round)
            ASSERT_TRUE(feed(stream, randomCuts(rng, stream.size(), 512)) == whole) << seed;
        for (int round = 0; round < 10; ++round) feed(stream, randomCuts(rng, stream.size(), 1));
    }
}

TEST(Playvideo, ChunkHeaderReplacesTheHeldPacket) {
    freshStream(64, 64);
    leftoverDataNeeded = 516;
    leftoverDataSize = 100;
    Bytes stream;
    putFill(&stream, 0x001F, 1, 1);
    ChunkSize size{};
    const Bytes c = chunk(0, 0, 1920, 1080, stream);
    for (int offset : {0, 5, int(c.size())}) {
        EXPECT_EQ(playvideo(c.data(), int(c.size()), offset, &size), IntakeStatus::ok);
        EXPECT_EQ(size.w, 1920);
        EXPECT_EQ(size.h, 1080);
        EXPECT_EQ(held(), std::make_pair(0, 0));
        EXPECT_EQ(frameBuffer[16 * 64 + 16], rgb565ToPixel(0x001F));
    }
    EXPECT_EQ(playvideo(c.data(), int(c.size()), int(c.size()) + 1, &size),
              IntakeStatus::argsOutOfRange);
}

TEST(Playvideo, HeaderNamingAHeldPacketCompletesWhatIsHeld) {
    freshStream(64, 64);
    Bytes stream;
    putPixels(
        &stream, 0, 0, [](int i) { return i; }, true);
    memcpy(leftoverData, stream.data(), 16);  // as if an earlier chunk held these
    ChunkSize size{};
    const Bytes c = chunk(516, 16, 1, 2, Bytes(stream.begin() + 16, stream.end()));
    EXPECT_EQ(playvideo(c.data(), int(c.size()), 0, &size), IntakeStatus::ok);
    EXPECT_EQ(frameBuffer[15 * 64 + 15], rgb565ToPixel(255));
    EXPECT_EQ(HasFirstTile, 1) << "left for the next videoSink to report";
    EXPECT_EQ(sink({}).hasfirst, 1);
}

TEST(Playvideo, RefusesHeadersTheModuleNeverWrites) {
    freshStream(64, 64);
    leftoverDataNeeded = 516;
    leftoverDataSize = 7;
    ChunkSize size{};
    const Bytes tiny(15, 0);
    EXPECT_EQ(playvideo(tiny.data(), 15, 0, &size), IntakeStatus::argsOutOfRange);
    EXPECT_EQ(playvideo(tiny.data(), -1, 0, &size), IntakeStatus::argsOutOfRange);
    for (auto [needed, have] : {std::pair{517, 0}, {-1, 0}, {516, -1}, {100, 101}, {0, 5}}) {
        const Bytes c = chunk(needed, have, 1, 1, Bytes(600, 0));
        EXPECT_EQ(playvideo(c.data(), int(c.size()), 0, &size), IntakeStatus::argsOutOfRange)
            << needed << "," << have;
        EXPECT_EQ(held(), std::make_pair(516, 7));
    }
    // Odd but harmless counts are taken as they are: a 4-byte "packet".
    Bytes fill;
    putFill(&fill, 0xF800, 2, 2);
    const Bytes c = chunk(4, 0, 1, 1, fill);
    EXPECT_EQ(playvideo(c.data(), int(c.size()), 0, &size), IntakeStatus::ok);
    EXPECT_EQ(held(), std::make_pair(0, 0));
    EXPECT_EQ(changedArray[2 * 4 + 2], 1);
}

// record() before each buffer, those counts in front of each chunk: replaying
// the chunks in order into a fresh store repaints the live picture.
TEST(Playvideo, RecordingRoundTrip) {
    const int w = 200, h = 120;
    std::vector<Bytes> transfers;
    for (int f = 0; f < 3; ++f)
        for (Bytes &t : encodeFrame(randomFrame(w, h, f, 3), w, h, 4096)) transfers.push_back(t);
    freshStream(w, h);
    std::vector<Bytes> chunks;
    for (const Bytes &t : transfers) {
        chunks.push_back(chunk(leftoverDataNeeded, leftoverDataSize, w, h, t));
        sink(t);
    }
    const auto live = storePixels();
    const auto liveHeld = held();

    freshStream(w, h);
    for (const Bytes &c : chunks) {
        ChunkSize size{};
        ASSERT_EQ(playvideo(c.data(), int(c.size()), 0, &size), IntakeStatus::ok);
        EXPECT_EQ(size.w, w);
    }
    EXPECT_EQ(storePixels(), live);
    EXPECT_EQ(held(), liveHeld);
}

}  // namespace
