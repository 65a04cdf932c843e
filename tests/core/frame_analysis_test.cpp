#include "core/tessera/frame_analysis.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/tessera/frame_store.h"
#include "core/tessera/kernel_choice.h"

namespace {

constexpr uint32_t kBlack = 0xFF000000;
constexpr uint32_t kWhite = 0xFFF8FCF8;

uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a = 255) {
    return r | g << 8 | b << 16 | a << 24;
}

void *failingAlloc(size_t) {
    return nullptr;
}

// A w x h store of `fill` with the given numbers of black lines on each side.
void makePicture(int w, int h, int left, int right, int top, int bottom, uint32_t fill = kWhite) {
    ASSERT_EQ(createBuffer(w, h), StoreStatus::ok);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool border = x < left || x >= w - right || y < top || y >= h - bottom;
            frameBuffer[y * w + x] = border ? kBlack : fill;
        }
}

BlackEdges edgesOf(int w, int h) {
    BlackEdges e{-1, -1, -1, -1};
    EXPECT_EQ(getBlackEdges(w, h, &e), EdgesStatus::ok);
    return e;
}

void expectEdges(const BlackEdges &e, int left, int right, int top, int bottom) {
    EXPECT_EQ(e.left, left);
    EXPECT_EQ(e.right, right);
    EXPECT_EQ(e.top, top);
    EXPECT_EQ(e.bottom, bottom);
}

TEST(BlackTest, ThresholdsPerChannelIgnoreAlpha) {
    ASSERT_EQ(createBuffer(1, 1), StoreStatus::ok);
    auto black = [](uint32_t pixel) {
        frameBuffer[0] = pixel;
        return isBlackLine(0, 1);
    };
    for (uint32_t alpha : {0u, 1u, 128u, 255u}) {
        EXPECT_EQ(black(rgba(31, 31, 63, alpha)), 1) << alpha;
        EXPECT_EQ(black(rgba(32, 0, 0, alpha)), 0) << alpha;
        EXPECT_EQ(black(rgba(0, 32, 0, alpha)), 0) << alpha;
        EXPECT_EQ(black(rgba(0, 0, 64, alpha)), 0) << alpha;
    }
    // A zeroed pixel and a decoded black one.
    EXPECT_EQ(black(0), 1);
    EXPECT_EQ(black(kBlack), 1);
    EXPECT_EQ(black(rgba(255, 255, 255)), 0);
}

TEST(BlackTest, LinesAndColumnsTestOnlyTheirLength) {
    makePicture(20, 10, 0, 0, 0, 0, kBlack);
    frameBuffer[3 * 20 + 12] = kWhite;  // pixel (12, 3)
    EXPECT_EQ(isBlackLine(3, 12), 1);
    EXPECT_EQ(isBlackLine(3, 13), 0);
    EXPECT_EQ(isBlackLine(2, 20), 1);
    EXPECT_EQ(isBlackColumn(12, 3), 1);
    EXPECT_EQ(isBlackColumn(12, 4), 0);
    EXPECT_EQ(isBlackColumn(11, 10), 1);
    // Nothing to test is black, wherever it is.
    EXPECT_EQ(isBlackLine(3, 0), 1);
    EXPECT_EQ(isBlackColumn(12, -5), 1);
    EXPECT_EQ(isBlackLine(-1, 0), 1);
}

