// The bulk reader: a ring of 16 transfers kept queued on a usbdevfs
// descriptor, each completed transfer lent to the caller in place.
//
// Every function here is called with the caller's lock held (in the module,
// the interpreter lock) and gives it up only inside the usbdevfs calls of
// usbdevfs.h; the record is read and written with the lock held only.
#pragma once

#include <stdint.h>

#include "common/basic.h"
#include "core/sluice/usbdevfs.h"

constexpr int kRingSlots = 16;
constexpr int kTransferBytes = 16384;

// Where a slot is in its cycle, kept in the slot's `started` byte. Only
// moveSlot changes it, and only along these arrows:
//
//             attach              reaped, status 0
//    idle -------------> submitted -----------------> lent
//    ^  ^                 |  |  ^                      |  |
//    |  |   reaped with a |  |  |   given back by the  |  |
//    |  +-----------------+  |  +----------------------+  |
//    |      failed status    |      next read             |
//    |                       | discarded (detach)         |
//    |                       v                            |
//    +------------------ cancelling                       |
//    |  reaped, or the device is gone                     |
//    +----------------------------------------------------+
//       its resubmission failed
//
// Submitted and cancelling slots are the kernel's: the module neither writes
// them nor frees them. A lent slot is the one `single` points at; its data
// is the caller's until the next read. Idle is final unless attach submits.
enum SlotState : uint8_t {
    slotIdle = 0,
    slotSubmitted = 1,
    slotCancelling = 2,
    slotLent = 3,
};

struct BulkBuffer {
    byte_t data[kTransferBytes];  // first: the slot's address is its data's address
    BulkUrb urb;
    SlotState started;
};

struct BulkReader {
    int32_t active;
    int32_t fd;
    uint8_t ep;
    BulkUrb urbTemplate;
    BulkBuffer buffers[kRingSlots];
    BulkBuffer *single;
    // 1 while a read, or the drain of a detach, works the descriptor; a futex
    // word, so that a detach can sleep until a read in another thread is over.
    uint32_t busy;
    // An epoll set holding `fd` (-1 only while an attach that could not
    // watch it fails): it tells whether the number still names the file the
    // reader was attached to, without keeping that file open.
    int32_t watch;
    // The process generation that attached (see bulk_ring.cpp): a forked
    // child shares the descriptor but not the transfers.
    uint32_t generation;
};

// The only way a slot changes state; a move the diagram above does not draw
// ends the process through the assertion routine.
void moveSlot(BulkBuffer *slot, SlotState to);

// What a failed call returns besides errno values.
constexpr int kReaderDetached = -1;
constexpr int kReaderNoMemory = -2;

// Allocates a reader (one zero-filled block) and submits all 16 transfers.
// Returns 0 with *reader set, kReaderNoMemory, or the errno of a failed
// submission (ENOTTY for a file that is no device, EBADF for a closed
// descriptor), after which every transfer submitted before it has been
// discarded and reaped and the record freed. A descriptor that cannot be
// watched (see `watch`) gets one submission only; when it takes it, that
// transfer is discarded and reaped too and the attach fails with EOPNOTSUPP
// for a file that cannot be polled, or with the errno of whatever else kept
// it from being watched (EMFILE, ENOMEM, ENOSPC, ...).
int attachReader(int fd, int ep, BulkReader **reader);

// With `single` null submits every idle slot, in index order, stopping at the
// first failure; otherwise submits that one slot. Returns 0 or the errno of
// the failed submission, which is also reported on stderr ("SUBMITURB: ...").
int queueRequests(BulkReader *reader, BulkBuffer *single);

// Marks the reader detached, discards its queued transfers and reaps every one
// of them, so that nothing of it stays on the descriptor; a read in progress
// in another thread is woken and ends with kReaderDetached first. The slot
// handed out last keeps its data. A second call finds nothing to do. When the
// reader cannot be sure that the descriptor still holds its file (closed, its
// number reused, a file it cannot watch) or the call comes from a forked
// child, the descriptor is left alone, as it may be another reader's now,
// and the slots stay the kernel's.
void detachReader(BulkReader *reader);

// detachReader, then frees the record; unless the kernel may still hold one
// of its requests (see detachReader): the record is then kept for good, so
// that a late completion writes into memory nobody else uses, and stderr
// says so.
void freeBulkReader(BulkReader *reader);

// A read in two steps, so that the caller can check the request it got before
// the slot is trusted. waitTransfer gives the slot handed out last back to the
// kernel and waits for a completion: 0 with *which set, kReaderDetached,
// EBUSY while another read on the reader is in progress, ENOBUFS when no
// transfer is left queued, or the errno of the submission or the wait.
int waitTransfer(BulkReader *reader, BulkUrb **which);
// Whether `which` is the request of one of the reader's own slots.
bool isOwnRequest(const BulkReader *reader, const BulkUrb *which);
// Ends the read that waitTransfer began with the completion of slot `b`:
// 0 with *length set and the slot handed out, kReaderDetached when the reader
// was detached during the wait, or the errno of a failed transfer.
int takeTransfer(BulkReader *reader, BulkBuffer *b, int *length);

// One whole read: waitTransfer, then takeTransfer of the slot whose request
// was reaped. 0 with *data and *length set to the transfer handed out (valid
// until the next read on the reader), or an error as those two return. A
// reaped request that is not one of the reader's own slots is never read
// through: it ends the process with an assertion.
int readTransfer(BulkReader *reader, const byte_t **data, int *length);
