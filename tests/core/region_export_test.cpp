#include "core/tessera/region_export.h"

#include <gtest/gtest.h>
#include <math.h>

#include <random>
#include <vector>

#include "core/tessera/frame_store.h"
#include "core/tessera/box_shrink_kernels.h"

namespace {

using Bytes = std::vector<byte_t>;

void *failingAlloc(size_t) {
    return nullptr;
}

ExportStatus plan(int tx, int ty, int w, int h, float scale, ExportPlan *p = nullptr) {
    ExportPlan scratch;
    return planExport(tx, ty, w, h, scale, p ? p : &scratch);
}

// Plans and runs an export, returning its bytes.
Bytes exportTiles(int tx, int ty, int w, int h, float scale, ExportPlan *p = nullptr) {
    ExportPlan local;
    ExportPlan &pl = p ? *p : local;
    EXPECT_EQ(planExport(tx, ty, w, h, scale, &pl), ExportStatus::ok);
    Bytes out(size_t(pl.nw) * pl.nh * 4, 0xEE);
    EXPECT_EQ(runExport(pl, out.data()), ExportStatus::ok);
    return out;
}

void fillRandom(unsigned seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < frameWidth * frameHeight; ++i) frameBuffer[i] = rng();
}

// The frame's pixel, or 0 outside the frame.
uint32_t framePixel(int x, int y) {
    return x < frameWidth && y < frameHeight ? frameBuffer[y * frameWidth + x] : 0;
}

// The export of the C shrink, worked on a zero-padded copy of the
// rectangle.
Bytes referenceExport(const ExportPlan &p) {
    const int w = p.w * 16, h = p.h * 16;
    std::vector<uint32_t> rect(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) rect[y * w + x] = framePixel(p.tx * 16 + x, p.ty * 16 + y);
    Bytes inter(size_t(p.nw) * h * 4), out(size_t(p.nw) * p.nh * 4);
    shrinkX_C(reinterpret_cast<const byte_t *>(rect.data()), w, w, h, w * 4, inter.data(), p.nw,
              p.nw * 4);
    shrinkY_C(inter.data(), p.nw, h, p.nw * 4, out.data(), p.nh, p.nw * 4);
    return out;
}

TEST(RegionExport, ArgumentsAreCheckedInOrderThenClipped) {
    ASSERT_EQ(createBuffer(0, 0), StoreStatus::ok);
    EXPECT_EQ(plan(0, 0, 1, 1, 1.0f), ExportStatus::topLeftOutOfRange);

    ASSERT_EQ(createBuffer(160, 48), StoreStatus::ok);  // 10 x 3 tiles
    for (auto [tx, ty] : {std::pair{10, 0}, {-1, 0}, {0, 3}, {0, -1}})
        EXPECT_EQ(plan(tx, ty, 1, 1, 1.0f), ExportStatus::topLeftOutOfRange);
    EXPECT_EQ(plan(10, 0, 11, 0, 0.0f), ExportStatus::topLeftOutOfRange);
    EXPECT_EQ(plan(0, 0, 11, 0, 0.0f), ExportStatus::widthOutOfRange);
    EXPECT_EQ(plan(0, 0, 0, 1, 1.0f), ExportStatus::widthOutOfRange);
    EXPECT_EQ(plan(0, 0, 1, 0, 0.0f), ExportStatus::heightOutOfRange);
    EXPECT_EQ(plan(0, 0, 1, 4, 1.0f), ExportStatus::heightOutOfRange);
    EXPECT_EQ(plan(0, 0, 1, 1, 0.0f), ExportStatus::scaleOutOfRange);

    ExportPlan p;
    ASSERT_EQ(plan(8, 0, 5, 1, 1.0f, &p), ExportStatus::ok);
    EXPECT_EQ(p.w, 2);
    EXPECT_EQ(p.nw, 32);
    ASSERT_EQ(plan(9, 2, 10, 3, 0.5f, &p), ExportStatus::ok);
    EXPECT_EQ(p.w, 1);
    EXPECT_EQ(p.h, 1);
    EXPECT_EQ(p.nw, 8);
    EXPECT_EQ(p.nh, 8);
    ASSERT_EQ(plan(2, 1, 3, 2, 1.0f, &p), ExportStatus::ok);
    EXPECT_EQ(p.w * 100 + p.h, 302);
}