TEST(BlackTest, PixelsOutsideTheFrameAreNotBlack) {
    makePicture(20, 10, 0, 0, 0, 0, kBlack);
    EXPECT_EQ(isBlackLine(-1, 5), 0);
    EXPECT_EQ(isBlackLine(10, 5), 0);
    EXPECT_EQ(isBlackLine(0, 21), 0);
    EXPECT_EQ(isBlackLine(0, 1 << 30), 0);
    EXPECT_EQ(isBlackColumn(-1, 5), 0);
    EXPECT_EQ(isBlackColumn(20, 5), 0);
    EXPECT_EQ(isBlackColumn(0, 11), 0);
    EXPECT_EQ(isBlackColumn(19, 1 << 30), 0);

    // The rows follow the current width after a narrowing clearbuffer.
    ASSERT_EQ(clearbuffer(10, 20), StoreStatus::ok);
    frameBuffer[19 * 10 + 9] = kWhite;  // pixel (9, 19)
    EXPECT_EQ(isBlackLine(19, 9), 1);
    EXPECT_EQ(isBlackLine(19, 10), 0);
    EXPECT_EQ(isBlackColumn(9, 19), 1);
    EXPECT_EQ(isBlackColumn(9, 20), 0);
    EXPECT_EQ(isBlackLine(0, 11), 0);

    EXPECT_EQ(createBuffer(64, 64, failingAlloc), StoreStatus::noMemory);
    EXPECT_EQ(isBlackLine(0, 1), 0);
    EXPECT_EQ(isBlackColumn(0, 1), 0);
}

TEST(BlackEdges, MeasuresEachSideInResultOrder) {
    makePicture(320, 200, 20, 0, 10, 5);
    expectEdges(edgesOf(320, 200), 20, 0, 10, 5);
    makePicture(320, 200, 1, 2, 3, 4);
    expectEdges(edgesOf(320, 200), 1, 2, 3, 4);
}

TEST(BlackEdges, MeasuresTheActiveAreaOnly) {
    // Active area 200 x 100 in a 320 x 240 frame that is white around it:
    // neither the rows nor the columns may reach beyond the area.
    makePicture(320, 240, 0, 0, 0, 0);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x)
            if (x < 7 || x >= 200 - 4 || y < 2 || y >= 100 - 9) frameBuffer[y * 320 + x] = kBlack;
    expectEdges(edgesOf(200, 100), 7, 4, 2, 9);
}

TEST(BlackEdges, LimitOf75AndPairRules) {
    // 74 counts as measured.
    makePicture(400, 300, 74, 3, 74, 3);
    expectEdges(edgesOf(400, 300), 74, 3, 74, 3);

    // 75 at the top zeroes top and bottom only.
    makePicture(400, 300, 20, 6, 75, 3);
    expectEdges(edgesOf(400, 300), 20, 6, 0, 0);
    makePicture(400, 300, 20, 6, 3, 100);
    expectEdges(edgesOf(400, 300), 20, 6, 0, 0);

    // Likewise for columns, on either side.
    makePicture(400, 300, 75, 3, 10, 5);
    expectEdges(edgesOf(400, 300), 0, 0, 10, 5);
    makePicture(400, 300, 8, 90, 10, 5);
    expectEdges(edgesOf(400, 300), 0, 0, 10, 5);
}

TEST(BlackEdges, AllBlackAreaGivesZeroes) {
    makePicture(100, 80, 0, 0, 0, 0, kBlack);
    expectEdges(edgesOf(100, 80), 0, 0, 0, 0);
    expectEdges(edgesOf(75, 75), 0, 0, 0, 0);
    // A freshly zeroed store is black too.
    ASSERT_EQ(createBuffer(640, 480), StoreStatus::ok);
    expectEdges(edgesOf(640, 480), 0, 0, 0, 0);
}

TEST(BlackEdges, RefusesAreasThatLeaveTheFrame) {
    makePicture(100, 80, 1, 1, 1, 1);
    BlackEdges e;
    for (auto [w, h] : {std::pair{74, 80}, {100, 74}, {101, 80}, {100, 81}, {-1, 80}, {0, 0}})
        EXPECT_EQ(getBlackEdges(w, h, &e), EdgesStatus::argsOutOfRange) << w << "x" << h;
    expectEdges(edgesOf(75, 75), 1, 0, 1, 0);

    ASSERT_EQ(createBuffer(64, 64), StoreStatus::ok);
    EXPECT_EQ(getBlackEdges(75, 75, &e), EdgesStatus::argsOutOfRange);
    EXPECT_EQ(createBuffer(640, 480, failingAlloc), StoreStatus::noMemory);
    EXPECT_EQ(getBlackEdges(75, 75, &e), EdgesStatus::argsOutOfRange);
}

