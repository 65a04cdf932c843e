#include "core/sluice/bulk_ring.h"

#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace {

// `busy`: 0 free, 1 taken, 2 taken and someone sleeps on it. It is written
// with the lock held only; the kernel reads it when a waiter goes to sleep.
constexpr uint32_t kBusyWaited = 2;

uint32_t busyState(const BulkReader *r) {
    return __atomic_load_n(&r->busy, __ATOMIC_ACQUIRE);
}

void takeBusy(BulkReader *r) {
    __atomic_store_n(&r->busy, 1, __ATOMIC_RELEASE);
}

void releaseBusy(BulkReader *r) {
    if (__atomic_exchange_n(&r->busy, 0, __ATOMIC_ACQ_REL) == kBusyWaited)
        syscall(SYS_futex, &r->busy, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Sleeps, with the lock given up, until no other call works the descriptor.
void waitWhileBusy(BulkReader *r) {
    while (busyState(r)) {
        __atomic_store_n(&r->busy, kBusyWaited, __ATOMIC_RELEASE);
        void *saved = bulkLockHooks.release();
        // Returns at once if the holder has let go since the store above.
        syscall(SYS_futex, &r->busy, FUTEX_WAIT_PRIVATE, kBusyWaited, nullptr, nullptr, 0);
        bulkLockHooks.reacquire(saved);
    }
}

// Counts forks, in the child: a reader made in an earlier generation belongs
// to the parent process.
uint32_t processGeneration;

void countFork() {
    ++processGeneration;
}

uint32_t currentGeneration() {
    static const int registered = pthread_atfork(nullptr, nullptr, countFork);
    (void)registered;
    return processGeneration;
}

// Watches the reader's descriptor without holding its file open, so that a
// later look can tell whether the number still names that file.
// Returns 0 with *watch set, or the errno of the failure with *watch -1.
int watchDescriptor(int fd, int32_t *watch) {
    *watch = epoll_create1(EPOLL_CLOEXEC);
    if (*watch < 0) return errno;
    epoll_event event{};
    if (epoll_ctl(*watch, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
    int err = errno;
    close(*watch);
    *watch = -1;
    return err;
}

// Whether this process may still work the reader's requests on its
// descriptor; unsure is no.
bool ownsDescriptor(const BulkReader *r) {
    if (r->generation != currentGeneration() || r->watch < 0) return false;
    epoll_event event{};
    // Fails once the file is closed or the number names another file.
    return epoll_ctl(r->watch, EPOLL_CTL_MOD, r->fd, &event) == 0;
}

// A record the kernel may still write into is never freed; it stays
// reachable from here, so that leak checkers do not count it.
void keepForTheKernel(BulkReader *r) {
    static auto *kept = new std::vector<BulkReader *>;  // never destroyed
    kept->push_back(r);
}

// Distance of `which` from slot 0's request; compared as integers, so that a
// request anywhere else is never dereferenced.
uintptr_t ringOffset(const BulkReader *r, const BulkUrb *which) {
    return reinterpret_cast<uintptr_t>(which) - reinterpret_cast<uintptr_t>(&r->buffers[0].urb);
}

BulkBuffer *slotOf(BulkReader *r, const BulkUrb *which) {
    return &r->buffers[ringOffset(r, which) / sizeof(BulkBuffer)];
}

bool anyInState(const BulkReader *r, bool (*match)(SlotState)) {
    for (const BulkBuffer &s : r->buffers)
        if (match(s.started)) return true;
    return false;
}

bool isSubmitted(SlotState s) {
    return s == slotSubmitted;
}
bool isKernels(SlotState s) {
    return s == slotSubmitted || s == slotCancelling;
}

// The arrows of the diagram in bulk_ring.h.
bool mayMove(SlotState from, SlotState to) {
    switch (to) {
        case slotSubmitted:
            return from == slotIdle || from == slotLent;
        case slotLent:
        case slotCancelling:
            return from == slotSubmitted;
        case slotIdle:
            return from != slotIdle;
    }
    return false;
}

int submitSlot(BulkReader *r, BulkBuffer *s) {
    // Before the request is touched: it may be the kernel's.
    moveSlot(s, slotSubmitted);
    // From the template, so that the results of the slot's last completion go.
    s->urb = r->urbTemplate;
    s->urb.buffer = s->data;
    s->urb.usercontext = s;
    int err = submitUrb(r->fd, &s->urb);
    if (err) {
        moveSlot(s, slotIdle);
        errno = err;
        perror("SUBMITURB");
    }
    return err;
}

void discardSubmitted(BulkReader *r) {
    for (BulkBuffer &s : r->buffers) {
        if (s.started != slotSubmitted) continue;
        moveSlot(&s, slotCancelling);
        // Fails for a request that has completed already; it is reaped all the same.
        discardUrb(r->fd, &s.urb);
    }
}

// Reaps until the kernel holds none of the reader's requests, so that none of
// its later writes can land in the record after it is freed or reused.
void reapCancelled(BulkReader *r) {
    while (anyInState(r, isKernels)) {
        BulkUrb *which;
        int err = reapUrb(r->fd, &which);
        // EFAULT: a request was consumed though its results could not be
        // written back, and others may still come.
        if (err == EINTR || err == EFAULT) continue;
        if (err) {
            // The device is gone or the descriptor closed: the kernel has let
            // go of every request, and waiting would never end.
            for (BulkBuffer &s : r->buffers)
                if (isKernels(s.started)) moveSlot(&s, slotIdle);
            return;
        }
        // Another reader's request on the same descriptor: the two would
        // reap each other's transfers, and one of them would wait forever.
        my_assert(isOwnRequest(r, which));
        moveSlot(slotOf(r, which), slotIdle);
    }
}

// Discards and reaps every request still queued, once no other call works the
// descriptor.
void drainRequests(BulkReader *r) {
    waitWhileBusy(r);
    takeBusy(r);
    // Again: a read woken by a detach may have given its last slot back meanwhile.
    discardSubmitted(r);
    reapCancelled(r);
    releaseBusy(r);
}

}  // namespace

void moveSlot(BulkBuffer *slot, SlotState to) {
    my_assert(mayMove(slot->started, to));
    slot->started = to;
}

int queueRequests(BulkReader *reader, BulkBuffer *single) {
    if (single) return submitSlot(reader, single);
    for (BulkBuffer &s : reader->buffers) {
        if (s.started != slotIdle) continue;
        if (int err = submitSlot(reader, &s)) return err;
    }
    return 0;
}

int attachReader(int fd, int ep, BulkReader **reader) {
    auto *r = static_cast<BulkReader *>(calloc(1, sizeof(BulkReader)));
    if (!r) return kReaderNoMemory;
    r->active = 1;
    r->fd = fd;
    r->ep = static_cast<uint8_t>(ep);
    r->urbTemplate.type = USBDEVFS_URB_TYPE_BULK;
    r->urbTemplate.endpoint = r->ep;
    r->urbTemplate.buffer_length = kTransferBytes;
    r->generation = currentGeneration();
    int unwatched = watchDescriptor(fd, &r->watch);
    // A descriptor that cannot be watched still gets one submission: one that
    // is no device (a regular file, a closed number) fails it with the
    // kernel's own answer, which says more than epoll's refusal.
    int err = queueRequests(r, unwatched ? &r->buffers[0] : nullptr);
    if (err || unwatched) {
        // Still within the call that got the descriptor, so it is still the
        // file submitted to, watched or not.
        drainRequests(r);
        if (r->watch >= 0) close(r->watch);
        free(r);
        if (err) return err;
        // A reader that could not tell later whether the descriptor is still
        // its device could never be drained safely. epoll's EPERM (the file
        // cannot be polled) would read as a lack of permission.
        return unwatched == EPERM ? EOPNOTSUPP : unwatched;
    }
    *reader = r;
    return 0;
}

void detachReader(BulkReader *reader) {
    if (!ownsDescriptor(reader)) {
        reader->active = 0;
        return;
    }
    if (reader->active) {
        reader->active = 0;
        // A read blocked in another thread: these discards complete its wait,
        // and it ends without touching the ring again.
        if (busyState(reader)) discardSubmitted(reader);
    }
    drainRequests(reader);
}

void freeBulkReader(BulkReader *reader) {
    detachReader(reader);
    if (anyInState(reader, isKernels)) {
        fprintf(stderr,
                "sluice64: keeping a reader's %zu bytes allocated for good: the kernel may "
                "still complete its transfers, and descriptor %d may no longer be the "
                "device they were queued on\n",
                sizeof *reader, reader->fd);
        keepForTheKernel(reader);
        return;
    }
    if (reader->watch >= 0) close(reader->watch);
    free(reader);
}

int waitTransfer(BulkReader *reader, BulkUrb **which) {
    // In a forked child the transfers are the parent's.
    if (!reader->active || reader->generation != currentGeneration()) return kReaderDetached;
    // Two reads at once would both wait, and the slot lent to one of them
    // would be lost when the other overwrote `single`.
    if (busyState(reader)) return EBUSY;
    takeBusy(reader);
    int err = 0;
    if (BulkBuffer *slot = reader->single) {
        reader->single = nullptr;
        err = queueRequests(reader, slot);
    }
    while (!err) {
        if (!reader->active)
            err = kReaderDetached;  // detached while the lock was given up
        else if (!anyInState(reader, isSubmitted))
            err = ENOBUFS;  // every transfer has failed: nothing would ever complete
        else if (!(err = reapUrb(reader->fd, which)))
            return 0;  // the read stays busy until takeTransfer
        else if (err == EINTR)
            err = 0;
    }
    releaseBusy(reader);
    return err;
}

bool isOwnRequest(const BulkReader *reader, const BulkUrb *which) {
    uintptr_t offset = ringOffset(reader, which);
    return offset < sizeof reader->buffers && offset % sizeof(BulkBuffer) == 0;
}

int takeTransfer(BulkReader *reader, BulkBuffer *b, int *length) {
    int status = b->urb.status;
    moveSlot(b, reader->active && !status ? slotLent : slotIdle);
    releaseBusy(reader);
    if (!reader->active) return kReaderDetached;
    // usbdevfs reports a failed transfer as a negative errno; INT_MIN has no negation.
    if (status) return status < 0 && status != INT_MIN ? -status : EIO;
    reader->single = b;
    int n = b->urb.actual_length;
    *length = n < 0 ? 0 : n > kTransferBytes ? kTransferBytes : n;
    return 0;
}

int readTransfer(BulkReader *reader, const byte_t **data, int *length) {
    BulkUrb *which;
    if (int err = waitTransfer(reader, &which)) return err;
    // A request of another reader on the same descriptor points into a record
    // that may be gone: only the reader's own slots are looked at.
    BulkBuffer *b =
        isOwnRequest(reader, which) ? static_cast<BulkBuffer *>(which->usercontext) : nullptr;
    if (!b || &b->urb != which) __my_assert("&b->urb == which", __FILE__, __func__, __LINE__);
    if (int err = takeTransfer(reader, b, length)) return err;
    *data = b->data;
    return 0;
}
