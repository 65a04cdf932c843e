// The usbdevfs bulk ring under the fuzzer, against the usbdevfs stand-in
// linked into the binary: a script of attaches, reads, detaches and frees
// interleaved with what the device does (runs of bytes ending transfers full,
// short or empty, failed transfers, stalls, refused submissions, delays,
// signals during a wait, unplugs).
//
// The stand-in's record of every ioctl is the witness. Each read must answer
// what its last reap delivered, and what the reaps deliver, in order, must be
// the device's stream: every byte of every run, cut where the run or the
// transfer ends, and every failure, with nothing lost, repeated or reordered.
// A slot lent to the caller keeps its bytes until the next read or the free;
// the device never sees a request submitted twice, never holds more than 16,
// and holds none once the reader is detached or freed.
//
// Input layout (fuzz_input.h): up to 96 operations, an opcode byte each:
//   0 attach: u8 endpoint (below 200: 0x81)    1 run: u16 length, u32 seed
//   2 empty transfer                          3 failed transfer: i32 status
//   4 stall after u8 transfers                5 refuse submission u8 ahead: u8 errno
//   6 unplug: u8 (EPROTO or ESHUTDOWN)        7 delay: u16 microseconds
//   8 signal after u16 microseconds           9 read: u8 (what the device sends
//                                               when the read would wait for ever)
//   10 detach                                 11 free
//   12 halt the endpoint (u8 odd) or clear its halt (even)
// A halted endpoint fails every request with -EPIPE and sends nothing of its
// stream until the halt is cleared.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "core/sluice/bulk_ring.h"
#include "fuzz_input.h"
#include "usbfs_standin.h"

