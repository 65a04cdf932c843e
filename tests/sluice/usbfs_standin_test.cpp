// The stand-in must behave as the kernel does where the bulk ring relies on
// it, or the ring's tests prove nothing.
#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/sluice/usbdevfs.h"
#include "usbfs_standin.h"

namespace {

class StandinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pipe(fds_), 0);
        ASSERT_EQ(usbfs_standin_register(fds_[0]), 0);
    }
    void TearDown() override {
        close(fds_[0]);
        close(fds_[1]);
    }

    // 0 or errno.
    int request(unsigned long req, void *arg) { return ioctl(fds_[0], req, arg) == 0 ? 0 : errno; }
    int submit(BulkUrb *u, int length = 16384) {
        u->type = USBDEVFS_URB_TYPE_BULK;
        u->endpoint = 0x81;
        u->buffer = data_[u - urbs_];
        u->buffer_length = length;
        return request(USBDEVFS_SUBMITURB, u);
    }
    int reap(BulkUrb **which, bool block = false) {
        return request(block ? USBDEVFS_REAPURB : USBDEVFS_REAPURBNDELAY, which);
    }
    void feed(const std::string &s) {
        ASSERT_EQ(usbfs_standin_feed(fd(), s.data(), int(s.size())), 0);
    }
    int fd() const { return fds_[0]; }

    int fds_[2];
    BulkUrb urbs_[4] = {};
    char data_[4][16384] = {};
};

TEST_F(StandinTest, SubmissionIsChecked) {
    BulkUrb u = {};
    u.type = USBDEVFS_URB_TYPE_INTERRUPT;
    u.endpoint = 0x81;
    EXPECT_EQ(request(USBDEVFS_SUBMITURB, &u), EINVAL);
    u.type = USBDEVFS_URB_TYPE_BULK;
    u.endpoint = 0x82;
    EXPECT_EQ(request(USBDEVFS_SUBMITURB, &u), ENOENT);
    u.endpoint = 0x81;
    u.buffer_length = 16;  // and no buffer
    EXPECT_EQ(request(USBDEVFS_SUBMITURB, &u), EINVAL);
    EXPECT_EQ(submit(&urbs_[0]), 0);
    EXPECT_EQ(submit(&urbs_[0]), EINVAL);
    EXPECT_EQ(usbfs_standin_violations(fd()), 1);
    // Other requests reach the C library.
    int unread = -1;
    EXPECT_EQ(request(FIONREAD, &unread), 0);
    EXPECT_EQ(unread, 0);
}

TEST_F(StandinTest, ResultsReachTheCallerWhenReapedAndNotBefore) {
    memset(data_[0], 0xAA, sizeof data_[0]);
    ASSERT_EQ(submit(&urbs_[0]), 0);
    urbs_[0].status = 123;
    feed("abc");
    EXPECT_EQ(usbfs_standin_completed(fd()), 1);
    EXPECT_EQ(data_[0][0], char(0xAA));
    EXPECT_EQ(urbs_[0].status, 123);
    BulkUrb *which = nullptr;
    ASSERT_EQ(reap(&which), 0);
    EXPECT_EQ(which, &urbs_[0]);
    EXPECT_EQ(urbs_[0].status, 0);
    EXPECT_EQ(urbs_[0].actual_length, 3);
    EXPECT_EQ(std::string(data_[0], 4), std::string("abc\xAA"));
    EXPECT_EQ(reap(&which), EAGAIN);
}

TEST_F(StandinTest, RunsEndTransfersShort) {
    feed(std::string(40000, 'r'));
    feed("");
    for (BulkUrb &u : urbs_) ASSERT_EQ(submit(&u), 0);
    for (int expected : {16384, 16384, 40000 - 2 * 16384, 0}) {
        BulkUrb *which;
        ASSERT_EQ(reap(&which), 0);
        EXPECT_EQ(which->actual_length, expected);
    }
}

TEST_F(StandinTest, DiscardCancelsQueuedAndRefusesCompleted) {
    ASSERT_EQ(submit(&urbs_[0]), 0);
    ASSERT_EQ(submit(&urbs_[1]), 0);
    feed("x");
    EXPECT_EQ(request(USBDEVFS_DISCARDURB, &urbs_[0]), EINVAL);
    EXPECT_EQ(request(USBDEVFS_DISCARDURB, &urbs_[1]), 0);
    BulkUrb *which;
    ASSERT_EQ(reap(&which), 0);
    EXPECT_EQ(which, &urbs_[0]);
    EXPECT_EQ(which->status, 0);
    ASSERT_EQ(reap(&which), 0);
    EXPECT_EQ(which, &urbs_[1]);
    EXPECT_EQ(which->status, -ENOENT);
    EXPECT_EQ(usbfs_standin_held(fd()), 0);
}

TEST_F(StandinTest, ScriptedFailuresAndDelays) {
    usbfs_standin_fail_next(fd(), -EPROTO);
    usbfs_standin_delay(fd(), 60 * 1000 * 1000);
    feed("late");
    ASSERT_EQ(submit(&urbs_[0]), 0);
    ASSERT_EQ(submit(&urbs_[1]), 0);
    BulkUrb *which;
    ASSERT_EQ(reap(&which), 0);
    EXPECT_EQ(which->status, -EPROTO);
    EXPECT_EQ(reap(&which), EAGAIN);  // held back by the delay
    ASSERT_EQ(usbfs_standin_refuse_submit(fd(), 1, EMSGSIZE), 0);
    EXPECT_EQ(submit(&urbs_[2]), 0);
    EXPECT_EQ(submit(&urbs_[3]), EMSGSIZE);
}

