// The usbdevfs stand-in: see usbfs_standin.h for what it plays and how.
#include "usbfs_standin.h"

#include <dlfcn.h>
#include <errno.h>
#include <linux/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tile_encoder.h"

namespace {

constexpr int kTransferBytes = 16384;
constexpr unsigned kKnownFlags = USBDEVFS_URB_SHORT_NOT_OK | USBDEVFS_URB_ISO_ASAP |
                                 USBDEVFS_URB_BULK_CONTINUATION | USBDEVFS_URB_NO_FSBR |
                                 USBDEVFS_URB_ZERO_PACKET | USBDEVFS_URB_NO_INTERRUPT;
constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

template <typename Fn>
Fn nextSymbol(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

IoctlFn realIoctl() {
    static const IoctlFn fn = nextSymbol<IoctlFn>("ioctl");
    return fn;
}

CloseFn realClose() {
    static const CloseFn fn = nextSymbol<CloseFn>("close");
    return fn;
}

using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

// A queued request: what the device copied at submission, and its result,
// which reaches the caller's memory only when the request is reaped.
struct Request {
    usbdevfs_urb *urb;
    UsbfsStandinCall submitted;  // the fields as submitted
    int status = 0;
    Bytes run;  // received: `length` bytes of the run from `offset`
    size_t offset = 0, length = 0;
};

// One element of the device's stream.
struct Item {
    enum Kind { run, failure, gate } kind;
    Bytes bytes;  // run: what is left is bytes[used..]
    size_t used = 0;
    int status = 0;       // failure
    int64_t delayNs = 0;  // gate: from when the stream reaches it...
    int64_t untilNs = 0;  // ...and no sooner than this
};

Item runOf(std::vector<uint8_t> bytes) {
    return Item{Item::run, std::make_shared<const std::vector<uint8_t>>(std::move(bytes)), 0, 0, 0,
                0};
}

Item runOf(const void *data, size_t n) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    return runOf(std::vector<uint8_t>(p, p + n));
}

// The encoder's test pattern, sent as a grabber sends it.
class Synthetic {
  public:
    Synthetic(int w, int h, int frames, double fps, bool full)
        : enc_(tsEncoderNew(w, h, kTransferBytes)),
          w_(w),
          h_(h),
          frames_(frames),
          frameNs_(fps > 0 ? int64_t(1e9 / fps) : 0),
          full_(full) {
        if (!enc_) return;
        cur_.resize(size_t(w) * h);
        prev_.resize(size_t(w) * h);
        mask_.resize(size_t((w + 15) / 16) * ((h + 15) / 16));
        out_.resize(kTransferBytes);
    }
    ~Synthetic() { tsEncoderFree(enc_); }
    Synthetic(const Synthetic &) = delete;
    Synthetic &operator=(const Synthetic &) = delete;

    bool valid() const { return enc_ != nullptr; }

    // A grabber plugged in again: what was left of the frame being sent is
    // gone, and the next frame goes out in full.
    void restart() {
        tsEncoderFree(enc_);
        enc_ = tsEncoderNew(w_, h_, kTransferBytes);
        fresh_ = true;
    }

    // Appends the next transfer (and the gate of a paced frame) to `stream`;
    // false once every frame has been sent.
    bool produce(std::deque<Item> &stream, int64_t now) {
        if (!frameNs_) {
            // Unpaced, frames run on in full transfers.
            while (tsEncoderPending(enc_) < size_t(kTransferBytes) && more()) putFrame();
        } else if (!tsEncoderPending(enc_) && more()) {
            if (!next_) startNs_ = now;
            stream.push_back(Item{Item::gate, {}, 0, 0, 0, startNs_ + next_ * frameNs_});
            putFrame();
        }
        int n = tsEncoderTakeTransfer(enc_, out_.data(), kTransferBytes);
        if (!n) return false;
        stream.push_back(runOf(out_.data(), size_t(n)));
        return true;
    }

  private:
    bool more() const { return !frames_ || next_ < frames_; }