TEST(Greyscale, AveragesChannelsAndKeepsAlpha) {
    ASSERT_EQ(createBuffer(5, 1), StoreStatus::ok);
    const uint32_t before[5] = {rgba(255, 255, 255), rgba(10, 20, 31), rgba(1, 1, 0),
                                rgba(200, 0, 100, 0), rgba(3, 4, 5, 0x5A)};
    const uint32_t after[5] = {rgba(255, 255, 255), rgba(20, 20, 20), rgba(0, 0, 0),
                               rgba(100, 100, 100, 0), rgba(4, 4, 4, 0x5A)};
    std::copy(before, before + 5, frameBuffer);
    toGreyscale(1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(frameBuffer[i], after[i]) << i;
}

TEST(Greyscale, SetFlagMarksEveryTile) {
    ASSERT_EQ(createBuffer(40, 40), StoreStatus::ok);
    frameBuffer[0] = rgba(30, 60, 90);
    toGreyscale(0);
    EXPECT_EQ(frameBuffer[0], rgba(60, 60, 60));
    for (int i = 0; i < 9; ++i) ASSERT_EQ(changedArray[i], 0) << i;
    for (int set : {1, 7, -1}) {
        ASSERT_EQ(clearbuffer(40, 40), StoreStatus::ok);
        toGreyscale(set);
        for (int i = 0; i < 9; ++i) ASSERT_EQ(changedArray[i], 1) << set << " " << i;
    }
}

TEST(Greyscale, ConvertsTheCurrentFrameOnly) {
    ASSERT_EQ(createBuffer(32, 32), StoreStatus::ok);
    std::fill(frameBuffer, frameBuffer + 32 * 32, rgba(0, 0, 90));
    ASSERT_EQ(clearbuffer(8, 8), StoreStatus::ok);
    std::fill(frameBuffer, frameBuffer + 8 * 8, rgba(0, 0, 90));
    toGreyscale(1);
    EXPECT_EQ(frameBuffer[63], rgba(30, 30, 30));
    EXPECT_EQ(frameBuffer[64], rgba(0, 0, 90));
    EXPECT_EQ(changedArray[1], 0);  // beyond the single tile of an 8 x 8 frame

    EXPECT_EQ(createBuffer(64, 64, failingAlloc), StoreStatus::noMemory);
    toGreyscale(1);  // no store: nothing to convert or mark
    ASSERT_EQ(createBuffer(0, 0), StoreStatus::ok);
    toGreyscale(1);
}

// Every kernel against the reference, on every channel sum and on random
// pixels at odd lengths and offsets.
TEST(Greyscale, KernelsMatchTheReference) {
    std::vector<std::pair<const char *, GreyRow>> kernels = {{"SSE2", greyKernels_SSE2.greyRow}};
    if (cpuRuns(Isa::avx2)) kernels.push_back({"AVX2", greyKernels_AVX2.greyRow});

    std::vector<uint32_t> sums;
    for (uint32_t s = 0; s <= 765; ++s) {
        const uint32_t r = std::min(s, 255u), g = std::min(s - r, 255u), b = s - r - g;
        sums.push_back(rgba(r, g, b, s & 0xFF));
    }
    std::vector<uint32_t> expected = sums;
    greyRow_C(expected.data(), int(expected.size()));
    for (uint32_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(expected[i] & 0xFFFFFF, (i / 3) * 0x010101) << i;

    std::mt19937 random(12345);
    std::vector<uint32_t> noise(1000 + 37);
    for (auto &p : noise) p = random();

    for (auto [name, kernel] : kernels) {
        std::vector<uint32_t> got = sums;
        kernel(got.data(), int(got.size()));
        EXPECT_EQ(got, expected) << name;
        for (int offset = 0; offset < 4; ++offset)
            for (int count : {0, 1, 3, 7, 8, 9, 15, 17, 31, 33, 1000}) {
                std::vector<uint32_t> want = noise, have = noise;
                greyRow_C(want.data() + offset, count);
                kernel(have.data() + offset, count);
                ASSERT_EQ(have, want) << name << " offset " << offset << " count " << count;
            }
    }
}

}  // namespace