namespace {

// What the device still has to send, as the fuzzer gave it.
struct Item {
    enum Kind { run, failure, gate } kind;
    std::vector<uint8_t> bytes;
    size_t used;
    int status;
};

// A real-time signal: libFuzzer keeps SIGALRM and SIGUSR1/2 for itself.
int signalNumber() {
    return SIGRTMIN + 6;
}
timer_t timer;

void onSignal(int) {}

struct Device {
    int fds[2] = {-1, -1};
    int fd = -1;
    std::deque<Item> stream;
    bool unplugged = false;
    int unplugStatus = 0;
    bool halts = false;  // a stall or a halt was asked for: -EPIPE may come
    BulkReader *reader = nullptr;
    // The slot lent by the last read and its bytes then.
    const BulkBuffer *lent = nullptr;
    std::vector<uint8_t> lentBytes;
};

Device dev;

bool sendsSomething() {
    for (const Item &it : dev.stream)
        if (it.kind != Item::gate) return true;
    return false;
}

// Statuses that a failed transfer of the fuzzer's may carry: not those that
// tell the stall, the unplug and the discard apart.
int failureStatus(int status) {
    return status == -EPIPE || status == -EPROTO || status == -ESHUTDOWN || status == -ENOENT
               ? -EIO
               : status;
}

void push(Item::Kind kind, std::vector<uint8_t> bytes, int status) {
    dev.stream.push_back(Item{kind, std::move(bytes), 0, status});
}

void run(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    PixelNoise noise(seed);
    for (uint8_t &b : bytes) b = uint8_t(noise.next());
    FUZZ_CHECK(usbfs_standin_feed(dev.fd, bytes.data(), int(length)) == 0, "feed");
    push(Item::run, std::move(bytes), 0);
}

void fail(int status) {
    FUZZ_CHECK(usbfs_standin_fail_next(dev.fd, status) == 0, "fail_next");
    push(Item::failure, {}, status);
}

// A transfer the device completed, handed back by a reap: checked against the
// stream and taken off it. `data` is null when the slot may not be read.
void delivered(int status, int length, const uint8_t *data) {
    if (status == -EPIPE && dev.halts) return;
    if (status == -ENOENT || (dev.unplugged && status == dev.unplugStatus)) return;
    while (!dev.stream.empty() && dev.stream.front().kind == Item::gate) dev.stream.pop_front();
    FUZZ_CHECK(!dev.stream.empty(), "a transfer (status %d, %d bytes) the device never sent",
               status, length);
    Item &it = dev.stream.front();
    if (it.kind == Item::failure) {
        FUZZ_CHECK(status == it.status && length == 0, "transfer (%d, %d) for a failure %d", status,
                   length, it.status);
        dev.stream.pop_front();
        return;
    }
    const size_t left = it.bytes.size() - it.used;
    const size_t want = left < size_t(kTransferBytes) ? left : size_t(kTransferBytes);
    FUZZ_CHECK(status == 0 && size_t(length) == want,
               "transfer (%d, %d bytes) where the stream has %zu bytes", status, length, want);
    FUZZ_CHECK(!data || !want || memcmp(data, it.bytes.data() + it.used, want) == 0,
               "transfer of %zu bytes holds other bytes than were sent", want);
    it.used += want;
    if (it.used == it.bytes.size()) dev.stream.pop_front();
}

struct Calls {
    std::vector<UsbfsStandinCall> list;
    int count(int kind) const {
        int n = 0;
        for (const UsbfsStandinCall &c : list) n += c.kind == kind;
        return n;
    }
};

Calls takeCalls() {
    Calls calls;
    const int n = usbfs_standin_call_count(dev.fd);
    for (int i = 0; i < n; ++i) {
        UsbfsStandinCall c;
        FUZZ_CHECK(usbfs_standin_get_call(dev.fd, i, &c) == 0, "get_call");
        calls.list.push_back(c);
    }
    usbfs_standin_clear_calls(dev.fd);
    return calls;
}

// Runs `call` with standard error captured: what it wrote.
template <typename Call>
std::string stderrOf(Call call) {
    char *text = nullptr;
    size_t size = 0;
    FILE *capture = open_memstream(&text, &size);
    FUZZ_CHECK(capture, "open_memstream");
    FILE *const saved = stderr;
    stderr = capture;
    call();
    stderr = saved;
    fclose(capture);
    std::string out(text, size);
    free(text);
    return out;
}

// Each refused submission is reported on one line of standard error.
void checkReports(const Calls &calls, const std::string &written) {
    std::string want;
    for (const UsbfsStandinCall &c : calls.list)
        if (c.kind == USBFS_STANDIN_SUBMIT && c.result)
            want += std::string("SUBMITURB: ") + strerror(c.error) + "\n";
    FUZZ_CHECK(written == want, "standard error has \"%s\", expected \"%s\"", written.c_str(),
               want.c_str());
}

// The reaps of a detach, a free or a failed attach: what they took off the device.
void drained(const Calls &calls) {
    for (const UsbfsStandinCall &c : calls.list)
        if (c.kind == USBFS_STANDIN_REAP && c.result == 0)
            delivered(c.status, c.actual_length, nullptr);
}

void checkDevice(const char *when) {
    FUZZ_CHECK(usbfs_standin_violations(dev.fd) == 0, "%s: a request was submitted twice", when);
    const int held = usbfs_standin_held(dev.fd);
    FUZZ_CHECK(held <= kRingSlots, "%s: the device holds %d requests", when, held);
    if (!dev.reader || !dev.reader->active)
        FUZZ_CHECK(held == 0, "%s: the device holds %d requests of a reader that let go", when,
                   held);
    if (dev.lent && !dev.lentBytes.empty())
        FUZZ_CHECK(memcmp(dev.lent->data, dev.lentBytes.data(), dev.lentBytes.size()) == 0,
                   "%s: the lent slot's bytes changed", when);
}

void attach(int ep) {
    if (dev.reader) return;  // a second reader on one descriptor is a programming error
    BulkReader *reader = nullptr;
    int err = 0;
    const std::string written = stderrOf([&] { err = attachReader(dev.fd, ep, &reader); });
    const Calls calls = takeCalls();
    checkReports(calls, written);
    drained(calls);
    if (err) {
        FUZZ_CHECK(!reader, "failed attach handed out a reader");
        return;
    }
    dev.reader = reader;
    FUZZ_CHECK(usbfs_standin_held(dev.fd) == kRingSlots, "attach left %d requests queued",
               usbfs_standin_held(dev.fd));
}

void read(uint8_t choice) {
    if (!dev.reader) return;
    BulkReader *r = dev.reader;
    // A read with nothing coming would wait for ever: the device sends something first.
    if (r->active && !dev.unplugged && usbfs_standin_completed(dev.fd) == 0 && !sendsSomething()) {
        if (choice % 3 == 0) run(choice, choice);
        if (choice % 3 == 1) run(0, 0);
        if (choice % 3 == 2) fail(-EOVERFLOW);
    }
    const BulkBuffer *previous = r->single;
    const bool wasActive = r->active;
    BulkUrb *which = nullptr;
    int length = -1;
    BulkBuffer *b = nullptr;
    int err = 0;
    const std::string written = stderrOf([&] { err = waitTransfer(r, &which); });
    if (!err) {
        FUZZ_CHECK(isOwnRequest(r, which), "reaped a request that is not the ring's");
        b = static_cast<BulkBuffer *>(which->usercontext);
        FUZZ_CHECK(&b->urb == which, "request's usercontext names another slot");
        err = takeTransfer(r, b, &length);
    }
    const Calls calls = takeCalls();
    checkReports(calls, written);
    const int submits = calls.count(USBFS_STANDIN_SUBMIT);
    if (!wasActive) {
        FUZZ_CHECK(err == kReaderDetached && calls.list.empty(),
                   "read on a detached reader gave %d after %zu calls", err, calls.list.size());
        return;
    }
    dev.lent = nullptr;
    FUZZ_CHECK(submits == (previous ? 1 : 0), "read made %d submissions", submits);
    const UsbfsStandinCall *last = nullptr;
    for (const UsbfsStandinCall &c : calls.list) {
        if (c.kind == USBFS_STANDIN_SUBMIT) {
            FUZZ_CHECK(c.urb == &previous->urb, "read submitted another slot than the lent one");
            if (c.result)
                FUZZ_CHECK(err == c.error, "refused submission %d, read %d", c.error, err);
        } else if (c.kind == USBFS_STANDIN_REAP) {
            FUZZ_CHECK(!last || last->error == EINTR, "read went on after a reap that ended");
            last = &c;
        } else {
            FUZZ_CHECK(false, "read made a call of kind %d", c.kind);
        }
    }
    if (!last) {
        if (submits && calls.list[0].result) return;
        FUZZ_CHECK(err == ENOBUFS && usbfs_standin_held(dev.fd) == 0,
                   "read without a reap gave %d with %d requests queued", err,
                   usbfs_standin_held(dev.fd));
        return;
    }
    if (last->result) {
        FUZZ_CHECK(err == last->error, "reap failed with %d, read gave %d", last->error, err);
        return;
    }
    FUZZ_CHECK(b && last->urb == which, "read answered another request than it reaped");
    const int status = last->status;
    delivered(status, last->actual_length, status == 0 ? b->data : nullptr);
    if (status == 0) {
        FUZZ_CHECK(err == 0 && length == last->actual_length && r->single == b,
                   "transfer of %d bytes, read gave %d (%d bytes)", last->actual_length, err,
                   length);
        dev.lent = b;
        dev.lentBytes.assign(b->data, b->data + length);
    } else {
        // A positive status is no errno at all; INT_MIN has no negation.
        const int want = status < 0 && status != INT_MIN ? -status : EIO;
        FUZZ_CHECK(err == want && !r->single, "transfer status %d, read gave %d", status, err);
    }
}

void detach() {
    if (!dev.reader) return;
    detachReader(dev.reader);
    drained(takeCalls());
    FUZZ_CHECK(!dev.reader->active, "detached reader still active");
}

void release() {
    if (!dev.reader) return;
    // The lent bytes stay valid up to the free.
    checkDevice("before free");
    freeBulkReader(dev.reader);
    drained(takeCalls());
    dev.reader = nullptr;
    dev.lent = nullptr;
}

// A signal that interrupts whatever the process waits for then; no
// microseconds at all disarm the timer.
void signalIn(int microseconds) {
    itimerspec when{};
    when.it_value.tv_nsec = long(microseconds) * 1000;
    timer_settime(timer, 0, &when, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sa.sa_flags = SA_RESTART;  // a reap's wait ends with EINTR all the same
    sigaction(signalNumber(), &sa, nullptr);
    sigevent ev{};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = signalNumber();
    FUZZ_CHECK(timer_create(CLOCK_MONOTONIC, &ev, &timer) == 0, "timer_create");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    dev = Device();
    FUZZ_CHECK(pipe(dev.fds) == 0, "pipe");
    dev.fd = dev.fds[0];
    FUZZ_CHECK(usbfs_standin_register(dev.fd) == 0, "register");
    int waited = 0;  // microseconds of delay, bounded for speed
    for (int op = 0; op < 96 && in.remaining(); ++op) {
        switch (in.u8() % 13) {
            case 0: {
                const int ep = in.u8();
                attach(ep < 200 ? 0x81 : ep);
                break;
            }
            case 1: {
                const size_t length = in.u16();
                run(length, in.u32());
                break;
            }
            case 2:
                run(0, 0);
                break;
            case 3:
                fail(failureStatus(in.i32()));
                break;
            case 4:
                FUZZ_CHECK(usbfs_standin_stall_after(dev.fd, in.u8()) == 0, "stall_after");
                dev.halts = true;
                break;
            case 5: {
                const int after = in.u8(), error = 1 + in.u8() % 133;
                FUZZ_CHECK(usbfs_standin_refuse_submit(dev.fd, after, error) == 0, "refuse");
                break;
            }
            case 6: {
                const int status = in.u8() & 1 ? -EPROTO : -ESHUTDOWN;
                if (dev.unplugged) break;
                dev.unplugged = true;
                dev.unplugStatus = status;
                FUZZ_CHECK(usbfs_standin_unplug(dev.fd, status) == 0, "unplug");
                break;
            }
            case 7: {
                const int us = in.u16() % 2000;
                if (waited + us > 20000) break;
                waited += us;
                FUZZ_CHECK(usbfs_standin_delay(dev.fd, us) == 0, "delay");
                push(Item::gate, {}, 0);
                break;
            }
            case 8:
                signalIn(1 + in.u16() % 2000);
                break;
            case 9:
                read(in.u8());
                break;
            case 10:
                detach();
                break;
            case 11:
                release();
                break;
            case 12: {
                const int on = in.u8() & 1;
                FUZZ_CHECK(usbfs_standin_halt(dev.fd, on) == 0, "halt");
                dev.halts |= on;
                break;
            }
        }
        checkDevice("after an operation");
    }
    release();
    checkDevice("at the end");
    signalIn(0);
    close(dev.fds[0]);
    close(dev.fds[1]);
    return 0;
}