TEST(RegionExport, ScaleGivesTheTileEdge) {
    ASSERT_EQ(createBuffer(32, 32), StoreStatus::ok);
    const std::pair<float, int> edges[] = {
        {1.0f, 16}, {2.0f, 16}, {INFINITY, 16}, {0.99f, 15},  {0.9375f, 15},
        {0.5f, 8},  {0.3f, 4},  {0.1875f, 3},   {0.0625f, 1}, {0.12499f, 1}};
    for (auto [scale, edge] : edges) {
        ExportPlan p;
        ASSERT_EQ(plan(0, 0, 2, 1, scale, &p), ExportStatus::ok) << scale;
        EXPECT_EQ(p.s, edge) << scale;
        EXPECT_EQ(p.nw * 100 + p.nh, 2 * edge * 100 + edge) << scale;
    }
    for (float scale : {0.062f, 0.0f, -0.0f, -0.5f, -INFINITY, NAN})
        EXPECT_EQ(plan(0, 0, 1, 1, scale), ExportStatus::scaleOutOfRange) << scale;
}

TEST(RegionExport, TileOf255sKeepsOrLosesALittle) {
    ASSERT_EQ(createBuffer(16, 16), StoreStatus::ok);
    memset(frameBuffer, 255, 16 * 16 * 4);
    EXPECT_EQ(exportTiles(0, 0, 1, 1, 0.5f), Bytes(8 * 8 * 4, 255));
    EXPECT_EQ(exportTiles(0, 0, 1, 1, 0.1875f), Bytes(3 * 3 * 4, 253));
    // At 15 of 16 the horizontal pass gives 254 across the row, the last
    // column included; the vertical pass, working on 254s, gives 253 and
    // loses one more in its last row.
    Bytes expected(15 * 15 * 4, 253);
    std::fill(expected.begin() + 14 * 15 * 4, expected.end(), 252);
    EXPECT_EQ(exportTiles(0, 0, 1, 1, 0.9375f), expected);
}

TEST(RegionExport, FullSizeCopiesRowsAndZeroesWhatLiesOutsideTheFrame) {
    for (auto [fw, fh] : {std::pair{37, 21}, {48, 32}, {1, 1}, {200, 17}}) {
        SCOPED_TRACE(testing::Message() << fw << "x" << fh);
        ASSERT_EQ(createBuffer(fw, fh), StoreStatus::ok);
        fillRandom(fw * fh);
        const std::vector<uint32_t> before(frameBuffer, frameBuffer + fw * fh);
        for (int tx = 0; tx < tilesWidth; ++tx) {
            for (int ty = 0; ty < tilesHeight; ++ty) {
                ExportPlan p;
                const Bytes out = exportTiles(tx, ty, tilesWidth, tilesHeight, 1.0f, &p);
                for (int y = 0; y < p.nh; ++y)
                    for (int x = 0; x < p.nw; ++x) {
                        uint32_t word;
                        memcpy(&word, &out[(y * p.nw + x) * 4], 4);
                        ASSERT_EQ(word, framePixel(tx * 16 + x, ty * 16 + y)) << x << "," << y;
                    }
            }
        }
        EXPECT_TRUE(std::equal(before.begin(), before.end(), frameBuffer));
    }
}

TEST(RegionExport, ScaledExportsMatchTheCShrinkOfTheRectangle) {
    std::mt19937 rng(5);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (auto [fw, fh] : {std::pair{1920, 1088}, {1366, 768}, {37, 21}, {16, 16}, {250, 90}}) {
        SCOPED_TRACE(testing::Message() << fw << "x" << fh);
        ASSERT_EQ(createBuffer(fw, fh), StoreStatus::ok);
        fillRandom(fw + fh);
        const int exports = fw > 1000 ? 6 : 60;
        for (int n = 0; n < exports; ++n) {
            const int tx = pick(0, tilesWidth - 1), ty = pick(0, tilesHeight - 1);
            // Often up to the far edges, where tiles may be partial.
            const int w = pick(0, 1) ? tilesWidth : pick(1, tilesWidth);
            const int h = pick(0, 1) ? tilesHeight : pick(1, tilesHeight);
            const float scale = pick(1, 15) / 16.0f;
            ExportPlan p;
            const Bytes out = exportTiles(tx, ty, w, h, scale, &p);
            ASSERT_EQ(out, referenceExport(p))
                << tx << "," << ty << " " << p.w << "x" << p.h << " edge " << p.s;
        }
    }
}

