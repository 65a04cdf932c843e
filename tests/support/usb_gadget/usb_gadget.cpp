// usb_gadget: the user-space half of a FunctionFS function that behaves like
// the grabber: one vendor-specific interface with one bulk IN endpoint that
// carries the tile stream of the animated test pattern.
//
//   usb_gadget --ffs DIR [--udc-file PATH] [--width W] [--height H]
//
// DIR is a mounted functionfs instance; PATH is the gadget's configfs UDC
// file, written empty by "unplug". Commands come one per line on stdin; every
// command is answered with "ok CMD ..." or "fail CMD reason" on stdout, where
// the gadget also reports "ready", "frame N BYTES" before it sends frame N,
// and "event NAME" for each FunctionFS event.
//
//   frames N [cut]  N frames, each ending the transfer that carries its end,
//                   with a zero-length packet when it is a multiple of the
//                   packet size; with "cut", right after the padding marker.
//   send N [SIZE]   N transfers of SIZE bytes (a multiple of 512, default
//                   16384) cut from the endless stream.
//   flush           the rest of the frame in progress, ended like "frames".
//   zlp             a zero-length packet.
//   restart         drop what is not sent yet; the next frame is sent whole.
//                   Answers "ok restart N", N being the next frame's number.
//   stream BYTES [SIZE]  BYTES of pre-encoded whole frames (all tiles) in
//                   writes of SIZE bytes, as fast as the endpoint takes them;
//                   answers "ok stream BYTES SECONDS".
//   stall | clear   halt the endpoint / clear the halt.
//   pause MS        do nothing for MS milliseconds.
//   unplug          unbind the gadget from its controller (empty UDC file).
//   quit            exit (also on end of input).
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/tessera/tile_format.h"
#include "tile_encoder.h"

