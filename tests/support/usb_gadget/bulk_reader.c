/* bulk_reader: the plainest usbdevfs reader, the baseline of the throughput
 * comparison. It keeps 16 bulk requests of 16384 bytes queued on one IN
 * endpoint and resubmits each as soon as it is reaped, doing nothing with the
 * data.
 *
 *   bulk_reader DEVICE ENDPOINT BYTES
 *
 * Reads until BYTES have arrived and prints "read TOTAL TIMED SECONDS": TIMED
 * bytes arrived in SECONDS after the first request completed. */
#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

enum { kRequests = 16, kRequestBytes = 16384 };

struct Slot {
    unsigned char data[kRequestBytes];
    struct usbdevfs_urb urb;
    int submitted;
};

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int submit(int fd, int ep, struct Slot *s) {
    memset(&s->urb, 0, sizeof s->urb);
    s->urb.type = USBDEVFS_URB_TYPE_BULK;
    s->urb.endpoint = (unsigned char)ep;
    s->urb.buffer = s->data;
    s->urb.buffer_length = kRequestBytes;
    s->urb.usercontext = s;
    s->submitted = ioctl(fd, USBDEVFS_SUBMITURB, &s->urb) == 0;
    return s->submitted;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bulk_reader DEVICE ENDPOINT BYTES\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR);
    const int ep = (int)strtol(argv[2], NULL, 0);
    const long long want = atoll(argv[3]);
    unsigned int intf = 0;
    if (fd < 0 || ioctl(fd, USBDEVFS_CLAIMINTERFACE, &intf) != 0) {
        perror("bulk_reader: open");
        return 1;
    }
    static struct Slot slots[kRequests];
    for (int i = 0; i < kRequests; ++i)
        if (!submit(fd, ep, &slots[i])) {
            perror("bulk_reader: SUBMITURB");
            return 1;
        }

    long long total = 0, timed = 0;
    double first = 0, last = 0;
    int status = 0;
    while (total < want) {
        struct usbdevfs_urb *done;
        if (ioctl(fd, USBDEVFS_REAPURB, &done) != 0) {
            if (errno == EINTR) continue;
            perror("bulk_reader: REAPURB");
            status = 1;
            break;
        }
        struct Slot *s = done->usercontext;
        s->submitted = 0;
        if (done->status != 0) {
            fprintf(stderr, "bulk_reader: transfer failed: %s\n", strerror(-done->status));
            status = 1;
            break;
        }
        last = now();
        if (total == 0)
            first = last;
        else
            timed += done->actual_length;
        total += done->actual_length;
        if (total < want && !submit(fd, ep, s)) {
            perror("bulk_reader: SUBMITURB");
            status = 1;
            break;
        }
    }
    /* Give back every request still queued before the slots go away. */
    int queued = 0;
    for (int i = 0; i < kRequests; ++i)
        if (slots[i].submitted) {
            ioctl(fd, USBDEVFS_DISCARDURB, &slots[i].urb);
            ++queued;
        }
    while (queued > 0) {
        struct usbdevfs_urb *done;
        if (ioctl(fd, USBDEVFS_REAPURB, &done) == 0)
            --queued;
        else if (errno != EINTR)
            break;
    }
    close(fd);
    printf("read %lld %lld %.6f\n", total, timed, last - first);
    return status;
}
