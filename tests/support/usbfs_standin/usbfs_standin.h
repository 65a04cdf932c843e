/* usbdevfs stand-in: a grabber on a descriptor, for tests on machines without
 * USB. Preloaded (LD_PRELOAD=.../libusbfs_standin.so, after the sanitizer
 * runtime when there is one), it answers the usbdevfs ioctls made on the
 * descriptors registered with it and passes every other ioctl to the C
 * library. Test-only: the modules never link it.
 *
 * The device has one bulk IN endpoint (0x81 unless set otherwise) and behaves
 * as the kernel does towards a program:
 *   SUBMITURB   checks the request (bulk type, the device's endpoint, a buffer
 *               for a non-zero length, known flags) and queues it; ENOENT for
 *               another endpoint, EINVAL for the rest and for a request block
 *               that is already queued (counted as a violation, see below).
 *   REAPURB     blocks until a request completes and hands back its address,
 *               writing its data into its buffer and its status and
 *               actual_length into the request block only then, as the
 *               kernel does; fails with EINTR when a signal handler runs.
 *   REAPURBNDELAY  the same without blocking: EAGAIN when nothing is ready.
 *   DISCARDURB  makes a queued request reapable at once with status -ENOENT;
 *               EINVAL for one that has completed (it is still to be reaped).
 *   after an unplug: requests in flight complete with the unplug status,
 *               completed ones are still reaped, and from then on SUBMITURB
 *               and DISCARDURB, and the reaps once nothing is left, fail with
 *               ENODEV, as do the other usbdevfs requests. The kernel cuts
 *               requests off with -EPROTO or -ESHUTDOWN, either one from run
 *               to run; a test picks the status, and plays a mixture with
 *               fail_next(-EPROTO) before the unplug.
 *   CLEAR_HALT  (a pointer to the endpoint number) clears a halt, below;
 *               EINVAL for a number with bits other than direction and
 *               endpoint number, ENOENT for an endpoint the device lacks.
 *   CLAIMINTERFACE, RELEASEINTERFACE, SETINTERFACE, SETCONFIGURATION,
 *   RESETEP, RESET, IOCTL (DISCONNECT, CONNECT), DISCONNECT_CLAIM
 *               succeed and change nothing (a halt stays); CONNECTINFO and
 *               GET_CAPABILITIES answer; GET_SPEED returns high speed;
 *               anything else fails with ENOTTY.
 *
 * Requests complete in the order they were queued, from the device's stream,
 * when the stream has something for them: a run of bytes (each `feed` is one
 * run; a request takes up to its length of the run, and the end of a run ends
 * a transfer short, so a feed of 0 bytes is a zero-length transfer), a
 * failure (the request completes with that status and no data, and the next
 * one goes on), or a delay.
 *
 * A stall halts the endpoint, as on the kernel: every request queued
 * completes at once with -EPIPE and no data, and so does every request
 * submitted later, until the program clears the halt (CLEAR_HALT) or the
 * device does (usbfs_standin_halt); the stream then goes on where it stopped.
 * A single request failed with -EPIPE while the others go on, which the
 * kernel gives when one request was in flight and the device cleared the
 * halt before the next, is a scripted failure.
 *
 * A separate program reaches the stand-in through the environment, read at
 * its first usbdevfs ioctl:
 *   USBFS_STANDIN_DEVICE=path      any descriptor whose /proc/self/fd link
 *                                  resolves to this file becomes a device at
 *                                  its first usbdevfs ioctl (the file itself
 *                                  is only opened, never read or written; a
 *                                  FIFO, which sluice64 can poll as it does
 *                                  a device node)
 *   USBFS_STANDIN_STREAM=source    what such a device sends:
 *        file:PATH                 the file's bytes, as one run
 *        synthetic:WxH[:FRAMES]    the tile-stream encoder's animated test
 *                                  pattern, frame 0 onward; FRAMES frames, or
 *                                  without end when FRAMES is 0 or left out
 *      without it the device never sends anything.
 *   USBFS_STANDIN_UPDATE=changed|full  synthetic: send the tiles that differ
 *                                  from the previous frame (default), or every
 *                                  tile of every frame
 *   USBFS_STANDIN_FPS=N            synthetic: frame k is sent no earlier than
 *                                  k/N seconds after the first (default: as
 *                                  fast as it is read); each frame then ends
 *                                  its last transfer short
 *   USBFS_STANDIN_STALL_AFTER=N[,N...]  the endpoint halts after N
 *                                  transfers (0: before the first) until the
 *                                  program clears it with CLEAR_HALT; again
 *                                  at each further count
 *   USBFS_STANDIN_REPLUG=N:MS[,N:MS...]  the device is pulled after N
 *                                  transfers (requests in flight complete
 *                                  with -EPROTO) and stays away MS
 *                                  milliseconds: a descriptor opened on the
 *                                  node meanwhile answers ENODEV. One opened
 *                                  later is the device plugged in again, with
 *                                  the next pair; it goes on with the
 *                                  synthetic pattern from the next frame,
 *                                  sent in full, as a grabber starting over
 *   USBFS_STANDIN_AT_END=idle|unplug  when the source is used up: requests
 *                                  stay queued (default), or, once the last
 *                                  data has been reaped, the device is
 *                                  unplugged with status -ESHUTDOWN. Unlike
 *                                  here, a real device that goes right after
 *                                  its last short write may lose that
 *                                  transfer (it completes with -EPROTO, and
 *                                  the frame it ends never arrives); here it
 *                                  always arrives, so that a capture's frame
 *                                  count is exact
 *   USBFS_STANDIN_ENDPOINT=N       the bulk IN endpoint (default 0x81)
 *   USBFS_STANDIN_LOG=path         append one text line per usbdevfs ioctl
 *                                  answered, for any device
 * Devices made this way do not keep the in-memory record below.
 *
 * The C API, for tests through ctypes (tools/python/usbfs_standin.py). Every
 * function takes the registered descriptor and returns 0 (or a count) on
 * success, -1 with errno set on failure (EBADF for a descriptor that is not
 * registered). */
