// Frame analysis, the recording-file functions and the hex dump under the
// fuzzer: a program of calls with arbitrary arguments, each answer compared
// with a direct reading of the rules (black test per pixel, greyscale per
// pixel, head-record words, file names built with std::string, the hex-dump
// layout). removefiles works in a temporary directory of its own, on names
// that cannot leave it, and on at most 16 numbers a call.
//
// Input layout (fuzz_input.h): u8 flags (bit 0: frames up to 1920x1600, else
// 320x240), then up to 64 operations, each an opcode byte and its fields:
//   0 store: u16 w, u16 h, u32 seed, u8 black share, u8 left, right, top, bottom
//   1 clearbuffer: u16 w, u16 h, u32 seed
//   2 getBlackEdges: i16 w, i16 h          3 isBlackLine: i32 y, i16 w
//   4 isBlackColumn: i32 x, i16 h          5 toGreyscale: i32 set
//   6 greyscale row forms: u16 count, u8 offset in pixels, u32 seed
//   7 findrechead: u8 length, the bytes    8 int2str: i32
//   9 removefiles: u8 length, the directory bytes, u8 mode, [i32 macflag],
//     i32 prehead, i32 curhead or i8 distance
//   10 hexDump: i16 length, u8 showAddr, the bytes
#include <ctype.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/tessera/frame_analysis.h"
#include "core/tessera/frame_store.h"
#include "core/tessera/hexdump.h"
#include "core/tessera/kernel_choice.h"
#include "core/tessera/recording_files.h"
#include "fuzz_input.h"