TEST(RegionExport, ScratchGrowsToExactlyWhatIsNeededAndIsReused) {
    ASSERT_EQ(createBuffer(64, 64), StoreStatus::ok);
    fillRandom(1);
    byte_t *const first = tempBuffer1;
    const int firstSize = tempSize1;
    EXPECT_EQ(tempSize2, 64 * 64);

    exportTiles(0, 0, 4, 4, 1.0f);  // full size: no scratch at all
    EXPECT_EQ(tempSize2, 64 * 64);
    exportTiles(0, 0, 4, 4, 0.5f);  // whole ratios shrink in one pass, without scratch
    EXPECT_EQ(tempSize2, 64 * 64);
    // 48 pixels wide; the passes take turns on bands of at most 33 rows.
    exportTiles(0, 0, 4, 4, 0.75f);
    EXPECT_EQ(tempSize2, 48 * 4 * 33);
    byte_t *const grown = tempBuffer2;
    exportTiles(1, 1, 1, 1, 0.75f);
    EXPECT_EQ(tempBuffer2, grown);
    EXPECT_EQ(tempSize2, 48 * 4 * 33);
    // The output goes straight to the caller; the other buffer is not used.
    EXPECT_EQ(tempBuffer1, first);
    EXPECT_EQ(tempSize1, firstSize);
}

TEST(RegionExport, FailedScratchAllocationIsReportedAndRetried) {
    ASSERT_EQ(createBuffer(64, 64), StoreStatus::ok);
    fillRandom(2);
    ExportPlan big, small;
    ASSERT_EQ(plan(0, 0, 4, 4, 0.9375f, &big), ExportStatus::ok);
    ASSERT_EQ(plan(0, 0, 1, 1, 0.75f, &small), ExportStatus::ok);
    Bytes out(size_t(big.nw) * big.nh * 4);
    EXPECT_EQ(runExport(big, out.data(), failingAlloc), ExportStatus::noMemory);
    EXPECT_EQ(tempBuffer2, nullptr);
    EXPECT_EQ(tempSize2, 60 * 4 * 33);
    // A smaller export allocates the buffer again, at the capacity kept.
    Bytes smallOut(size_t(small.nw) * small.nh * 4);
    EXPECT_EQ(runExport(small, smallOut.data(), failingAlloc), ExportStatus::noMemory);
    ASSERT_EQ(runExport(small, smallOut.data()), ExportStatus::ok);
    ASSERT_NE(tempBuffer2, nullptr);
    EXPECT_EQ(tempSize2, 60 * 4 * 33);
    EXPECT_EQ(smallOut, referenceExport(small));
    // Full-size exports need no scratch, so they work without it.
    ASSERT_EQ(createBuffer(64, 64, [](size_t n) { return n == 64 * 64 ? nullptr : malloc(n); }),
              StoreStatus::ok);
    EXPECT_EQ(tempBuffer2, nullptr);
    EXPECT_EQ(exportTiles(0, 0, 1, 1, 1.0f), Bytes(16 * 16 * 4, 0));
    ASSERT_EQ(runExport(small, smallOut.data()), ExportStatus::ok);
    EXPECT_EQ(tempSize2, 64 * 64);
}

TEST(RegionExport, LeavesTheStoreAndItsMarksAlone) {
    ASSERT_EQ(createBuffer(100, 40), StoreStatus::ok);
    fillRandom(3);
    setChangedArray();
    const std::vector<uint32_t> pixels(frameBuffer, frameBuffer + 100 * 40);
    for (float scale : {1.0f, 0.5f, 0.3f}) exportTiles(0, 0, tilesWidth, tilesHeight, scale);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), frameBuffer));
    for (int i = 0; i < tilesWidth * tilesHeight; ++i) ASSERT_EQ(changedArray[i], 1);
}

}  // namespace