#ifndef USBFS_STANDIN_H
#define USBFS_STANDIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define USBFS_STANDIN_API __attribute__((visibility("default")))

enum {
    USBFS_STANDIN_SUBMIT = 1,
    USBFS_STANDIN_DISCARD = 2,
    USBFS_STANDIN_REAP = 3,
    USBFS_STANDIN_REAP_NDELAY = 4,
    USBFS_STANDIN_OTHER = 5,
};

/* One usbdevfs ioctl as the device saw it. */
typedef struct UsbfsStandinCall {
    uint64_t sequence; /* order among the calls of all devices of the process */
    uint32_t request;  /* the ioctl request number */
    int32_t kind;      /* USBFS_STANDIN_SUBMIT ... */
    int32_t result;    /* what ioctl returned */
    int32_t error;     /* its errno when result is -1, else 0 */
    /* SUBMITURB, DISCARDURB: the argument; REAPURB*: the request handed back
     * (null when the reap failed). */
    const void *urb;
    /* The request's fields: as submitted for SUBMITURB and DISCARDURB (zero
     * for a request the device does not hold), as written back for a reap. */
    const void *buffer;
    const void *usercontext;
    int32_t type, endpoint, status, flags, buffer_length, actual_length;
    int32_t start_frame, number_of_packets, error_count, signr;
} UsbfsStandinCall;

/* Makes `fd` (any open descriptor: a pipe, /dev/null...) a device with an
 * empty stream. EEXIST if it is one already. Closing the descriptor
 * unregisters it, as does: */
USBFS_STANDIN_API int usbfs_standin_register(int fd);
USBFS_STANDIN_API int usbfs_standin_unregister(int fd);
USBFS_STANDIN_API int usbfs_standin_set_endpoint(int fd, int endpoint);

/* The stream. */
USBFS_STANDIN_API int usbfs_standin_feed(int fd, const void *data, int length);
USBFS_STANDIN_API int usbfs_standin_feed_file(int fd, const char *path);
/* The next request to complete after what is queued gets `status` (e.g.
 * -EPROTO) and no data; the requests after it go on. */
USBFS_STANDIN_API int usbfs_standin_fail_next(int fd, int status);
/* What follows completes no sooner than `microseconds` after the stream
 * reaches this point with a request waiting. */
USBFS_STANDIN_API int usbfs_standin_delay(int fd, int microseconds);
/* The encoder's test pattern, as USBFS_STANDIN_STREAM=synthetic: `frames`
 * frames (0: no end), `fps` frames a second (0: unpaced), every tile of every
 * frame when `full` is non-zero. After what is already queued. */
USBFS_STANDIN_API int usbfs_standin_synthetic(int fd, int w, int h, int frames, double fps,
                                              int full);
/* The endpoint halts after `transfers` more transfers (0: at the next
 * request); negative: no halt to come. */
USBFS_STANDIN_API int usbfs_standin_stall_after(int fd, int transfers);
/* The device halts its endpoint now (non-zero) or clears its halt (0). */
USBFS_STANDIN_API int usbfs_standin_halt(int fd, int on);
/* The submission `after` submissions from now (0: the next) fails with `error`. */
USBFS_STANDIN_API int usbfs_standin_refuse_submit(int fd, int after, int error);
/* Unplugs now; requests in flight complete with `status` (-EPROTO, -ESHUTDOWN). */
USBFS_STANDIN_API int usbfs_standin_unplug(int fd, int status);
/* When non-zero, the device unplugs itself (-ESHUTDOWN) once its stream is
 * used up and every transfer with data has been reaped. */
USBFS_STANDIN_API int usbfs_standin_unplug_at_end(int fd, int on);

/* Requests the device holds: queued, or completed and not yet reaped. */
USBFS_STANDIN_API int usbfs_standin_held(int fd);
/* Of those, the ones completed and waiting to be reaped. */
USBFS_STANDIN_API int usbfs_standin_completed(int fd);
/* Threads blocked in REAPURB on the device right now. */
USBFS_STANDIN_API int usbfs_standin_waiting(int fd);
/* Calls that broke the rules a real kernel would not check: a request block
 * submitted again while still queued. */
USBFS_STANDIN_API int usbfs_standin_violations(int fd);

/* The record of calls, on by default for registered descriptors. */
USBFS_STANDIN_API int usbfs_standin_record(int fd, int on);
USBFS_STANDIN_API int usbfs_standin_call_count(int fd);
USBFS_STANDIN_API int usbfs_standin_get_call(int fd, int index, UsbfsStandinCall *out);
USBFS_STANDIN_API int usbfs_standin_clear_calls(int fd);

#ifdef __cplusplus
}
#endif

#endif
