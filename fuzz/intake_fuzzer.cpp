// The stream intake under the fuzzer: one input is cut into a frame size, a
// sequence of buffers and their split points. The buffers go through
// videoSink, then again, reframed as recorded chunks (with the header that
// record() gave, or a hostile one), through playvideo. Every step is checked
// against StreamModel: frame, marks, counters and the held packet; after it
// the change runs are taken and the whole grid is exported, at full size and
// scaled. When every chunk carries its recorded header the replay must end
// in the very state the live pass ended in.
//
// Input layout (fuzz_input.h):
//   u16 w, u16 h, u8 flags (bit 0: frames up to 1920x1600, else 320x240),
//   u8 steps, then per step:
//     u16 length   bytes of the stream for this buffer
//     u8 how       bits 0-1 replay kind: 0 recorded header, 1 hostile header,
//                  2 chunk shorter than a header, 3 the buffer through videoSink;
//                  bits 2-3 store call first: 1 clearbuffer, 2 createBuffer,
//                  3 setChangedArray; bit 4 that createBuffer's allocation
//                  number (bits 5-6) fails; bit 7 offset out of range
//     u8 pos       offset into the buffer
//     u8 query     bit 0 take every row's runs, bit 1 the export's scratch
//                  allocation fails, bit 2 no export, bit 3 a scaled export too,
//                  bits 4-6 the receiver of the runs turns down run number k
//     i16 ty, i16 tw   a getChanges window
//     u8 scale, f32 raw   the export's scale (exportcheck::scaleOf)
//     u16 newW, u16 newH  size for the store call
//     16 bytes     the hostile chunk header
//   the rest: the stream.
#include <stdint.h>
#include <string.h>

#include <utility>
#include <vector>

#include "core/tessera/change_runs.h"
#include "core/tessera/frame_store.h"
#include "core/tessera/stream_intake.h"
#include "core/tessera/tile_decoder.h"
#include "export_check.h"
#include "fuzz_input.h"
#include "stream_model.h"

