// The bulk ring against the usbdevfs stand-in, with a mutex in the part of the
// interpreter lock.
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "core/sluice/bulk_ring.h"
#include "usbfs_standin.h"

namespace {

std::mutex lockMutex;
int releases;  // counted with the lock held

void *releaseLock() {
    ++releases;
    lockMutex.unlock();
    return nullptr;
}
void reacquireLock(void *) {
    lockMutex.lock();
}

class BulkRingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pipe(pipeFds_), 0);
        fd = pipeFds_[0];
        ASSERT_EQ(usbfs_standin_register(fd), 0);
        bulkLockHooks = {releaseLock, reacquireLock};
        lockMutex.lock();
        releases = 0;
    }
    void TearDown() override {
        lockMutex.unlock();
        if (fd >= 0) {
            EXPECT_EQ(usbfs_standin_violations(fd), 0);
        }
        for (int end : pipeFds_)
            if (end >= 0) close(end);
    }

    BulkReader *attach() {
        BulkReader *r = nullptr;
        EXPECT_EQ(attachReader(fd, 0x81, &r), 0);
        return r;
    }
    void feed(const std::string &bytes) {
        ASSERT_EQ(usbfs_standin_feed(fd, bytes.data(), int(bytes.size())), 0);
    }
    int count(int kind) {
        int n = 0;
        UsbfsStandinCall c;
        for (int i = 0; usbfs_standin_get_call(fd, i, &c) == 0; ++i) n += c.kind == kind;
        return n;
    }
    // Lets another thread run until `done` holds.
    void yieldUntil(const std::function<bool()> &done) {
        while (!done()) {
            lockMutex.unlock();
            sched_yield();
            lockMutex.lock();
        }
    }

    int pipeFds_[2] = {-1, -1};
    int fd = -1;
};

// A read as the skin makes it.
int readOnce(BulkReader *r, int *length) {
    const byte_t *data;
    return readTransfer(r, &data, length);
}

TEST_F(BulkRingTest, EveryIoctlIsMadeWithTheLockGivenUp) {
    BulkReader *r = attach();
    feed("abc");
    feed(std::string(20000, 'x'));
    int length;
    for (int expected : {3, 16384, 20000 - 16384}) {
        ASSERT_EQ(readOnce(r, &length), 0);
        EXPECT_EQ(length, expected);
    }
    freeBulkReader(r);
    EXPECT_EQ(releases, usbfs_standin_call_count(fd));
    EXPECT_EQ(usbfs_standin_held(fd), 0);
}

TEST_F(BulkRingTest, FailedAttachTakesBackWhatItSubmitted) {
    for (int k : {0, 1, 9, 15}) {
        usbfs_standin_clear_calls(fd);
        ASSERT_EQ(usbfs_standin_refuse_submit(fd, k, EIO), 0);
        BulkReader *r = nullptr;
        EXPECT_EQ(attachReader(fd, 0x81, &r), EIO);
        EXPECT_EQ(r, nullptr);
        EXPECT_EQ(usbfs_standin_held(fd), 0) << k;
        EXPECT_EQ(count(USBFS_STANDIN_SUBMIT), k + 1);
        EXPECT_EQ(count(USBFS_STANDIN_DISCARD), k);
        EXPECT_EQ(count(USBFS_STANDIN_REAP), k);
    }
}

// A regular file taken for a device: it takes transfers, but epoll cannot
// watch it, so a later detach could not tell whether it is still the device.
TEST_F(BulkRingTest, AttachThatCannotWatchLeavesNothingQueued) {
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    fd = fileno(file);
    ASSERT_EQ(usbfs_standin_register(fd), 0);
    BulkReader *r = nullptr;
    EXPECT_EQ(attachReader(fd, 0x81, &r), EOPNOTSUPP);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(usbfs_standin_held(fd), 0);
    EXPECT_EQ(count(USBFS_STANDIN_SUBMIT), 1);
    EXPECT_EQ(count(USBFS_STANDIN_REAP), 1);
    EXPECT_EQ(usbfs_standin_violations(fd), 0);
    EXPECT_EQ(usbfs_standin_unregister(fd), 0);
    fclose(file);
    fd = -1;
}

TEST_F(BulkRingTest, DetachReapsACompletionItCouldNotDiscard) {
    BulkReader *r = attach();
    feed("done before the detach");
    ASSERT_EQ(usbfs_standin_completed(fd), 1);
    detachReader(r);
    EXPECT_EQ(usbfs_standin_held(fd), 0);
    EXPECT_EQ(count(USBFS_STANDIN_REAP), 16);
    int length;
    EXPECT_EQ(readOnce(r, &length), kReaderDetached);
    int calls = usbfs_standin_call_count(fd);
    detachReader(r);
    freeBulkReader(r);
    EXPECT_EQ(usbfs_standin_call_count(fd), calls);
}

