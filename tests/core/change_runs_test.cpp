#include "core/tessera/change_runs.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "core/tessera/frame_store.h"

namespace {

using Runs = std::vector<std::pair<int, int>>;

bool collect(void *context, int start, int len) {
    static_cast<Runs *>(context)->emplace_back(start, len);
    return true;
}

Runs changes(int ty, int tw, RunsStatus want = RunsStatus::ok) {
    Runs runs;
    EXPECT_EQ(getChanges(ty, tw, collect, &runs), want);
    return runs;
}

// A store of `tilesWide` x `rows` tiles with these marks, row-major.
void marks(int tilesWide, int rows, std::vector<uint8_t> bytes) {
    ASSERT_EQ(createBuffer(tilesWide * 16, rows * 16), StoreStatus::ok);
    bytes.resize(tilesWide * rows);
    std::copy(bytes.begin(), bytes.end(), changedArray);
}

std::vector<uint8_t> allMarks() {
    return {changedArray, changedArray + tilesWidth * tilesHeight};
}

TEST(GetChanges, MaximalRunsAreReportedOnceAndCleared) {
    marks(5, 1, {0, 1, 1, 0, 1});
    EXPECT_EQ(changes(0, 5), (Runs{{1, 2}, {4, 1}}));
    EXPECT_EQ(allMarks(), std::vector<uint8_t>(5, 0));
    EXPECT_EQ(changes(0, 5), Runs{});

    marks(2, 1, {1, 1});
    EXPECT_EQ(changes(0, 2), (Runs{{0, 2}}));
}

TEST(GetChanges, BytesOutsideTheWindowAreLeftAlone) {
    marks(4, 2, {1, 1, 1, 1, 1});
    EXPECT_EQ(changes(0, 2), (Runs{{0, 2}}));
    EXPECT_EQ(allMarks(), (std::vector<uint8_t>{0, 0, 1, 1, 1, 0, 0, 0}));
    EXPECT_EQ(changes(0, 0), Runs{});
    EXPECT_EQ(changes(0, 4), (Runs{{2, 2}}));
    EXPECT_EQ(allMarks(), (std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(GetChanges, WindowRunsOnIntoLaterRowsButNotPastTheArray) {
    marks(4, 2, {0, 0, 1, 1, 1, 0, 0, 0});
    EXPECT_EQ(changes(0, 8), (Runs{{2, 3}}));
    EXPECT_EQ(allMarks(), std::vector<uint8_t>(8, 0));

    marks(4, 2, {1, 0, 0, 0, 0, 0, 1, 1});
    EXPECT_EQ(changes(1, 1000), (Runs{{2, 2}}));
    EXPECT_EQ(changes(0, 1 << 30), (Runs{{0, 1}}));
}

TEST(GetChanges, RefusedCallsTouchNothing) {
    ASSERT_EQ(createBuffer(0, 0), StoreStatus::ok);
    changes(0, 0, RunsStatus::argsOutOfRange);
    marks(3, 2, {1, 1, 1, 1, 1, 1});
    changes(-1, 3, RunsStatus::argsOutOfRange);
    changes(2, 3, RunsStatus::argsOutOfRange);
    changes(0, -1, RunsStatus::argsOutOfRange);
    EXPECT_EQ(allMarks(), std::vector<uint8_t>(6, 1));
    EXPECT_EQ(changes(1, 3), (Runs{{0, 3}}));
}

TEST(GetChanges, SinkFailureLosesOnlyTheRefusedRun) {
    marks(6, 1, {1, 1, 0, 1, 0, 1});
    int calls = 0;
    auto refuseSecond = [](void *context, int, int) { return ++*static_cast<int *>(context) < 2; };
    EXPECT_EQ(getChanges(0, 6, refuseSecond, &calls), RunsStatus::sinkFailed);
    EXPECT_EQ(allMarks(), (std::vector<uint8_t>{0, 0, 0, 0, 0, 1}));
}

TEST(GetChanges, AfterSetChangedArrayEveryRowIsOneRun) {
    ASSERT_EQ(createBuffer(1920, 1600), StoreStatus::ok);
    setChangedArray();
    for (int ty = 0; ty < tilesHeight; ++ty) ASSERT_EQ(changes(ty, tilesWidth), (Runs{{0, 120}}));
}

// Against the byte-by-byte scan a reader would write first.
TEST(GetChanges, AgreesWithAPlainScan) {
    std::mt19937 rng(3);
    for (int round = 0; round < 2000; ++round) {
        const int wide = 1 + rng() % 9, rows = 1 + rng() % 4;
        std::vector<uint8_t> bytes(wide * rows);
        const unsigned density = rng() % 4;
        for (auto &b : bytes) b = rng() % 4 < density;
        marks(wide, rows, bytes);
        const int ty = rng() % rows, tw = rng() % (wide * rows + 3);

        Runs want;
        bool open = false;
        for (int i = ty * wide; i < std::min(ty * wide + tw, wide * rows); ++i) {
            if (bytes[i] && open) ++want.back().second;
            if (bytes[i] && !open) want.emplace_back(i - ty * wide, 1);
            open = bytes[i];
            bytes[i] = 0;
        }
        ASSERT_EQ(changes(ty, tw), want);
        ASSERT_EQ(allMarks(), bytes);
    }
}

}  // namespace