    void putFrame() {
        tsTestPattern(cur_.data(), w_, h_, next_);
        const uint8_t *mask = nullptr;
        if (!full_ && next_ && !fresh_) {
            markChangedTiles();
            mask = mask_.data();
        }
        fresh_ = false;
        tsEncoderPutFrame(enc_, cur_.data(), mask);
        cur_.swap(prev_);
        ++next_;
    }

    void markChangedTiles() {
        const int tilesWide = (w_ + 15) / 16;
        std::fill(mask_.begin(), mask_.end(), 0);
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x)
                if (cur_[size_t(y) * w_ + x] != prev_[size_t(y) * w_ + x])
                    mask_[(y / 16) * tilesWide + x / 16] = 1;
    }

    TsEncoder *enc_;
    int w_, h_, frames_, next_ = 0;
    int64_t frameNs_, startNs_ = 0;
    bool full_, fresh_ = false;
    std::vector<uint16_t> cur_, prev_;
    std::vector<uint8_t> mask_, out_;
};

std::atomic<uint64_t> callSequence{0};
FILE *logFile;  // USBFS_STANDIN_LOG, opened once with the environment

struct Device {
    Device(int fd, bool record) : fd(fd), record(record) {
        wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~Device() { realClose()(wake); }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    std::mutex mu;
    const int fd;
    int wake;  // eventfd, readable when something changed for a waiting reap
    int endpoint = 0x81;
    bool record;
    std::deque<Request> pending, completed;
    std::deque<Item> stream;
    std::unique_ptr<Synthetic> synthetic;
    int64_t readyAt = 0;  // a gate holds completions until then
    bool unplugged = false, unplugAtEnd = false;
    bool halted = false;  // the endpoint answers every request with a stall
    int64_t submissions = 0, transfers = 0;
    std::deque<int64_t> stallAt;      // the endpoint halts when `transfers` reaches each
    int64_t unplugAt = -1;            // the device goes away when `transfers` reaches it
    std::map<int64_t, int> refusals;  // submission number -> errno
    int violations = 0;
    int waiting = 0;  // threads blocked in REAPURB
    std::vector<UsbfsStandinCall> calls;
};

// Wakes the reaps blocked on the device; `waiting` is counted under the lock
// before a reap lets go of it, so a change made under the lock is never missed.
void notify(Device &d) {
    if (!d.waiting) return;
    uint64_t one = 1;
    (void)!write(d.wake, &one, sizeof one);
}

// Completes every queued request with `status` and no data, in order.
void failPending(Device &d, int status) {
    for (Request &r : d.pending) {
        r.status = status;
        d.completed.push_back(std::move(r));
    }
    d.pending.clear();
    notify(d);
}

void unplug(Device &d, int status) {
    d.unplugged = true;
    failPending(d, status);
}

// USBFS_STANDIN_REPLUG: when the device made from the environment goes
// away, how long it stays away, and the pattern it goes on with when it is back.
struct ReplugPlan {
    std::mutex mu;
    std::vector<std::pair<int64_t, int64_t>> steps;  // (transfers, away ns), one per device
    size_t next = 0;
    int64_t backAt = 0;
    std::unique_ptr<Synthetic> synthetic;
};

ReplugPlan &replugPlan() {
    static ReplugPlan *plan = new ReplugPlan;  // never destroyed, as the registry below
    return *plan;
}

// An unplug as the kernel reports one in the middle of a transfer; the
// pattern waits for the device that comes back.
void goAway(Device &d) {
    unplug(d, -EPROTO);
    d.stream.clear();
    ReplugPlan &plan = replugPlan();
    std::lock_guard<std::mutex> lock(plan.mu);
    plan.backAt = nowNs() + plan.steps[plan.next - 1].second;
    if (d.synthetic) d.synthetic->restart();
    plan.synthetic = std::move(d.synthetic);
}

// Completes queued requests, in order, from what the stream holds by now.
void pump(Device &d, int64_t now) {
    bool any = false;
    while (!d.pending.empty() && !d.unplugged) {
        if (!d.stallAt.empty() && d.transfers == d.stallAt.front()) {
            d.halted = true;
            d.stallAt.pop_front();
        }
        if (d.transfers == d.unplugAt) {
            goAway(d);
            break;
        }
        if (d.halted) {
            // The controller fails them all in one frame, whatever the
            // stream holds; the stream resumes where it was once cleared.
            failPending(d, -EPIPE);
            break;
        }
        if (d.readyAt > now) break;
        if (d.stream.empty() && !(d.synthetic && d.synthetic->produce(d.stream, now))) {
            // Once the last data has been reaped, as a grabber pulled after its last frame.
            if (d.unplugAtEnd && d.completed.empty()) unplug(d, -ESHUTDOWN);
            break;
        }
        Item &it = d.stream.front();
        if (it.kind == Item::gate) {
            d.readyAt = std::max(it.untilNs, now + it.delayNs);
            d.stream.pop_front();
            continue;
        }
        Request r = std::move(d.pending.front());
        d.pending.pop_front();
        ++d.transfers;
        if (it.kind == Item::failure) {
            r.status = it.status;
            d.stream.pop_front();
        } else {
            size_t n = std::min(it.bytes->size() - it.used, size_t(r.submitted.buffer_length));
            r.run = it.bytes;
            r.offset = it.used;
            r.length = n;
            it.used += n;
            if (it.used == it.bytes->size()) d.stream.pop_front();
            if ((r.submitted.flags & USBDEVFS_URB_SHORT_NOT_OK) &&
                n < size_t(r.submitted.buffer_length))
                r.status = -EREMOTEIO;
        }
        d.completed.push_back(std::move(r));
        any = true;
    }
    if (any) notify(d);
}

void changed(Device &d) {
    pump(d, nowNs());
    notify(d);
}

const char *kindName(int kind) {
    switch (kind) {
        case USBFS_STANDIN_SUBMIT:
            return "SUBMITURB";
        case USBFS_STANDIN_DISCARD:
            return "DISCARDURB";
        case USBFS_STANDIN_REAP:
            return "REAPURB";
        case USBFS_STANDIN_REAP_NDELAY:
            return "REAPURBNDELAY";
    }
    return "OTHER";
}

// Finishes a call, with the device locked: records it and sets errno.
int note(Device &d, UsbfsStandinCall &call, int err, int result = 0) {
    call.sequence = ++callSequence;
    call.result = err ? -1 : result;
    call.error = err;
    if (d.record) d.calls.push_back(call);
    if (logFile)
        fprintf(logFile,
                "%llu fd=%d %s req=0x%x urb=%p ep=0x%02x status=%d length=%d/%d -> %d %s\n",
                static_cast<unsigned long long>(call.sequence), d.fd, kindName(call.kind),
                call.request, call.urb, call.endpoint, call.status, call.actual_length,
                call.buffer_length, call.result, err ? strerror(err) : "");
    errno = err;
    return call.result;
}

// The fields of a request as submitted, in the record of a later call on it.
void describe(UsbfsStandinCall &call, const UsbfsStandinCall &submitted) {
    const uint32_t request = call.request;
    const int32_t kind = call.kind;
    call = submitted;
    call.request = request;
    call.kind = kind;
}

bool holds(const std::deque<Request> &list, const void *urb) {
    return std::any_of(list.begin(), list.end(), [urb](const Request &r) { return r.urb == urb; });
}

int submit(Device &d, usbdevfs_urb *u, UsbfsStandinCall &call) {
    call.urb = u;
    if (!u) return EFAULT;
    call.type = u->type;
    call.endpoint = u->endpoint;
    call.status = u->status;
    call.flags = int32_t(u->flags);
    call.buffer = u->buffer;
    call.buffer_length = u->buffer_length;
    call.actual_length = u->actual_length;
    call.start_frame = u->start_frame;
    call.number_of_packets = u->number_of_packets;
    call.error_count = u->error_count;
    call.signr = int32_t(u->signr);
    call.usercontext = u->usercontext;
    if (d.unplugged) return ENODEV;
    auto refusal = d.refusals.find(d.submissions++);
    if (refusal != d.refusals.end()) {
        int err = refusal->second;
        d.refusals.erase(refusal);
        return err;
    }
    if (u->type != USBDEVFS_URB_TYPE_BULK) return EINVAL;
    if (u->endpoint != d.endpoint) return ENOENT;
    if (u->buffer_length < 0 || (u->buffer_length > 0 && !u->buffer)) return EINVAL;
    if (u->flags & ~kKnownFlags) return EINVAL;
    if (holds(d.pending, u) || holds(d.completed, u)) {
        ++d.violations;
        return EINVAL;
    }
    d.pending.push_back(Request{u, call, 0, {}});
    changed(d);
    return 0;
}

int discard(Device &d, usbdevfs_urb *u, UsbfsStandinCall &call) {
    call.urb = u;
    pump(d, nowNs());
    if (d.unplugged) return ENODEV;
    auto it = std::find_if(d.pending.begin(), d.pending.end(),
                           [u](const Request &r) { return r.urb == u; });
    if (it == d.pending.end()) {
        for (const Request &r : d.completed)
            if (r.urb == u) describe(call, r.submitted);
        return EINVAL;
    }
    Request r = std::move(*it);
    d.pending.erase(it);
    describe(call, r.submitted);
    r.status = -ENOENT;
    d.completed.push_back(std::move(r));
    changed(d);
    return 0;
}

// Hands the oldest completion to the caller, as the kernel does at reap time.
void deliver(Device &d, void *arg, UsbfsStandinCall &call) {
    Request r = std::move(d.completed.front());
    d.completed.pop_front();
    // A non-empty result implies a buffer: submit refuses a length without one.
    if (r.length)
        memcpy(const_cast<void *>(r.submitted.buffer), r.run->data() + r.offset, r.length);
    r.urb->status = r.status;
    r.urb->actual_length = int(r.length);
    *static_cast<void **>(arg) = r.urb;
    describe(call, r.submitted);
    call.status = r.status;
    call.actual_length = int(r.length);
}

int reap(Device &d, std::unique_lock<std::mutex> &lock, void *arg, bool block,
         UsbfsStandinCall &call) {
    if (!arg) return EFAULT;
    for (;;) {
        int64_t now = nowNs();
        pump(d, now);
        if (!d.completed.empty()) {
            deliver(d, arg, call);
            return 0;
        }
        if (d.unplugged) return ENODEV;
        if (!block) return EAGAIN;
        uint64_t drained;
        (void)!read(d.wake, &drained, sizeof drained);
        int timeoutMs = -1;
        if (!d.pending.empty() && d.readyAt > now)
            timeoutMs = int((d.readyAt - now + 999999) / 1000000);
        ++d.waiting;
        lock.unlock();
        pollfd p = {d.wake, POLLIN, 0};
        int rc = poll(&p, 1, timeoutMs);
        int err = errno;
        lock.lock();
        --d.waiting;
        // A signal handler ran: the kernel gives up the wait with EINTR too.
        if (rc < 0 && err == EINTR) return EINTR;
    }
}

// The kernel sends the device CLEAR_FEATURE(ENDPOINT_HALT) for the endpoint
// after looking it up among the interface's endpoints.
int clearHalt(Device &d, const void *arg, UsbfsStandinCall &call) {
    if (!arg) return EFAULT;
    const unsigned ep = *static_cast<const unsigned *>(arg);
    call.endpoint = int32_t(ep);
    if (ep & ~(USB_DIR_IN | USB_ENDPOINT_NUMBER_MASK)) return EINVAL;
    if (int(ep) != d.endpoint) return ENOENT;
    d.halted = false;  // nothing is queued while halted: there is nobody to wake
    return 0;
}

int other(Device &d, unsigned long request, void *arg, int *result, UsbfsStandinCall &call) {
    if (d.unplugged) return ENODEV;
    switch (request) {
        case USBDEVFS_CLEAR_HALT:
            return clearHalt(d, arg, call);
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
        case USBDEVFS_DISCONNECT_CLAIM:
            return 0;
        case USBDEVFS_IOCTL: {
            if (!arg) return EFAULT;
            int code = static_cast<usbdevfs_ioctl *>(arg)->ioctl_code;
            return code == int(USBDEVFS_DISCONNECT) || code == int(USBDEVFS_CONNECT) ? 0 : ENOTTY;
        }
        case USBDEVFS_CONNECTINFO:
            if (!arg) return EFAULT;
            *static_cast<usbdevfs_connectinfo *>(arg) = usbdevfs_connectinfo{1, 0};
            return 0;
        case USBDEVFS_GET_CAPABILITIES:
            if (!arg) return EFAULT;
            *static_cast<uint32_t *>(arg) = kCapabilities;
            return 0;
        case USBDEVFS_GET_SPEED:
            *result = USB_SPEED_HIGH;
            return 0;
    }
    return ENOTTY;
}

int usbfsIoctl(Device &d, unsigned long request, void *arg) {
    std::unique_lock<std::mutex> lock(d.mu);
    UsbfsStandinCall call{};
    call.request = uint32_t(request);
    auto *urb = static_cast<usbdevfs_urb *>(arg);
    switch (request) {
        case USBDEVFS_SUBMITURB:
            call.kind = USBFS_STANDIN_SUBMIT;
            return note(d, call, submit(d, urb, call));
        case USBDEVFS_DISCARDURB:
            call.kind = USBFS_STANDIN_DISCARD;
            return note(d, call, discard(d, urb, call));
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            const bool block = request == USBDEVFS_REAPURB;
            call.kind = block ? USBFS_STANDIN_REAP : USBFS_STANDIN_REAP_NDELAY;
            return note(d, call, reap(d, lock, arg, block, call));
        }
    }
    call.kind = USBFS_STANDIN_OTHER;
    int result = 0;
    int err = other(d, request, arg, &result, call);
    return note(d, call, err, result);
}

