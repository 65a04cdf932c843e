#include "core/sluice/usbdevfs.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <stddef.h>
#include <sys/ioctl.h>

#define SAME_MEMBER(m)                                                 \
    static_assert(offsetof(BulkUrb, m) == offsetof(usbdevfs_urb, m) && \
                      sizeof(BulkUrb::m) == sizeof(usbdevfs_urb::m),   \
                  "BulkUrb::" #m " differs from the kernel's usbdevfs_urb")
SAME_MEMBER(type);
SAME_MEMBER(endpoint);
SAME_MEMBER(status);
SAME_MEMBER(flags);
SAME_MEMBER(buffer);
SAME_MEMBER(buffer_length);
SAME_MEMBER(actual_length);
SAME_MEMBER(start_frame);
SAME_MEMBER(number_of_packets);
SAME_MEMBER(error_count);
SAME_MEMBER(signr);
SAME_MEMBER(usercontext);
#undef SAME_MEMBER
static_assert(sizeof(BulkUrb) == sizeof(usbdevfs_urb), "BulkUrb differs from usbdevfs_urb");

namespace {

void *keepLock() {
    return nullptr;
}
void takeLock(void *) {}

int lockFreeIoctl(int fd, unsigned long request, void *arg) {
    void *saved = bulkLockHooks.release();
    int rc = ioctl(fd, request, arg);
    int err = rc < 0 ? errno : 0;
    bulkLockHooks.reacquire(saved);
    return err;
}

}  // namespace

LockHooks bulkLockHooks = {keepLock, takeLock};

int submitUrb(int fd, BulkUrb *urb) {
    return lockFreeIoctl(fd, USBDEVFS_SUBMITURB, urb);
}

int discardUrb(int fd, BulkUrb *urb) {
    return lockFreeIoctl(fd, USBDEVFS_DISCARDURB, urb);
}

int reapUrb(int fd, BulkUrb **which) {
    return lockFreeIoctl(fd, USBDEVFS_REAPURB, which);
}
