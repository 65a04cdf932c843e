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

// Who owns a slot. The value is kept in the slot's `started` byte, so that
// `started` reads as the flag it is: 0 the module's, anything else the kernel's.
enum SlotState : uint8_t {
    slotIdle = 0,        // the module's: unused, or handed out when `single` points at it
    slotSubmitted = 1,   // the kernel's, the transfer pending
    slotCancelling = 2,  // discarded; still the kernel's until it is reaped
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
    // An epoll set holding `fd` (or -1 where the file cannot be watched): it
    // tells whether the number still names the file the reader was attached
    // to, without keeping that file open.
    int32_t watch;
    // The process generation that attached (see bulk_ring.cpp): a forked
    // child shares the descriptor but not the transfers.
    uint32_t generation;
};

// What a failed call returns besides errno values.
constexpr int kReaderDetached = -1;
constexpr int kReaderNoMemory = -2;

// Allocates a reader (one zero-filled block) and submits all 16 transfers.
// Returns 0 with *reader set, kReaderNoMemory, or the errno of a failed submission,
// after which every transfer submitted before it has been discarded and
// reaped and the record freed.
int attachReader(int fd, int ep, BulkReader **reader);

// With `single` null submits every idle slot, in index order, stopping at the
// first failure; otherwise submits that one slot. Returns 0 or the errno of
// the failed submission, which is also reported on stderr ("SUBMITURB: ...").
int queueRequests(BulkReader *reader, BulkBuffer *single);

// Marks the reader detached, discards its queued transfers and reaps every one
// of them, so that nothing of it stays on the descriptor; a read in progress
// in another thread is woken and ends with kReaderDetached first. The slot
// handed out last keeps its data. A second call finds nothing to do. When the
// descriptor no longer holds the reader's file (closed, or its number reused)
// or the call comes from a forked child, the descriptor is left alone: the
// kernel dropped the requests with the file, or they are the parent's.
void detachReader(BulkReader *reader);

// detachReader, then frees the record.
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