// Descriptors seen by the stand-in: registered devices, and (null) those found
// not to be the device node of USBFS_STANDIN_DEVICE. Never destroyed: ioctl and
// close may still be called while the process exits.
struct Registry {
    std::mutex mu;
    std::unordered_map<int, std::shared_ptr<Device>> byFd;
    std::atomic<size_t> entries{0};
    bool envRead = false;
    std::string devicePath;
};

Registry &registry() {
    static Registry *r = [] {
        // A child forked while another thread held the lock would hang in
        // its first close().
        pthread_atfork([] { registry().mu.lock(); }, [] { registry().mu.unlock(); },
                       [] { registry().mu.unlock(); });
        return new Registry;
    }();
    return *r;
}

const char *envOr(const char *name, const char *fallback) {
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

void readEnv(Registry &g) {
    if (g.envRead) return;
    g.envRead = true;
    g.devicePath = envOr("USBFS_STANDIN_DEVICE", "");
    for (const char *p = envOr("USBFS_STANDIN_REPLUG", ""); *p;) {
        char *end;
        long long after = strtoll(p, &end, 0), awayMs = 0;
        if (*end == ':') awayMs = strtoll(end + 1, &end, 0);
        replugPlan().steps.emplace_back(after, awayMs * 1000000);
        p = *end == ',' ? end + 1 : "";
    }
    if (const char *log = getenv("USBFS_STANDIN_LOG")) {
        logFile = fopen(log, "ae");
        if (logFile) setvbuf(logFile, nullptr, _IOLBF, 0);
    }
}

bool loadFile(Device &d, const char *path) {
    FILE *f = fopen(path, "rbe");
    if (!f) return false;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    bool ok = !ferror(f);
    fclose(f);
    if (ok) d.stream.push_back(runOf(std::move(bytes)));
    return ok;
}

void complain(const char *what, const char *value) {
    fprintf(stderr, "usbfs_standin: %s: cannot use \"%s\"\n", what, value);
}

// A device for the node of USBFS_STANDIN_DEVICE, set up from the environment.
std::shared_ptr<Device> deviceFromEnv(int fd) {
    auto d = std::make_shared<Device>(fd, false);
    d->endpoint = int(strtol(envOr("USBFS_STANDIN_ENDPOINT", "0x81"), nullptr, 0));
    for (const char *p = envOr("USBFS_STANDIN_STALL_AFTER", ""); *p;) {
        char *end;
        d->stallAt.push_back(strtoll(p, &end, 0));
        p = *end == ',' ? end + 1 : "";
    }
    d->unplugAtEnd = strcmp(envOr("USBFS_STANDIN_AT_END", "idle"), "unplug") == 0;
    ReplugPlan &plan = replugPlan();
    std::lock_guard<std::mutex> lock(plan.mu);
    if (nowNs() < plan.backAt) {
        d->unplugged = true;  // opened while away: gone at once, as the kernel's node
        return d;
    }
    if (plan.next < plan.steps.size()) d->unplugAt = plan.steps[plan.next++].first;
    const char *stream = envOr("USBFS_STANDIN_STREAM", "");
    int w, h, frames = 0;
    if (plan.synthetic) {
        d->synthetic = std::move(plan.synthetic);  // plugged in again: the pattern goes on
    } else if (!strncmp(stream, "file:", 5)) {
        if (!loadFile(*d, stream + 5)) complain("USBFS_STANDIN_STREAM", stream);
    } else if (sscanf(stream, "synthetic:%dx%d:%d", &w, &h, &frames) >= 2) {
        bool full = strcmp(envOr("USBFS_STANDIN_UPDATE", "changed"), "full") == 0;
        double fps = strtod(envOr("USBFS_STANDIN_FPS", "0"), nullptr);
        d->synthetic.reset(new Synthetic(w, h, frames, fps, full));
        if (!d->synthetic->valid()) {
            d->synthetic.reset();
            complain("USBFS_STANDIN_STREAM", stream);
        }
    } else if (*stream) {
        complain("USBFS_STANDIN_STREAM", stream);
    }
    return d;
}

bool isDeviceNode(int fd, const std::string &path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

std::shared_ptr<Device> deviceFor(int fd) {
    Registry &g = registry();
    std::lock_guard<std::mutex> lock(g.mu);
    readEnv(g);
    auto it = g.byFd.find(fd);
    if (it != g.byFd.end()) return it->second;
    if (g.devicePath.empty()) return nullptr;
    std::shared_ptr<Device> d;
    if (isDeviceNode(fd, g.devicePath)) d = deviceFromEnv(fd);
    g.byFd.emplace(fd, d);
    ++g.entries;
    return d;
}

std::shared_ptr<Device> registered(int fd) {
    Registry &g = registry();
    std::lock_guard<std::mutex> lock(g.mu);
    auto it = g.byFd.find(fd);
    if (it == g.byFd.end() || !it->second) {
        errno = EBADF;
        return nullptr;
    }
    return it->second;
}

// Runs `fn` on the registered device with its lock held; 0 or -1 (errno).
template <typename Fn>
int withDevice(int fd, Fn fn) {
    std::shared_ptr<Device> d = registered(fd);
    if (!d) return -1;
    std::lock_guard<std::mutex> lock(d->mu);
    int err = fn(*d);
    if (err < 0) {
        errno = -err;
        return -1;
    }
    return err;
}

}  // namespace

extern "C" {

USBFS_STANDIN_API int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (_IOC_TYPE(request) == 'U') {
        if (std::shared_ptr<Device> d = deviceFor(fd)) return usbfsIoctl(*d, request, arg);
    }
    return realIoctl()(fd, request, arg);
}

USBFS_STANDIN_API int close(int fd) {
    Registry &g = registry();
    if (g.entries.load()) {
        std::lock_guard<std::mutex> lock(g.mu);
        g.entries -= g.byFd.erase(fd);
    }
    return realClose()(fd);
}

int usbfs_standin_register(int fd) {
    Registry &g = registry();
    std::lock_guard<std::mutex> lock(g.mu);
    readEnv(g);
    auto entry = g.byFd.try_emplace(fd);
    if (entry.first->second) {
        errno = EEXIST;
        return -1;
    }
    if (entry.second) ++g.entries;
    entry.first->second = std::make_shared<Device>(fd, true);
    return 0;
}

int usbfs_standin_unregister(int fd) {
    Registry &g = registry();
    std::lock_guard<std::mutex> lock(g.mu);
    auto it = g.byFd.find(fd);
    if (it == g.byFd.end() || !it->second) {
        errno = EBADF;
        return -1;
    }
    g.byFd.erase(it);
    --g.entries;
    return 0;
}

int usbfs_standin_set_endpoint(int fd, int endpoint) {
    return withDevice(fd, [endpoint](Device &d) {
        d.endpoint = endpoint & 0xff;
        return 0;
    });
}

int usbfs_standin_feed(int fd, const void *data, int length) {
    if (length < 0 || (length > 0 && !data)) {
        errno = EINVAL;
        return -1;
    }
    return withDevice(fd, [data, length](Device &d) {
        d.stream.push_back(runOf(data, size_t(length)));
        changed(d);
        return 0;
    });
}

int usbfs_standin_feed_file(int fd, const char *path) {
    return withDevice(fd, [path](Device &d) {
        if (!loadFile(d, path)) return -(errno ? errno : EIO);
        changed(d);
        return 0;
    });
}

int usbfs_standin_fail_next(int fd, int status) {
    return withDevice(fd, [status](Device &d) {
        d.stream.push_back(Item{Item::failure, {}, 0, status, 0, 0});
        changed(d);
        return 0;
    });
}

int usbfs_standin_delay(int fd, int microseconds) {
    return withDevice(fd, [microseconds](Device &d) {
        d.stream.push_back(Item{Item::gate, {}, 0, 0, int64_t(microseconds) * 1000, 0});
        changed(d);
        return 0;
    });
}

int usbfs_standin_synthetic(int fd, int w, int h, int frames, double fps, int full) {
    return withDevice(fd, [=](Device &d) {
        std::unique_ptr<Synthetic> s(new Synthetic(w, h, frames, fps, full != 0));
        if (!s->valid() || frames < 0) return -EINVAL;
        // What is queued goes first; the pattern follows once it is used up.
        d.synthetic = std::move(s);
        changed(d);
        return 0;
    });
}

int usbfs_standin_stall_after(int fd, int transfers) {
    return withDevice(fd, [transfers](Device &d) {
        d.stallAt.clear();
        if (transfers >= 0) d.stallAt.push_back(d.transfers + transfers);
        changed(d);
        return 0;
    });
}

int usbfs_standin_halt(int fd, int on) {
    return withDevice(fd, [on](Device &d) {
        d.halted = on != 0;
        changed(d);
        return 0;
    });
}

int usbfs_standin_refuse_submit(int fd, int after, int error) {
    if (after < 0 || error <= 0) {
        errno = EINVAL;
        return -1;
    }
    return withDevice(fd, [after, error](Device &d) {
        d.refusals[d.submissions + after] = error;
        return 0;
    });
}

int usbfs_standin_unplug(int fd, int status) {
    return withDevice(fd, [status](Device &d) {
        unplug(d, status);
        return 0;
    });
}

int usbfs_standin_unplug_at_end(int fd, int on) {
    return withDevice(fd, [on](Device &d) {
        d.unplugAtEnd = on != 0;
        changed(d);
        return 0;
    });
}

int usbfs_standin_held(int fd) {
    return withDevice(fd, [](Device &d) {
        pump(d, nowNs());
        return int(d.pending.size() + d.completed.size());
    });
}

int usbfs_standin_completed(int fd) {
    return withDevice(fd, [](Device &d) {
        pump(d, nowNs());
        return int(d.completed.size());
    });
}

int usbfs_standin_waiting(int fd) {
    return withDevice(fd, [](Device &d) { return d.waiting; });
}

int usbfs_standin_violations(int fd) {
    return withDevice(fd, [](Device &d) { return d.violations; });
}

int usbfs_standin_record(int fd, int on) {
    return withDevice(fd, [on](Device &d) {
        d.record = on != 0;
        return 0;
    });
}

int usbfs_standin_call_count(int fd) {
    return withDevice(fd, [](Device &d) { return int(d.calls.size()); });
}

int usbfs_standin_get_call(int fd, int index, UsbfsStandinCall *out) {
    return withDevice(fd, [index, out](Device &d) {
        if (index < 0 || size_t(index) >= d.calls.size() || !out) return -EINVAL;
        *out = d.calls[size_t(index)];
        return 0;
    });
}

int usbfs_standin_clear_calls(int fd) {
    return withDevice(fd, [](Device &d) {
        d.calls.clear();
        return 0;
    });
}

}  // extern "C"
