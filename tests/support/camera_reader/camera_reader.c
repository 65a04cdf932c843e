/* camera_reader: reads a V4L2 capture device through mmap buffers, as video
 * calls and browsers read a camera, and keeps the last frame.
 *
 *   camera_reader DEVICE FRAMES OUTPUT
 *
 * Waits up to 30 s for DEVICE to offer capture (a v4l2loopback device with
 * exclusive_caps=1 does once its writer has sent a frame), reads FRAMES
 * frames, writes the last one's bytes (bytesperline x height) to OUTPUT and
 * prints "format FOURCC WIDTH HEIGHT BYTESPERLINE frames N SECONDS": N-1
 * frames arrived in SECONDS after the first. */
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

enum { kBuffers = 4, kWaitSeconds = 30, kFrameTimeoutMs = 10000 };

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int xioctl(int fd, unsigned long request, void *arg) {
    int r;
    do {
        r = ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

static int fail(const char *what) {
    fprintf(stderr, "camera_reader: %s: %s\n", what, strerror(errno));
    return 1;
}

/* The device open once it offers capture, or -1. */
static int open_capture(const char *path) {
    double deadline = now() + kWaitSeconds;
    while (now() < deadline) {
        int fd = open(path, O_RDWR);
        if (fd >= 0) {
            struct v4l2_capability cap;
            memset(&cap, 0, sizeof cap);
            unsigned caps = 0;
            if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == 0)
                caps = cap.capabilities & V4L2_CAP_DEVICE_CAPS ? cap.device_caps : cap.capabilities;
            if (caps & V4L2_CAP_VIDEO_CAPTURE) return fd;
            close(fd);
        }
        usleep(50000);
    }
    errno = ETIMEDOUT;
    return -1;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: camera_reader DEVICE FRAMES OUTPUT\n");
        return 2;
    }
    long frames = strtol(argv[2], NULL, 10);
    if (frames < 1) {
        fprintf(stderr, "camera_reader: FRAMES must be above 0\n");
        return 2;
    }
    int fd = open_capture(argv[1]);
    if (fd < 0) return fail("no capture device");
    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_G_FMT, &fmt) < 0) return fail("VIDIOC_G_FMT");
    struct v4l2_requestbuffers req;
    memset(&req, 0, sizeof req);
    req.count = kBuffers;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd, VIDIOC_REQBUFS, &req) < 0 || req.count < 1) return fail("VIDIOC_REQBUFS");
    if (req.count > kBuffers) req.count = kBuffers;
    void *maps[kBuffers];
    size_t lengths[kBuffers];
    for (unsigned i = 0; i < req.count; i++) {
        struct v4l2_buffer buf;
        memset(&buf, 0, sizeof buf);
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(fd, VIDIOC_QUERYBUF, &buf) < 0) return fail("VIDIOC_QUERYBUF");
        lengths[i] = buf.length;
        maps[i] = mmap(NULL, buf.length, PROT_READ, MAP_SHARED, fd, buf.m.offset);
        if (maps[i] == MAP_FAILED) return fail("mmap");
        if (xioctl(fd, VIDIOC_QBUF, &buf) < 0) return fail("VIDIOC_QBUF");
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_STREAMON, &type) < 0) return fail("VIDIOC_STREAMON");

    size_t frame_bytes = (size_t)fmt.fmt.pix.bytesperline * fmt.fmt.pix.height;
    unsigned char *last = malloc(frame_bytes);
    if (!last) return fail("malloc");
    double first = 0;
    for (long n = 0; n < frames; n++) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kFrameTimeoutMs) <= 0) {
            fprintf(stderr, "camera_reader: no frame %ld within %d ms\n", n, kFrameTimeoutMs);
            return 1;
        }
        struct v4l2_buffer buf;
        memset(&buf, 0, sizeof buf);
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd, VIDIOC_DQBUF, &buf) < 0) return fail("VIDIOC_DQBUF");
        if (n == 0) first = now();
        if (buf.index >= req.count || lengths[buf.index] < frame_bytes) {
            fprintf(stderr, "camera_reader: buffer %u does not hold a frame\n", buf.index);
            return 1;
        }
        if (n == frames - 1) memcpy(last, maps[buf.index], frame_bytes);
        if (xioctl(fd, VIDIOC_QBUF, &buf) < 0) return fail("VIDIOC_QBUF");
    }
    double seconds = now() - first;
    xioctl(fd, VIDIOC_STREAMOFF, &type);
    FILE *out = fopen(argv[3], "wb");
    if (!out || fwrite(last, 1, frame_bytes, out) != frame_bytes || fclose(out) != 0)
        return fail(argv[3]);
    unsigned code = fmt.fmt.pix.pixelformat;
    printf("format %c%c%c%c %u %u %u frames %ld %.3f\n", code & 0xff, (code >> 8) & 0xff,
           (code >> 16) & 0xff, code >> 24, fmt.fmt.pix.width, fmt.fmt.pix.height,
           fmt.fmt.pix.bytesperline, frames, seconds);
    free(last);
    return 0;
}
