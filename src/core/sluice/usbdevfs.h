// The three usbdevfs requests the bulk ring makes, one function each, with the
// caller's lock given up for the duration of each call.
#pragma once

#include <stdint.h>

// The kernel's struct usbdevfs_urb (linux/usbdevice_fs.h) without its trailing
// array of isochronous packet descriptors: a bulk request has none, and C++
// does not allow a struct ending in a flexible array inside another struct.
// The layout is checked against the kernel's in usbdevfs.cpp.
struct BulkUrb {
    unsigned char type;
    unsigned char endpoint;
    int status;
    unsigned int flags;
    void *buffer;
    int buffer_length;
    int actual_length;
    int start_frame;
    int number_of_packets;
    int error_count;
    unsigned int signr;
    void *usercontext;
};

// How the calls below give up and take back the caller's lock around each
// ioctl. The Python skin installs the interpreter lock; by default, and in
// tests that need none, both do nothing.
struct LockHooks {
    void *(*release)();
    void (*reacquire)(void *saved);
};
extern LockHooks bulkLockHooks;

// Each returns 0 or the ioctl's errno. errno is taken right after the ioctl,
// so it does not depend on what the hooks do with it.
int submitUrb(int fd, BulkUrb *urb);
int discardUrb(int fd, BulkUrb *urb);
// Blocks until a request on `fd` completes; stores its address in `*which`.
int reapUrb(int fd, BulkUrb **which);