// The stream waits while the endpoint is halted: "two" goes to the first
// request after the clear.
TEST_F(StandinTest, HaltFailsEveryRequestUntilTheProgramClearsIt) {
    feed("one");
    feed("two");
    ASSERT_EQ(usbfs_standin_stall_after(fd(), 1), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(submit(&urbs_[i]), 0);
    BulkUrb *which;
    ASSERT_EQ(reap(&which), 0);
    EXPECT_EQ(which->status, 0);
    EXPECT_EQ(which->actual_length, 3);
    for (int i = 1; i < 3; ++i) {
        ASSERT_EQ(reap(&which), 0);
        EXPECT_EQ(which, &urbs_[i]);
        EXPECT_EQ(which->status, -EPIPE);
        EXPECT_EQ(which->actual_length, 0);
    }
    // A request submitted later fails as well, even after a reset of the
    // toggle, which leaves the halt.
    unsigned ep = 0x81;
    ASSERT_EQ(request(USBDEVFS_RESETEP, &ep), 0);
    ASSERT_EQ(submit(&urbs_[1]), 0);
    ASSERT_EQ(reap(&which), 0);
    EXPECT_EQ(which->status, -EPIPE);
    EXPECT_EQ(request(USBDEVFS_CLEAR_HALT, nullptr), EFAULT);
    for (unsigned wrong : {0x82u, 0x01u, 0x00u}) {
        EXPECT_EQ(request(USBDEVFS_CLEAR_HALT, &wrong), ENOENT) << wrong;
    }
    unsigned invalid = 0x181;
    EXPECT_EQ(request(USBDEVFS_CLEAR_HALT, &invalid), EINVAL);
    ASSERT_EQ(request(USBDEVFS_CLEAR_HALT, &ep), 0);
    ASSERT_EQ(submit(&urbs_[1]), 0);
    ASSERT_EQ(reap(&which), 0);
    EXPECT_EQ(which->status, 0);
    EXPECT_EQ(std::string(data_[1], size_t(which->actual_length)), "two");
    EXPECT_EQ(reap(&which), EAGAIN);
}

TEST_F(StandinTest, DeviceHaltEndsABlockedReapAndTheDeviceClearsIt) {
    ASSERT_EQ(submit(&urbs_[0]), 0);
    ASSERT_EQ(submit(&urbs_[1]), 0);
    std::thread waiter([&] {
        BulkUrb *which = nullptr;
        EXPECT_EQ(reap(&which, true), 0);
        EXPECT_EQ(which, &urbs_[0]);
    });
    while (!usbfs_standin_waiting(fd())) usleep(1000);
    ASSERT_EQ(usbfs_standin_halt(fd(), 1), 0);
    waiter.join();
    EXPECT_EQ(urbs_[0].status, -EPIPE);
    BulkUrb *which;
    ASSERT_EQ(reap(&which), 0);  // failed in the same frame
    EXPECT_EQ(which->status, -EPIPE);
    ASSERT_EQ(usbfs_standin_halt(fd(), 0), 0);
    feed("back");
    ASSERT_EQ(submit(&urbs_[0]), 0);
    ASSERT_EQ(reap(&which), 0);
    EXPECT_EQ(which->status, 0);
    EXPECT_EQ(which->actual_length, 4);
}

TEST_F(StandinTest, UnplugCompletesWhatIsInFlightThenFailsEverything) {
    ASSERT_EQ(submit(&urbs_[0]), 0);
    ASSERT_EQ(submit(&urbs_[1]), 0);
    feed("before");
    ASSERT_EQ(usbfs_standin_unplug(fd(), -ESHUTDOWN), 0);
    EXPECT_EQ(submit(&urbs_[2]), ENODEV);
    EXPECT_EQ(request(USBDEVFS_DISCARDURB, &urbs_[1]), ENODEV);
    unsigned interface = 0;
    EXPECT_EQ(request(USBDEVFS_CLAIMINTERFACE, &interface), ENODEV);
    BulkUrb *which;
    ASSERT_EQ(reap(&which, true), 0);
    EXPECT_EQ(which->status, 0);
    EXPECT_EQ(which->actual_length, 6);
    ASSERT_EQ(reap(&which, true), 0);
    EXPECT_EQ(which->status, -ESHUTDOWN);
    EXPECT_EQ(reap(&which, true), ENODEV);
}

void onSignal(int) {}

TEST_F(StandinTest, SignalEndsABlockedReapWithEintr) {
    struct sigaction sa = {};
    sa.sa_handler = onSignal;  // no SA_RESTART, as the interpreter installs its handlers
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    ASSERT_EQ(submit(&urbs_[0]), 0);
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        BulkUrb *which;
        result = reap(&which, true);
    });
    // Until it lands inside the wait.
    while (result == -1) {
        pthread_kill(waiter.native_handle(), SIGUSR1);
        usleep(1000);
    }
    waiter.join();
    EXPECT_EQ(result, EINTR);
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(StandinTest, CapturingHostsSetUpRequestsSucceed) {
    unsigned interface = 0;
    EXPECT_EQ(request(USBDEVFS_CLAIMINTERFACE, &interface), 0);
    usbdevfs_ioctl disconnect = {0, int(USBDEVFS_DISCONNECT), nullptr};
    EXPECT_EQ(request(USBDEVFS_IOCTL, &disconnect), 0);
    uint32_t caps = 0;
    EXPECT_EQ(request(USBDEVFS_GET_CAPABILITIES, &caps), 0);
    EXPECT_TRUE(caps & USBDEVFS_CAP_REAP_AFTER_DISCONNECT);
    EXPECT_EQ(request(USBDEVFS_RELEASEINTERFACE, &interface), 0);
    EXPECT_EQ(request(USBDEVFS_HUB_PORTINFO, &caps), ENOTTY);
}

}  // namespace