namespace {

constexpr int kMaxSteps = 48;

struct Step {
    int length;
    uint8_t how, pos, query;
    int ty, tw;
    float scale;
    int newW, newH;
    uint8_t header[kChunkHeaderBytes];
    int recordedNeeded, recordedSize;  // record() before the live call
};

int replayKind(const Step &s) {
    return s.how & 3;
}
int storeCall(const Step &s) {
    return (s.how >> 2) & 3;
}

// Mostly accepted sizes; the high bit gives a negative one, and the rest of
// the range reaches past the limits.
int sizeOf(uint16_t v, bool large, int limit) {
    if (v & 0x8000) return int16_t(v);
    return large ? v % 2048 : v % (limit + 32);
}

int allocNumber, failingNumber = -1;
void *countedAlloc(size_t n) {
    return allocNumber++ == failingNumber ? nullptr : storeAlloc(n);
}

StreamModel model;

void compareState(const char *when) {
    FUZZ_CHECK(frameWidth == model.w && frameHeight == model.h && tilesWidth == model.tilesW &&
                   tilesHeight == model.tilesH,
               "%s: store %dx%d (%dx%d tiles), model %dx%d (%dx%d)", when, frameWidth, frameHeight,
               tilesWidth, tilesHeight, model.w, model.h, model.tilesW, model.tilesH);
    const size_t pixels = size_t(model.w) * model.h, tiles = size_t(model.tilesW) * model.tilesH;
    FUZZ_CHECK(pixels == 0 || memcmp(frameBuffer, model.frame.data(), pixels * 4) == 0,
               "%s: pixels differ", when);
    FUZZ_CHECK(tiles == 0 || memcmp(changedArray, model.changed.data(), tiles) == 0,
               "%s: change marks differ", when);
    FUZZ_CHECK(statsPadding == model.padding && statsBogus == model.bogus,
               "%s: counters (%u, %u), model (%u, %u)", when, statsPadding, statsBogus,
               model.padding, model.bogus);
    FUZZ_CHECK(leftoverDataNeeded == model.heldNeeded && leftoverDataSize == model.heldSize,
               "%s: held (%d, %d), model (%d, %d)", when, leftoverDataNeeded, leftoverDataSize,
               model.heldNeeded, model.heldSize);
    FUZZ_CHECK(memcmp(leftoverData, model.held, size_t(model.heldSize)) == 0,
               "%s: held bytes differ", when);
    FUZZ_CHECK(HasFirstTile == model.hasFirst, "%s: first-tile flag %d, model %d", when,
               HasFirstTile, model.hasFirst);
}

void startStore(int w, int h) {
    FUZZ_CHECK(createBuffer(w, h) == StoreStatus::ok, "createBuffer(%d, %d)", w, h);
    model.create(w, h, false);
    statsPadding = statsBogus = 0;
    HasFirstTile = 0;
    leftoverDataNeeded = leftoverDataSize = 0;
    memset(leftoverData, 0, sizeof leftoverData);
    model.padding = model.bogus = 0;
    model.hasFirst = 0;
    model.heldNeeded = model.heldSize = 0;
    memset(model.held, 0, sizeof model.held);
}

void storeCallOf(const Step &s) {
    switch (storeCall(s)) {
        case 1: {
            const StoreStatus got = clearbuffer(s.newW, s.newH);
            StoreStatus want = StoreStatus::badSize;
            if (StreamModel::sizeAccepted(s.newW, s.newH))
                want =
                    model.clear(s.newW, s.newH) ? StoreStatus::beyondAllocation : StoreStatus::ok;
            FUZZ_CHECK(got == want, "clearbuffer(%d, %d) gave %d, expected %d", s.newW, s.newH,
                       int(got), int(want));
            break;
        }
        case 2: {
            allocNumber = 0;
            failingNumber = s.how & 0x10 ? (s.how >> 5) & 3 : -1;
            const StoreStatus got = createBuffer(s.newW, s.newH, countedAlloc);
            StoreStatus want = StoreStatus::badSize;
            if (StreamModel::sizeAccepted(s.newW, s.newH)) {
                // Only the pixels and the marks are the store; a scratch
                // buffer that fails is made again by the export.
                const bool fails = failingNumber == 0 || failingNumber == 1;
                model.create(s.newW, s.newH, fails);
                want = fails ? StoreStatus::noMemory : StoreStatus::ok;
            }
            FUZZ_CHECK(got == want, "createBuffer(%d, %d) gave %d, expected %d", s.newW, s.newH,
                       int(got), int(want));
            break;
        }
        case 3:
            setChangedArray();
            model.markAll();
            break;
    }
}

// Takes runs until the one numbered `refuse` (from 1; 0: never).
struct RunReceiver {
    std::vector<std::pair<int, int>> runs;
    int refuse;
};

bool collectRun(void *context, int start, int len) {
    auto *r = static_cast<RunReceiver *>(context);
    if (int(r->runs.size()) + 1 == r->refuse) return false;
    r->runs.emplace_back(start, len);
    return true;
}

void checkChanges(int ty, int tw, int refuse) {
    RunReceiver got{{}, refuse};
    std::vector<std::pair<int, int>> want;
    const RunsStatus status = getChanges(ty, tw, collectRun, &got);
    const int expected = model.changes(ty, tw, refuse, &want);
    const RunsStatus wantStatus = expected == 0   ? RunsStatus::ok
                                  : expected == 1 ? RunsStatus::argsOutOfRange
                                                  : RunsStatus::sinkFailed;
    FUZZ_CHECK(status == wantStatus, "getChanges(%d, %d) gave %d, expected %d", ty, tw, int(status),
               int(wantStatus));
    FUZZ_CHECK(got.runs == want, "getChanges(%d, %d): %zu runs, model %zu", ty, tw, got.runs.size(),
               want.size());
}

// One buffer of the live pass, or of the replay pass.
void runStep(Step &s, const uint8_t *bytes, bool replay) {
    storeCallOf(s);
    compareState("store call");
    const bool badOffset = s.how & 0x80;
    const int kind = replay ? replayKind(s) : 3;
    if (kind == 3) {
        if (!replay) {
            s.recordedNeeded = leftoverDataNeeded;
            s.recordedSize = leftoverDataSize;
        }
        ExactBuffer data(bytes, size_t(s.length));
        const int pos =
            badOffset ? (s.pos & 1 ? -1 - s.pos : s.length + 1 + s.pos) : s.pos % (s.length + 1);
        SinkResult got{-1, -1};
        int ret = -1, first = -1;
        const IntakeStatus status = videoSink(data.data(), s.length, pos, &got);
        const int want = model.sink(data.data(), s.length, pos, &ret, &first);
        FUZZ_CHECK(int(status) == want, "videoSink(%d bytes, %d) gave %d, expected %d", s.length,
                   pos, int(status), want);
        FUZZ_CHECK(want != 0 || (got.ret == ret && got.hasfirst == first),
                   "videoSink gave (%d, %d), expected (%d, %d)", got.ret, got.hasfirst, ret, first);
    } else {
        std::vector<uint8_t> chunk(kChunkHeaderBytes);
        if (kind == 0) {
            const int32_t fields[4] = {s.recordedNeeded, s.recordedSize, model.w, model.h};
            memcpy(chunk.data(), fields, sizeof fields);
        } else {
            memcpy(chunk.data(), s.header, kChunkHeaderBytes);
        }
        chunk.insert(chunk.end(), bytes, bytes + s.length);
        if (kind == 2) chunk.resize(s.pos % kChunkHeaderBytes);
        ExactBuffer data(chunk.data(), chunk.size());
        const int len = int(chunk.size());
        const int offset = badOffset ? len + 1 : s.pos % (len + 1);
        ChunkSize got{-1, -1};
        int w = -1, h = -1;
        const IntakeStatus status = playvideo(data.data(), len, offset, &got);
        const int want = model.play(data.data(), len, offset, &w, &h);
        FUZZ_CHECK(int(status) == want, "playvideo(%d bytes) gave %d, expected %d", len,
                   int(status), want);
        FUZZ_CHECK(want != 0 || (got.w == w && got.h == h), "playvideo gave (%d, %d)", got.w,
                   got.h);
    }
    compareState(replay ? "playvideo" : "videoSink");

    checkChanges(s.ty, s.tw, (s.query >> 4) & 7);
    if (s.query & 1)
        for (int ty = 0; ty < tilesHeight; ++ty) checkChanges(ty, tilesWidth, 0);
    compareState("getChanges");

    if (s.query & 4) return;
    auto crop = [](int tx, int ty, int w, int h) { return model.crop(tx, ty, w, h); };
    const bool failScratch = s.query & 2;
    exportcheck::check(0, 0, tilesWidth, tilesHeight, 1.0f, failScratch, crop);
    // The export target covers the shrink; here it only needs to see the stream's pictures.
    if (s.query & 8) exportcheck::check(0, 0, tilesWidth, tilesHeight, s.scale, failScratch, crop);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint16_t rawW = in.u16(), rawH = in.u16();
    const bool large = in.u8() & 1;
    const int w = rawW % (large ? 1921 : 321), h = rawH % (large ? 1601 : 241);
    const int steps = 1 + in.u8() % kMaxSteps;
    std::vector<Step> plan(static_cast<size_t>(steps));
    for (Step &s : plan) {
        s.length = in.u16();
        s.how = in.u8();
        s.pos = in.u8();
        s.query = in.u8();
        s.ty = in.i16();
        s.tw = in.i16();
        const uint8_t scaleCode = in.u8();
        s.scale = exportcheck::scaleOf(scaleCode, in.f32());
        s.newW = sizeOf(in.u16(), large, 320);
        s.newH = sizeOf(in.u16(), large, 240);
        const std::vector<uint8_t> header = in.bytes(kChunkHeaderBytes);
        memset(s.header, 0, sizeof s.header);
        if (!header.empty()) memcpy(s.header, header.data(), header.size());
    }
    const std::vector<uint8_t> stream = in.rest();
    size_t used = 0;
    for (Step &s : plan) {
        s.length = int(std::min(size_t(s.length), stream.size() - used));
        used += size_t(s.length);
    }

    // The replay must end where the live pass ended when nothing tells them apart.
    bool sameInputs = true;
    for (const Step &s : plan) sameInputs &= replayKind(s) == 0 && !(s.how & 0x80) && s.pos == 0;

    std::vector<uint32_t> livePixels;
    std::vector<uint8_t> liveMarks;
    uint32_t livePadding = 0, liveBogus = 0;
    for (int pass = 0; pass < 2; ++pass) {
        startStore(w, h);
        const uint8_t *bytes = stream.data();
        for (Step &s : plan) {
            runStep(s, bytes, pass == 1);
            bytes += s.length;
        }
        std::vector<uint32_t> pixels(frameBuffer, frameBuffer + size_t(frameWidth) * frameHeight);
        std::vector<uint8_t> marks(changedArray, changedArray + size_t(tilesWidth) * tilesHeight);
        if (pass == 0) {
            livePixels.swap(pixels);
            liveMarks.swap(marks);
            livePadding = statsPadding;
            liveBogus = statsBogus;
        } else if (sameInputs) {
            FUZZ_CHECK(pixels == livePixels && marks == liveMarks && statsPadding == livePadding &&
                           statsBogus == liveBogus,
                       "the replay of the recorded chunks differs from the live pass");
        }
    }
    return 0;
}