// The kernel cuts requests off with -EPROTO or -ESHUTDOWN, mixed in one unplug.
TEST_F(BulkRingTest, DrainEndsWhenTheDeviceIsGone) {
    BulkReader *r = attach();
    feed("last words");
    usbfs_standin_fail_next(fd, -EPROTO);
    ASSERT_EQ(usbfs_standin_unplug(fd, -ESHUTDOWN), 0);
    int length;
    EXPECT_EQ(readOnce(r, &length), 0);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(readOnce(r, &length), ENODEV);  // the resubmission
    EXPECT_EQ(readOnce(r, &length), EPROTO);
    for (int i = 2; i < kRingSlots; ++i) ASSERT_EQ(readOnce(r, &length), ESHUTDOWN);
    EXPECT_EQ(readOnce(r, &length), ENOBUFS);
    freeBulkReader(r);
    EXPECT_EQ(usbfs_standin_held(fd), 0);

    // A closed descriptor: the kernel has dropped everything, and the drain
    // must not wait for it.
    ASSERT_EQ(usbfs_standin_unregister(fd), 0);
    ASSERT_EQ(usbfs_standin_register(fd), 0);
    r = attach();
    close(fd);
    pipeFds_[0] = fd = -1;
    freeBulkReader(r);
}

// A halted endpoint fails every transfer, and the ring is left with none.
TEST_F(BulkRingTest, RingWithNothingQueuedDoesNotWait) {
    BulkReader *r = attach();
    ASSERT_EQ(usbfs_standin_halt(fd, 1), 0);
    int length;
    for (int i = 0; i < kRingSlots; ++i) ASSERT_EQ(readOnce(r, &length), EPIPE);
    int calls = usbfs_standin_call_count(fd);
    EXPECT_EQ(readOnce(r, &length), ENOBUFS);
    EXPECT_EQ(usbfs_standin_call_count(fd), calls);
    freeBulkReader(r);
}

TEST_F(BulkRingTest, DetachFromAnotherThreadEndsAWaitingRead) {
    BulkReader *r = attach();
    std::thread reader([&] {
        std::lock_guard<std::mutex> hold(lockMutex);
        int length;
        EXPECT_EQ(readOnce(r, &length), kReaderDetached);
    });
    yieldUntil([&] { return r->busy != 0; });
    int length;
    EXPECT_EQ(readOnce(r, &length), EBUSY);
    detachReader(r);
    EXPECT_EQ(usbfs_standin_held(fd), 0);
    lockMutex.unlock();
    reader.join();
    lockMutex.lock();
    freeBulkReader(r);
}

// Detach lands anywhere in a reading loop: in the wait, in a resubmission,
// between calls. Nothing may stay queued, and nothing may hang.
TEST_F(BulkRingTest, DetachRacingReadsLeavesNothingQueued) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        BulkReader *r = attach();
        for (int i = 0; i < 40; ++i) feed(std::string(1000 + i, 'r'));
        std::atomic<int> reads{0};
        std::thread reader([&] {
            std::lock_guard<std::mutex> hold(lockMutex);
            int length, err;
            while ((err = readOnce(r, &length)) == 0) ++reads;
            EXPECT_EQ(err, kReaderDetached);
        });
        int spins = int(random() % 64);
        yieldUntil([&] { return spins-- <= 0; });
        detachReader(r);
        lockMutex.unlock();
        reader.join();
        lockMutex.lock();
        EXPECT_EQ(usbfs_standin_held(fd), 0) << round;
        freeBulkReader(r);
    }
}

TEST(BulkRingDeathTest, SubmittingASlotTheKernelHoldsIsStopped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(usbfs_standin_register(fds[0]), 0);
    BulkReader *r;
    ASSERT_EQ(attachReader(fds[0], 0x81, &r), 0);
    EXPECT_DEATH((dup2(2, 1), queueRequests(r, &r->buffers[3])), "mayMove");
    freeBulkReader(r);
    close(fds[0]);
    close(fds[1]);
}

TEST(BulkRingDeathTest, TwoReadersOnOneDescriptorAreStopped) {
    // A forked child leaves the parent's transfers alone, so the death is
    // staged in a fresh process that runs the whole test again.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(usbfs_standin_register(fds[0]), 0);
    BulkReader *first, *second;
    ASSERT_EQ(attachReader(fds[0], 0x81, &first), 0);
    ASSERT_EQ(attachReader(fds[0], 0x81, &second), 0);
    usbfs_standin_feed(fds[0], "x", 1);  // completes the first reader's slot 0
    // The assertion text goes to standard output.
    EXPECT_DEATH((dup2(2, 1), detachReader(second)), "isOwnRequest\\(r, which\\)");
    // Here the first reader's completion is still queued: it goes first.
    freeBulkReader(first);
    freeBulkReader(second);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