namespace {

std::string scratchDir;
// File numbers one removefiles call may cover.
constexpr int kMaxRun = 16;

bool large;

bool black(uint32_t p) {
    return (p & 0xC0E0E0) == 0;
}

uint32_t pixelAt(int x, int y) {
    return frameBuffer[size_t(y) * frameWidth + x];
}

// Black borders of the given widths around noise that is black `share`/256 of the time.
FUZZ_UNTRACED void paint(FuzzInput &in) {
    PixelNoise noise(in.u32());
    const int share = in.u8();
    const int left = in.u8(), right = in.u8(), top = in.u8(), bottom = in.u8();
    for (int y = 0; y < frameHeight; ++y)
        for (int x = 0; x < frameWidth; ++x) {
            uint32_t p = noise.next();
            const bool border =
                x < left || x >= frameWidth - right || y < top || y >= frameHeight - bottom;
            if (border || int(noise.next() & 0xFF) < share) p &= ~0xC0E0E0u;
            frameBuffer[size_t(y) * frameWidth + x] = p;
        }
}

int sizeOf(uint16_t v, int limit) {
    return v % ((large ? limit : limit / 6) + 1);
}

FUZZ_UNTRACED bool lineBlack(int y, int w) {
    if (w <= 0) return true;
    // A row that leaves the frame is never black.
    if (!frameBuffer || y < 0 || y >= frameHeight || w > frameWidth) return false;
    for (int x = 0; x < w; ++x)
        if (!black(pixelAt(x, y))) return false;
    return true;
}

FUZZ_UNTRACED bool columnBlack(int x, int h) {
    if (h <= 0) return true;
    if (!frameBuffer || x < 0 || x >= frameWidth || h > frameHeight) return false;
    for (int y = 0; y < h; ++y)
        if (!black(pixelAt(x, y))) return false;
    return true;
}

void checkEdges(int w, int h) {
    BlackEdges got{-1, -1, -1, -1};
    const EdgesStatus status = getBlackEdges(w, h, &got);
    const bool accepted = frameBuffer && w >= 75 && w <= frameWidth && h >= 75 && h <= frameHeight;
    FUZZ_CHECK(status == (accepted ? EdgesStatus::ok : EdgesStatus::argsOutOfRange),
               "getBlackEdges(%d, %d) on %dx%d gave %d", w, h, frameWidth, frameHeight,
               int(status));
    if (!accepted) return;
    int top = 0, bottom = 0, left = 0, right = 0;
    while (top < 75 && lineBlack(top, w)) ++top;
    while (bottom < 75 && lineBlack(h - 1 - bottom, w)) ++bottom;
    while (left < 75 && columnBlack(left, h)) ++left;
    while (right < 75 && columnBlack(w - 1 - right, h)) ++right;
    if (left == 75 || right == 75) left = right = 0;
    if (top == 75 || bottom == 75) top = bottom = 0;
    FUZZ_CHECK(got.left == left && got.right == right && got.top == top && got.bottom == bottom,
               "getBlackEdges(%d, %d) gave (%d, %d, %d, %d), expected (%d, %d, %d, %d)", w, h,
               got.left, got.right, got.top, got.bottom, left, right, top, bottom);
}

FUZZ_UNTRACED uint32_t grey(uint32_t p) {
    const uint32_t g = ((p & 0xFF) + ((p >> 8) & 0xFF) + ((p >> 16) & 0xFF)) / 3;
    return (p & 0xFF000000) | g | g << 8 | g << 16;
}

FUZZ_UNTRACED void checkGreyscale(int set) {
    const size_t n = size_t(frameWidth) * frameHeight, tiles = size_t(tilesWidth) * tilesHeight;
    std::vector<uint32_t> want(frameBuffer, frameBuffer + n);
    for (uint32_t &p : want) p = grey(p);
    std::vector<uint8_t> marks(changedArray, changedArray + tiles);
    if (set) marks.assign(tiles, 1);
    toGreyscale(set);
    FUZZ_CHECK(n == 0 || memcmp(frameBuffer, want.data(), n * 4) == 0, "toGreyscale pixels");
    FUZZ_CHECK(tiles == 0 || memcmp(changedArray, marks.data(), tiles) == 0,
               "toGreyscale(%d) marks", set);
}

const bool haveAvx2 = cpuRuns(Isa::avx2);

// Every form of the greyscale row on the same pixels, at the end of an
// exactly sized block and at every alignment of a pixel.
void checkGreyForms(int count, int misalign, uint32_t seed) {
    PixelNoise noise(seed);
    std::vector<uint32_t> pixels(static_cast<size_t>(count));
    for (uint32_t &p : pixels) p = noise.next();
    std::vector<uint32_t> want(pixels);
    for (uint32_t &p : want) p = grey(p);
    for (GreyRow form :
         {greyRow_C, greyKernels_SSE2.greyRow, haveAvx2 ? greyKernels_AVX2.greyRow : nullptr}) {
        if (!form) continue;
        ExactBuffer block((size_t(count) + size_t(misalign)) * 4);
        uint32_t *at = reinterpret_cast<uint32_t *>(block.data()) + misalign;
        if (count) memcpy(at, pixels.data(), size_t(count) * 4);
        form(at, count);
        FUZZ_CHECK(!count || memcmp(at, want.data(), size_t(count) * 4) == 0,
                   "grey row of %d pixels", count);
    }
}

void checkHeadRecord(const std::vector<uint8_t> &bytes) {
    ExactBuffer record(bytes.data(), bytes.size());
    HeadRecord got{1, 2, 3};
    const RecordingStatus status = findrechead(record.data(), int(bytes.size()), &got);
    auto word = [&](int at) {
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
               uint32_t(bytes[at + 3]) << 24;
    };
    if (bytes.size() < 12) {
        FUZZ_CHECK(status == RecordingStatus::argsOutOfRange, "short head record accepted");
    } else if (word(8) == 0) {
        FUZZ_CHECK(status == RecordingStatus::zeroDivisor, "zero divisor accepted");
    } else {
        FUZZ_CHECK(status == RecordingStatus::ok && got.headfile == word(0) &&
                       got.filesnum == word(4) && got.quotient == word(4) / word(8),
                   "findrechead gave %d (%u, %u, %u)", int(status), got.headfile, got.filesnum,
                   got.quotient);
    }
}

void checkInt2str(int i) {
    char s[13];
    memset(s, '#', sizeof s);
    int2str(i, s);
    char want[16];
    snprintf(want, sizeof want, "%d", i);
    FUZZ_CHECK(strcmp(s, want) == 0 && s[12] == '#', "int2str(%d) gave \"%.12s\"", i, s);
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void touch(const std::string &path) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
}

void checkRemoveFiles(FuzzInput &in) {
    std::vector<uint8_t> suffix = in.bytes(in.u8());
    // No '/' of its own, so that no name can leave the directory.
    for (uint8_t &c : suffix)
        if (c == '/') c = '_';
    const uint8_t mode = in.u8();
    const int macflag = mode & 1 ? 1 : in.i32();
    const int prehead = in.i32();
    const int64_t cur = mode & 2 ? int64_t(in.i32()) : int64_t(prehead) + int8_t(in.u8());
    if (cur < INT_MIN || cur > INT_MAX) return;
    int curhead = int(cur);
    // Never a long run of deletions.
    if (prehead >= 0 && curhead >= 0 && int64_t(curhead) - prehead > kMaxRun)
        curhead = prehead + kMaxRun;

    std::string dirname = scratchDir + "/";
    dirname.append(suffix.begin(), suffix.end());
    const std::string dir = dirname.substr(0, dirname.find('\0'));
    const char sep = macflag == 1 ? '/' : '\\';
    const std::string sub = dir.substr(scratchDir.size() + 1);
    if (sep == '/' && sub == "..") return;
    auto path = [&](int64_t n) { return dir + sep + std::to_string(n) + ".out"; };
    if (sep == '/' && !sub.empty()) mkdir(dir.c_str(), 0700);

    const bool refused =
        prehead < 0 || curhead < 0 || (prehead < curhead && path(curhead - 1).size() > 199);
    const int64_t first = std::max(prehead, 0);
    std::vector<std::string> named, decoys;
    for (int64_t n = first; n < curhead && named.size() < size_t(kMaxRun); ++n)
        named.push_back(path(n));
    if (curhead >= 0) decoys.push_back(path(curhead));
    if (prehead > 0) decoys.push_back(path(prehead - 1));
    // A path cut to fit must not be deleted in place of the long one.
    if (!named.empty() && named.back().size() > 199) decoys.push_back(named.back().substr(0, 199));
    // Names too long for the file system cannot be made; they are left out.
    std::vector<bool> namedThere, decoyThere;
    for (const std::string &p : named) {
        touch(p);
        namedThere.push_back(exists(p));
    }
    for (const std::string &p : decoys) {
        touch(p);
        decoyThere.push_back(exists(p));
    }

    std::string last = "unchanged";
    int count = 12345;
    const RecordingStatus status =
        removefiles(dirname.data(), int(dirname.size()), prehead, curhead, macflag, &last, &count);
    if (refused) {
        FUZZ_CHECK(status == RecordingStatus::argsOutOfRange, "removefiles(%d, %d) accepted",
                   prehead, curhead);
    } else {
        FUZZ_CHECK(status == RecordingStatus::ok, "removefiles(%d, %d) gave %d", prehead, curhead,
                   int(status));
        FUZZ_CHECK(count == curhead - prehead, "removefiles count %d", count);
        const std::string want = prehead < curhead ? path(curhead - 1) : std::string();
        FUZZ_CHECK(last == want, "removefiles last path \"%s\", expected \"%s\"", last.c_str(),
                   want.c_str());
    }
    for (size_t i = 0; i < named.size(); ++i)
        FUZZ_CHECK(exists(named[i]) == (refused && namedThere[i]), "%s %s", named[i].c_str(),
                   refused ? "deleted" : "left");
    for (size_t i = 0; i < decoys.size(); ++i)
        FUZZ_CHECK(exists(decoys[i]) == decoyThere[i], "%s deleted", decoys[i].c_str());

    for (const std::string &p : named) unlink(p.c_str());
    for (const std::string &p : decoys) unlink(p.c_str());
    if (sep == '/' && !sub.empty()) rmdir(dir.c_str());
}

std::string hexModel(const uint8_t *d, int len, bool showAddr) {
    std::string out;
    char cell[32];
    for (int64_t off = 0; off < len; off += 16) {
        if (showAddr)
            snprintf(cell, sizeof cell, "%p: ", static_cast<const void *>(d + off));
        else
            snprintf(cell, sizeof cell, "%03x: ", unsigned(off));
        out += cell;
        for (int k = 0; k < 16; ++k) {
            const bool present = off + k < len;
            if (present) {
                snprintf(cell, sizeof cell, "%02x ", d[off + k]);
                out += cell;
            } else {
                out += "   ";
            }
            if (k == 7) out += present ? "- " : "  ";
        }
        out += "  ";
        for (int k = 0; k < 16 && off + k < len; ++k) {
            const uint8_t c = d[off + k];
            out += char(c < 0x80 && isprint(c) ? c : '.');
        }
        out += '\n';
    }
    return out;
}

void checkHexDump(int len, bool showAddr, const std::vector<uint8_t> &bytes) {
    ExactBuffer block(bytes.data(), bytes.size());
    char *text = nullptr;
    size_t textSize = 0;
    FILE *capture = open_memstream(&text, &textSize);
    FUZZ_CHECK(capture, "open_memstream");
    FILE *const out = stdout;
    stdout = capture;
    hexDump(block.data(), len, showAddr);
    stdout = out;
    fclose(capture);
    const std::string want = hexModel(block.data(), len, showAddr);
    FUZZ_CHECK(want == std::string(text, textSize), "hexDump of %d bytes", len);
    free(text);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

void removeScratchDir() {
    nftw(scratchDir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Memory-backed where there is such a file system: creating and deleting
    // files is most of the cost of a removefiles call.
    const char *tmp = getenv("TMPDIR");
    struct stat st;
    const char *base = tmp && *tmp ? tmp : stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tessera-fuzz-files.XXXXXX";
    FUZZ_CHECK(mkdtemp(&pattern[0]), "mkdtemp %s", pattern.c_str());
    scratchDir = pattern;
    atexit(removeScratchDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    large = in.u8() & 1;
    FUZZ_CHECK(createBuffer(0, 0) == StoreStatus::ok, "createBuffer(0, 0)");
    int removals = 0;
    for (int op = 0; op < 64 && in.remaining(); ++op) {
        switch (in.u8() % 11) {
            case 0: {
                const int w = sizeOf(in.u16(), 1920), h = sizeOf(in.u16(), 1600);
                FUZZ_CHECK(createBuffer(w, h) == StoreStatus::ok, "createBuffer(%d, %d)", w, h);
                paint(in);
                break;
            }
            case 1: {
                const int w = sizeOf(in.u16(), 1920), h = sizeOf(in.u16(), 1600);
                const int tiles = ((w + 15) / 16) * ((h + 15) / 16);
                const bool fits = w * h <= framePixelsAllocated && tiles <= tilesAllocated;
                const StoreStatus status = clearbuffer(w, h);
                FUZZ_CHECK(status == (fits ? StoreStatus::ok : StoreStatus::beyondAllocation),
                           "clearbuffer(%d, %d) gave %d", w, h, int(status));
                paint(in);
                break;
            }
            case 2: {
                const int w = in.i16(), h = in.i16();
                checkEdges(w, h);
                break;
            }
            case 3: {
                const int y = in.i32(), w = in.i16();
                FUZZ_CHECK(isBlackLine(y, w) == (lineBlack(y, w) ? 1 : 0), "isBlackLine(%d, %d)", y,
                           w);
                break;
            }
            case 4: {
                const int x = in.i32(), h = in.i16();
                FUZZ_CHECK(isBlackColumn(x, h) == (columnBlack(x, h) ? 1 : 0),
                           "isBlackColumn(%d, %d)", x, h);
                break;
            }
            case 5:
                checkGreyscale(in.i32());
                break;
            case 6: {
                const int count = in.u16() % 4097, misalign = in.u8() % 8;
                checkGreyForms(count, misalign, in.u32());
                break;
            }
            case 7:
                checkHeadRecord(in.bytes(in.u8() % 40));
                break;
            case 8:
                checkInt2str(in.i32());
                break;
            case 9:
                // File system calls are slow: a few a run.
                if (removals++ < 4) checkRemoveFiles(in);
                break;
            case 10: {
                int len = in.i16() % 4097;
                const bool showAddr = in.u8() & 1;
                const std::vector<uint8_t> bytes = in.bytes(size_t(std::max(len, 0)));
                if (len > 0) len = int(bytes.size());
                checkHexDump(len, showAddr, bytes);
                break;
            }
        }
    }
    return 0;
}
