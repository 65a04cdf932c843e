// The work of the capture loop without Python around it: the baselines that
// bench/capture_loop.py measures its Python loop against, in the same process,
// on the same bytes. Reached through ctypes.
#include <time.h>

#include <vector>

#include "core/sluice/bulk_ring.h"
#include "core/tessera/change_runs.h"
#include "core/tessera/frame_store.h"
#include "core/tessera/region_export.h"
#include "core/tessera/stream_intake.h"

namespace {

struct RunExport {
    int ty;
    float scale;
    std::vector<byte_t> pixels;
};

// What toRGBString does for one run, short of making the string.
bool exportRun(void *context, int start, int len) {
    auto *e = static_cast<RunExport *>(context);
    ExportPlan plan;
    if (planExport(start, e->ty, len, 1, e->scale, &plan) != ExportStatus::ok) return false;
    e->pixels.resize(size_t(plan.nw) * plan.nh * kPixelBytes);
    return runExport(plan, e->pixels.data()) == ExportStatus::ok;
}

bool exportChanges(RunExport *e) {
    for (e->ty = 0; e->ty < tilesHeight; ++e->ty)
        if (getChanges(e->ty, tilesWidth, exportRun, e) != RunsStatus::ok) return false;
    return true;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

}  // namespace

extern "C" {

// Runs `frames` frames of the capture loop on a w x h store and returns the
// best seconds of one frame, or -1 when something fails. A frame is `count`
// transfers, each decoded, then every changed run of every tile row exported
// at `scale`. With `fd` -1 the transfers are read from `stream`, laid end to
// end with their lengths in `lengths`; otherwise they are read through a bulk
// ring attached to `fd` (endpoint 0x81), which must deliver frames * count.
TESSERA_EXPORT double captureBaseline(const byte_t *stream, const int *lengths, int count, int w,
                                      int h, float scale, int frames, int fd) {
    if (createBuffer(w, h) != StoreStatus::ok) return -1;
    BulkReader *reader = nullptr;
    if (fd >= 0 && attachReader(fd, 0x81, &reader)) return -1;
    RunExport e{0, scale, {}};
    auto frame = [&] {
        const byte_t *p = stream;
        for (int t = 0; t < count; p += lengths[t++]) {
            const byte_t *data = p;
            int length = lengths[t];
            if (reader && readTransfer(reader, &data, &length)) return false;
            SinkResult result;
            videoSink(data, length, 0, &result);
        }
        return exportChanges(&e);
    };
    double best = -1;
    for (int f = 0; f < frames; ++f) {
        const double start = now();
        if (!frame()) {
            best = -1;
            break;
        }
        const double seconds = now() - start;
        if (best < 0 || seconds < best) best = seconds;
    }
    if (reader) freeBulkReader(reader);
    return best;
}

// Reads `batches` * `calls` transfers through a bulk ring attached to `fd`
// and returns the best seconds of one read, over batches of `calls` reads,
// or -1 when a read fails.
TESSERA_EXPORT double readBaseline(int fd, int batches, int calls) {
    BulkReader *reader;
    if (attachReader(fd, 0x81, &reader)) return -1;
    double best = -1;
    for (int i = 0; i < batches; ++i) {
        const double start = now();
        const byte_t *data;
        int length;
        for (int c = 0; c < calls; ++c)
            if (readTransfer(reader, &data, &length)) {
                freeBulkReader(reader);
                return -1;
            }
        const double seconds = (now() - start) / calls;
        if (best < 0 || seconds < best) best = seconds;
    }
    freeBulkReader(reader);
    return best;
}

}  // extern "C"