namespace {

constexpr int kMaxTransfer = 16384;  // the host's request size
constexpr int kPacket = 512;         // high-speed bulk packet

struct EndpointPair {
    usb_interface_descriptor intf;
    usb_endpoint_descriptor_no_audio ep;
} __attribute__((packed));

struct Descriptors {
    usb_functionfs_descs_head_v2 header;
    __le32 fsCount, hsCount;
    EndpointPair fs, hs;
} __attribute__((packed));

constexpr char kInterfaceName[] = "tile stream";

struct Strings {
    usb_functionfs_strings_head header;
    __le16 lang;
    char name[sizeof kInterfaceName];
} __attribute__((packed));

EndpointPair endpointPair(uint16_t maxPacket) {
    EndpointPair p = {};
    p.intf.bLength = sizeof p.intf;
    p.intf.bDescriptorType = USB_DT_INTERFACE;
    p.intf.bNumEndpoints = 1;
    p.intf.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    p.intf.iInterface = 1;
    p.ep.bLength = sizeof p.ep;
    p.ep.bDescriptorType = USB_DT_ENDPOINT;
    p.ep.bEndpointAddress = 1 | USB_DIR_IN;
    p.ep.bmAttributes = USB_ENDPOINT_XFER_BULK;
    p.ep.wMaxPacketSize = htole16(maxPacket);
    return p;
}

// Both threads answer on stdout; one write per line keeps lines whole.
__attribute__((format(printf, 1, 2))) void emit(const char *fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    n = std::min(std::max(n, 0), int(sizeof line) - 2);
    line[n++] = '\n';
    if (write(STDOUT_FILENO, line, size_t(n)) < 0) _exit(1);
}

[[noreturn]] void fatal(const char *what) {
    fprintf(stderr, "usb_gadget: %s: %s\n", what, strerror(errno));
    exit(1);
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Gadget {
    int ep0 = -1, ep1 = -1;
    std::string udcFile;
    int w = 320, h = 240;
    TsEncoder *enc = nullptr;
    int frameNumber = 0;
    bool whole = true;  // the next frame carries every tile
    std::vector<uint16_t> prev, cur;
    std::vector<uint8_t> mask, out, frame;
    size_t requestFill = 0;      // bytes in the host's request in progress (16384 each)
    std::vector<uint8_t> cycle;  // pre-encoded frames for "stream", plus one write of overlap
    size_t cycleLen = 0, cycleSize = 0;
};

const char *eventName(int type) {
    static const char *const names[] = {"BIND",  "UNBIND",  "ENABLE", "DISABLE",
                                        "SETUP", "SUSPEND", "RESUME"};
    return type >= 0 && type < int(sizeof names / sizeof *names) ? names[type] : "UNKNOWN";
}

void *eventLoop(void *arg) {
    const int ep0 = *static_cast<int *>(arg);
    usb_functionfs_event events[4];
    for (;;) {
        const ssize_t n = read(ep0, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR) continue;
            return nullptr;
        }
        for (size_t i = 0; i < size_t(n) / sizeof *events; ++i) {
            emit("event %s", eventName(events[i].type));
            // The function has no control requests of its own: refuse each by
            // stalling ep0, through an access against the request's direction.
            if (events[i].type == FUNCTIONFS_SETUP) {
                char dummy;
                if (events[i].u.setup.bRequestType & USB_DIR_IN)
                    (void)!read(ep0, &dummy, 0);
                else
                    (void)!write(ep0, &dummy, 0);
            }
        }
    }
}

void openFunction(Gadget &g, const std::string &dir) {
    g.ep0 = open((dir + "/ep0").c_str(), O_RDWR);
    if (g.ep0 < 0) fatal("open ep0");
    Descriptors d = {};
    d.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    d.header.length = htole32(sizeof d);
    d.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    d.fsCount = d.hsCount = htole32(2);
    d.fs = endpointPair(64);
    d.hs = endpointPair(kPacket);
    if (write(g.ep0, &d, sizeof d) != ssize_t(sizeof d)) fatal("write descriptors");
    Strings s = {};
    s.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    s.header.length = htole32(sizeof s);
    s.header.str_count = htole32(1);
    s.header.lang_count = htole32(1);
    s.lang = htole16(0x0409);
    memcpy(s.name, kInterfaceName, sizeof kInterfaceName);
    if (write(g.ep0, &s, sizeof s) != ssize_t(sizeof s)) fatal("write strings");
    g.ep1 = open((dir + "/ep1").c_str(), O_RDWR);
    if (g.ep1 < 0) fatal("open ep1");
}

// One transfer; a failure is answered by the caller's command.
bool writeTransfer(Gadget &g, const uint8_t *data, size_t len) {
    const ssize_t n = write(g.ep1, data, len);
    if (n != ssize_t(len)) {
        if (n >= 0) errno = EIO;  // the host took less than was queued
        return false;
    }
    // A short packet (or a zero-length one) ends the host's request; whole
    // packets fill it up to its size.
    g.requestFill = len % kPacket ? 0 : (g.requestFill + len) % kMaxTransfer;
    if (len == 0) g.requestFill = 0;
    return true;
}

// Queues the next frame of the pattern: the first (and the first after a
// restart) whole, the rest as the tiles that differ from the frame before, as
// a grabber sends them. Returns the frame's length in the stream.
size_t putNextFrame(Gadget &g) {
    const int tilesW = (g.w + 15) / 16;
    tsTestPattern(g.cur.data(), g.w, g.h, g.frameNumber);
    const uint8_t *tileMask = nullptr;
    if (!g.whole) {
        std::fill(g.mask.begin(), g.mask.end(), 0);
        for (int y = 0; y < g.h; ++y)
            for (int x = 0; x < g.w; ++x)
                if (g.cur[size_t(y) * g.w + x] != g.prev[size_t(y) * g.w + x])
                    g.mask[size_t(y / 16) * tilesW + x / 16] = 1;
        tileMask = g.mask.data();
    }
    const size_t before = tsEncoderPending(g.enc);
    tsEncoderPutFrame(g.enc, g.cur.data(), tileMask);
    g.prev.swap(g.cur);
    ++g.frameNumber;
    g.whole = false;
    return tsEncoderPending(g.enc) - before;
}

// Ends the host's request in progress, if any, as a device ends a frame.
bool endRequest(Gadget &g) {
    return g.requestFill == 0 || writeTransfer(g, g.out.data(), 0);
}

bool flushFrame(Gadget &g) {
    while (tsEncoderPending(g.enc) > 0) {
        const int n = tsEncoderTakeTransfer(g.enc, g.out.data(), kMaxTransfer);
        if (!writeTransfer(g, g.out.data(), size_t(n))) return false;
    }
    return endRequest(g);
}

// Where a frame's padding marker stands, or its length when it needs none.
size_t paddingAt(const std::vector<uint8_t> &f) {
    size_t p = 0;
    while (p + 4 <= f.size()) {
        const unsigned colour = f[p] | f[p + 1] << 8, header = f[p + 2] | f[p + 3] << 8;
        if (colour == kPaddingWord && header == kPaddingWord) return p;
        p += header & kFillFlag ? kFillPacketBytes : kPixelPacketBytes;
    }
    return f.size();
}

// Whole frames, each ending its last transfer. With `cut`, the transfer ends
// right after the padding marker, the filler behind it left unsent: a short
// packet of whatever length that gives.
bool sendFrames(Gadget &g, long count, bool cut) {
    if (!flushFrame(g)) return false;
    for (long i = 0; i < count; ++i) {
        g.frame.resize(putNextFrame(g));
        for (size_t off = 0; off < g.frame.size();)
            off += size_t(tsEncoderTakeTransfer(g.enc, g.frame.data() + off, kMaxTransfer));
        const size_t len = cut ? std::min(g.frame.size(), paddingAt(g.frame) + 4) : g.frame.size();
        emit("frame %d %zu", g.frameNumber - 1, len);
        for (size_t off = 0; off < len; off += kMaxTransfer)
            if (!writeTransfer(g, g.frame.data() + off, std::min(len - off, size_t(kMaxTransfer))))
                return false;
        if (!endRequest(g)) return false;
    }
    return true;
}

bool sendTransfers(Gadget &g, long count, int size) {
    for (long i = 0; i < count; ++i) {
        while (tsEncoderPending(g.enc) < size_t(size)) {
            const size_t len = putNextFrame(g);
            emit("frame %d %zu", g.frameNumber - 1, len);
        }
        const int n = tsEncoderTakeTransfer(g.enc, g.out.data(), size);
        if (!writeTransfer(g, g.out.data(), size_t(n))) return false;
    }
    return true;
}

// "stream" writes from memory so that the encoder's cost stays out of the
// throughput figures.
void prepareCycle(Gadget &g, int size) {
    if (g.cycleSize == size_t(size)) return;
    TsEncoder *enc = tsEncoderNew(g.w, g.h, kMaxTransfer);
    std::vector<uint16_t> frame(size_t(g.w) * g.h);
    for (int i = 0; i < 4; ++i) {
        tsTestPattern(frame.data(), g.w, g.h, i);
        tsEncoderPutFrame(enc, frame.data(), nullptr);
    }
    g.cycleLen = tsEncoderPending(enc);
    g.cycle.resize(g.cycleLen + size_t(size));
    for (size_t off = 0; off < g.cycleLen;)
        off += size_t(tsEncoderTakeTransfer(enc, g.cycle.data() + off, kMaxTransfer));
    for (size_t i = 0; i < size_t(size); ++i) g.cycle[g.cycleLen + i] = g.cycle[i % g.cycleLen];
    g.cycleSize = size_t(size);
    tsEncoderFree(enc);
}

bool streamBytes(Gadget &g, long long bytes, int size, double *seconds) {
    prepareCycle(g, size);
    const double start = now();
    size_t off = 0;
    for (long long left = bytes; left > 0;) {
        const size_t n = size_t(std::min<long long>(left, size));
        if (!writeTransfer(g, g.cycle.data() + off, n)) return false;
        off = (off + n) % g.cycleLen;
        left -= (long long)n;
    }
    *seconds = now() - start;
    return true;
}

bool unplug(const Gadget &g) {
    const int fd = open(g.udcFile.c_str(), O_WRONLY);
    if (fd < 0) return false;
    const bool ok = write(fd, "\n", 1) == 1;
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

bool halt(const Gadget &g) {
    // FunctionFS halts an IN endpoint when its file is read; EBADMSG is its
    // answer when the halt took effect.
    char dummy;
    if (read(g.ep1, &dummy, 1) < 0 && errno == EBADMSG) return true;
    if (errno == 0) errno = EIO;
    return false;
}

// Runs one command line; returns false on "quit".
bool runCommand(Gadget &g, const char *line) {
    char cmd[32] = "";
    long long a = 0, b = 0;
    const int fields = sscanf(line, "%31s %lld %lld", cmd, &a, &b);
    if (fields < 1) return true;
    const std::string c = cmd;
    errno = 0;
    bool ok = true;
    double seconds = 0;
    const int size = fields >= 3 ? int(b) : kMaxTransfer;
    if (c == "quit") {
        return false;
    } else if (c == "frames" && fields >= 2) {
        char mode[16] = "";
        ok = sendFrames(g, long(a),
                        sscanf(line, "%*s %*d %15s", mode) == 1 && std::string(mode) == "cut");
    } else if (c == "send" && fields >= 2 && size >= kPacket && size <= kMaxTransfer &&
               size % kPacket == 0) {
        ok = sendTransfers(g, long(a), size);
    } else if (c == "zlp") {
        ok = writeTransfer(g, g.out.data(), 0);
    } else if (c == "flush") {
        ok = flushFrame(g);
    } else if (c == "stream" && fields >= 2 && size >= kPacket && size % kPacket == 0 &&
               size <= (1 << 20)) {
        ok = streamBytes(g, a, size, &seconds);
        if (ok) {
            emit("ok stream %lld %.6f", a, seconds);
            return true;
        }
    } else if (c == "restart") {
        // What a device does when a new host connects: unsent bytes are
        // dropped and the next frame starts whole.
        tsEncoderFree(g.enc);
        g.enc = tsEncoderNew(g.w, g.h, kMaxTransfer);
        g.whole = true;
        emit("ok restart %d", g.frameNumber);
        return true;
    } else if (c == "stall") {
        ok = halt(g);
    } else if (c == "clear") {
        ok = ioctl(g.ep1, FUNCTIONFS_CLEAR_HALT) == 0;
    } else if (c == "pause" && fields >= 2 && a >= 0) {
        timespec ts = {time_t(a / 1000), long(a % 1000) * 1000000};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    } else if (c == "unplug" && !g.udcFile.empty()) {
        ok = unplug(g);
    } else {
        emit("fail %s usage", cmd);
        return true;
    }
    if (ok)
        emit("ok %s", cmd);
    else
        emit("fail %s %s", cmd, strerror(errno));
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Gadget g;
    std::string ffsDir;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--ffs")
            ffsDir = argv[i + 1];
        else if (opt == "--udc-file")
            g.udcFile = argv[i + 1];
        else if (opt == "--width")
            g.w = atoi(argv[i + 1]);
        else if (opt == "--height")
            g.h = atoi(argv[i + 1]);
    }
    g.enc = tsEncoderNew(g.w, g.h, kMaxTransfer);
    if (ffsDir.empty() || argc % 2 == 0 || !g.enc) {
        fprintf(stderr, "usage: usb_gadget --ffs DIR [--udc-file PATH] [--width W] [--height H]\n");
        return 2;
    }
    const size_t pixels = size_t(g.w) * g.h;
    g.prev.resize(pixels);
    g.cur.resize(pixels);
    g.mask.resize(size_t((g.w + 15) / 16) * ((g.h + 15) / 16));
    g.out.resize(kMaxTransfer);

    openFunction(g, ffsDir);
    pthread_t events;
    if (pthread_create(&events, nullptr, eventLoop, &g.ep0) != 0) fatal("pthread_create");
    emit("ready");

    char line[256];
    while (fgets(line, sizeof line, stdin) && runCommand(g, line)) {
    }
    // Closing the files ends the function; the event thread goes with the process.
    close(g.ep1);
    close(g.ep0);
    tsEncoderFree(g.enc);
    return 0;
}
