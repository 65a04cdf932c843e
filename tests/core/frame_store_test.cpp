#include "core/tessera/frame_store.h"

#include <gtest/gtest.h>

namespace {

void *failingAlloc(size_t) {
    return nullptr;
}

int countFailedAllocs;
// Lets the first allocation (the pixels) succeed and fails the second.
void *failSecondAlloc(size_t n) {
    return ++countFailedAllocs == 2 ? nullptr : malloc(n);
}

TEST(FrameStore, CreateSizesGridAndZeroes) {
    ASSERT_EQ(createBuffer(17, 17), StoreStatus::ok);
    EXPECT_EQ(tilesWidth, 2);
    EXPECT_EQ(tilesHeight, 2);
    for (int i = 0; i < 17 * 17; ++i) ASSERT_EQ(frameBuffer[i], 0u);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(changedArray[i], 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(frameBuffer) % 64, 0u);
    EXPECT_EQ(tempSize1, 17 * 64);
    EXPECT_EQ(tempSize2, 17 * 64);

    ASSERT_EQ(createBuffer(1920, 1600), StoreStatus::ok);
    EXPECT_EQ(tilesWidth, 120);
    EXPECT_EQ(tilesHeight, 100);
    ASSERT_EQ(createBuffer(0, 0), StoreStatus::ok);
    EXPECT_EQ(tilesWidth * tilesHeight, 0);
}

TEST(FrameStore, BadSizesLeaveTheStoreIntact) {
    ASSERT_EQ(createBuffer(32, 32), StoreStatus::ok);
    uint32_t *pixels = frameBuffer;
    frameBuffer[5] = 7;
    for (auto [w, h] : {std::pair{1921, 16}, {-1, 16}, {16, 1601}, {16, -1}}) {
        EXPECT_EQ(createBuffer(w, h), StoreStatus::badSize);
        EXPECT_EQ(clearbuffer(w, h), StoreStatus::badSize);
    }
    EXPECT_EQ(frameBuffer, pixels);
    EXPECT_EQ(frameBuffer[5], 7u);
    EXPECT_EQ(frameWidth, 32);
}

TEST(FrameStore, FailedAllocationLeavesAnEmptyStore) {
    ASSERT_EQ(createBuffer(64, 64), StoreStatus::ok);
    EXPECT_EQ(createBuffer(640, 480, failingAlloc), StoreStatus::noMemory);
    EXPECT_EQ(frameBuffer, nullptr);
    EXPECT_EQ(changedArray, nullptr);
    EXPECT_EQ(frameWidth | frameHeight | tilesWidth | tilesHeight, 0);
    setChangedArray();  // nothing to mark, and no write through null
    EXPECT_EQ(clearbuffer(0, 0), StoreStatus::ok);
    EXPECT_EQ(clearbuffer(16, 16), StoreStatus::beyondAllocation);

    countFailedAllocs = 0;
    EXPECT_EQ(createBuffer(640, 480, failSecondAlloc), StoreStatus::noMemory);
    EXPECT_EQ(frameBuffer, nullptr);
    EXPECT_EQ(tilesWidth * tilesHeight, 0);
}

TEST(FrameStore, ClearbufferStaysWithinTheAllocation) {
    ASSERT_EQ(createBuffer(100, 100), StoreStatus::ok);
    setChangedArray();
    for (int i = 0; i < 100 * 100; ++i) frameBuffer[i] = 0xFFFFFFFF;

    ASSERT_EQ(clearbuffer(40, 20), StoreStatus::ok);
    EXPECT_EQ(frameWidth, 40);
    EXPECT_EQ(tilesWidth * tilesHeight, 3 * 2);
    for (int i = 0; i < 40 * 20; ++i) ASSERT_EQ(frameBuffer[i], 0u);
    EXPECT_EQ(frameBuffer[40 * 20], 0xFFFFFFFFu);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(changedArray[i], 0);
    EXPECT_EQ(changedArray[6], 1);

    // Same pixel count but more tiles than were allocated: refused, nothing changed.
    EXPECT_EQ(clearbuffer(200, 50), StoreStatus::beyondAllocation);
    EXPECT_EQ(clearbuffer(101, 100), StoreStatus::beyondAllocation);
    EXPECT_EQ(frameWidth, 40);
    EXPECT_EQ(clearbuffer(100, 100), StoreStatus::ok);
}

}  // namespace
