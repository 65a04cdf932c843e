// Writes the seed corpora of the fuzz targets, in the input layouts that the
// targets' comments describe: tile streams made by the tile-stream encoder
// (cut where transfers end and inside packets), hand-made streams with the
// odd items, and scripts for the export, the analysis and the bulk ring.
//   make_corpus DIR    writes DIR/intake, DIR/export, DIR/analysis, DIR/ring
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "fuzz_input.h"
#include "core/tessera/tile_format.h"
#include "tile_encoder.h"

namespace {

std::string outDir;

void save(const char *target, const char *name, const SeedWriter &seed) {
    const std::string dir = outDir + "/" + target;
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(seed.out.data(), 1, seed.out.size(), f) != seed.out.size() || fclose(f)) {
        fprintf(stderr, "make_corpus: cannot write %s: %s\n", path.c_str(), strerror(errno));
        exit(1);
    }
}

// ---- intake ----------------------------------------------------------------

struct Step {
    int length;
    unsigned how = 0, pos = 0, query = 1 | 8;  // every row's runs and a scaled export
    int ty = 0, tw = 0;
    unsigned scale = 7;  // 1/2
    float raw = 0;
    unsigned newW = 0, newH = 0;
    uint8_t header[16] = {};
};

std::vector<uint8_t> encoded(int w, int h, int frames, int transferBytes,
                             std::vector<int> *transfers) {
    TsEncoder *enc = tsEncoderNew(w, h, transferBytes);
    std::vector<uint16_t> frame(size_t(w) * h);
    std::vector<uint8_t> stream, buf(static_cast<size_t>(transferBytes));
    for (int i = 0; i < frames; ++i) {
        tsTestPattern(frame.data(), w, h, i);
        tsEncoderPutFrame(enc, frame.data(), nullptr);
        while (int n = tsEncoderTakeTransfer(enc, buf.data(), transferBytes)) {
            stream.insert(stream.end(), buf.begin(), buf.begin() + n);
            if (transfers) transfers->push_back(n);
        }
    }
    tsEncoderFree(enc);
    return stream;
}

void intakeSeed(const char *name, int w, int h, bool large, const std::vector<Step> &steps,
                const std::vector<uint8_t> &stream) {
    SeedWriter s;
    s.u16(w);
    s.u16(h);
    s.u8(large);
    s.u8(steps.size() - 1);
    for (const Step &st : steps) {
        s.u16(st.length);
        s.u8(st.how);
        s.u8(st.pos);
        s.u8(st.query);
        s.u16(uint16_t(st.ty));
        s.u16(uint16_t(st.tw));
        s.u8(st.scale);
        s.f32(st.raw);
        s.u16(st.newW);
        s.u16(st.newH);
        s.bytes(st.header, sizeof st.header);
    }
    s.bytes(stream);
    save("intake", name, s);
}

void put16(std::vector<uint8_t> *out, unsigned v) {
    out->push_back(uint8_t(v));
    out->push_back(uint8_t(v >> 8));
}

void fill(std::vector<uint8_t> *out, unsigned colour, int tx, int ty, bool first = false) {
    put16(out, colour);
    put16(out, unsigned(tileHeader(tx, ty) | kFillFlag | (first ? kFirstTileFlag : 0)));
}

void pixels(std::vector<uint8_t> *out, int tx, int ty, unsigned seed) {
    put16(out, 0);
    put16(out, tileHeader(tx, ty));
    PixelNoise noise(seed);
    for (int i = 0; i < 256; ++i) put16(out, noise.next());
}

void padding(std::vector<uint8_t> *out) {
    put16(out, kPaddingWord);
    put16(out, kPaddingWord);
}

void intakeSeeds() {
    // Frames as the encoder cuts them into transfers, each transfer one buffer.
    std::vector<int> transfers;
    std::vector<uint8_t> stream = encoded(64, 48, 2, 2048, &transfers);
    std::vector<Step> steps;
    for (int n : transfers) steps.push_back(Step{n});
    steps[1].scale = 3;   // 1/4
    steps[2].scale = 14;  // 15/16
    intakeSeed("encoder-64x48-transfers", 64, 48, false, steps, stream);

    // The same stream cut inside pixel packets, with every kind of replay.
    steps.clear();
    const int cuts[] = {100, 416, 1000, 515, 1, 3, 600, 5000, 2, 4096};
    for (size_t i = 0; i < sizeof cuts / sizeof cuts[0]; ++i) {
        Step st{cuts[i]};
        st.how = unsigned(i % 4);
        st.ty = int(i) - 1;
        st.tw = int(i) * 3 - 4;
        st.scale = unsigned(16 + i);
        st.query = (i % 3 == 0 ? 1 : 8) | unsigned(i % 4) << 4;  // some refuse a run
        const int32_t hostile[4] = {516, int32_t(i * 50), 1920, 1080};
        memcpy(st.header, hostile, sizeof hostile);
        steps.push_back(st);
    }
    steps.push_back(Step{65535});
    intakeSeed("encoder-64x48-cut-in-packets", 64, 48, false, steps, stream);

    // Partial edge tiles, and the store re-dimensioned and re-made mid-stream.
    transfers.clear();
    stream = encoded(41, 37, 2, 512, &transfers);
    steps.clear();
    for (size_t i = 0; i < transfers.size(); ++i) {
        Step st{transfers[i] - (i % 2 ? 7 : 0)};
        if (i == 2) {
            st.how = 1 << 2;  // clearbuffer
            st.newW = 33;
            st.newH = 20;
        } else if (i == 4) {
            st.how = 2 << 2;  // createBuffer
            st.newW = 40;
            st.newH = 40;
        } else if (i == 5) {
            st.how = 2 << 2 | 0x10 | 1 << 5;  // createBuffer whose marks allocation fails
            st.newW = 50;
            st.newH = 50;
        } else if (i == 6) {
            st.how = 2 << 2;
            st.newW = 41;
            st.newH = 37;
        } else if (i == 7) {
            st.how = 3 << 2;   // setChangedArray
            st.query = 2 | 8;  // scratch allocation fails
        }
        st.scale = unsigned(i % 16);
        steps.push_back(st);
    }
    intakeSeed("encoder-41x37-store-calls", 41, 37, false, steps, stream);

    // Hand-made items: padding at odd places, out-of-range tiles, first-tile
    // flags, a lone header word, packets left short.
    stream.clear();
    fill(&stream, 0xF800, 0, 0, true);
    padding(&stream);
    pixels(&stream, 2, 1, 1);
    stream.push_back(0x55);  // odd from here on
    padding(&stream);
    fill(&stream, 0x1234, 127, 127);
    put16(&stream, 0);
    put16(&stream, 0xFFFF);
    pixels(&stream, 3, 0, 2);
    fill(&stream, 0xFFFF, 4, 2, true);
    pixels(&stream, 9, 9, 3);
    stream.resize(stream.size() - 100);
    pixels(&stream, 1, 1, 4);
    stream.push_back(0xAB);
    stream.push_back(0xCD);
    steps = {Step{8}, Step{600}, Step{4}, Step{300}, Step{1200}};
    steps[1].pos = 5;
    steps[2].how = 0x80;  // offset out of range
    steps[3].how = 3;
    intakeSeed("hand-made-items", 70, 50, false, steps, stream);

    // A larger frame, beyond the small sizes.
    transfers.clear();
    stream = encoded(330, 20, 1, 16384, &transfers);
    steps.clear();
    for (int n : transfers) steps.push_back(Step{n});
    intakeSeed("encoder-330x20-large", 330, 20, true, steps, stream);
}

// ---- export ----------------------------------------------------------------

struct Export {
    int tx, ty, w, h;
    unsigned scale;
    float raw;
    bool failScratch;
};

struct Kernel {
    unsigned pass;
    int srcwidth, validwidth, srcheight, srcExtra, dest, destExtra;
    uint32_t seed;
    int j0, j1;
};

struct Box {
    unsigned ratio;  // index: 2, 4, 8, 16, then ratios that are turned down
    int destwidth, destheight, validwidth, validheight;
    unsigned srcExtra, destExtra;
};

void exportSeed(const char *name, int w, int h, unsigned flags, int cw, int ch,
                const std::vector<Export> &exports, const std::vector<Kernel> &kernels,
                const std::vector<Box> &boxes = {}) {
    SeedWriter s;
    s.u16(w);
    s.u16(h);
    s.u8(flags);
    s.u32(12345);
    s.u16(cw);
    s.u16(ch);
    s.u8(exports.size());
    for (const Export &e : exports) {
        s.u16(uint16_t(e.tx));
        s.u16(uint16_t(e.ty));
        s.u16(uint16_t(e.w));
        s.u16(uint16_t(e.h));
        s.u8(e.scale);
        s.f32(e.raw);
        s.u8(e.failScratch);
    }
    for (const Kernel &k : kernels) {
        s.u8(k.pass);
        s.u16(k.srcwidth);
        s.u16(k.validwidth);
        s.u16(k.srcheight);
        s.u16(uint16_t(k.srcExtra));
        s.u16(k.dest);
        s.u16(uint16_t(k.destExtra));
        s.u32(k.seed);
        s.u16(k.j0);
        s.u16(k.j1);
    }
    for (const Box &b : boxes) {
        s.u8(3);
        s.u8(b.ratio);
        s.u16(b.destwidth - 1);
        s.u16(b.destheight - 1);
        s.u16(b.validwidth);
        s.u16(b.validheight);
        s.u8(b.srcExtra);
        s.u8(b.destExtra);
        s.u32(b.destwidth * 7 + b.validheight);
    }
    save("export", name, s);
}

void exportSeeds() {
    std::vector<Export> every;
    for (unsigned code = 0; code < 26; ++code) every.push_back({0, 0, 3, 3, code, 0.37f, false});
    exportSeed("every-scale", 48, 48, 0, 0, 0, every, {});

    exportSeed("clipped-and-out-of-range", 41, 37, 2 | 1 << 2, 33, 20,
               {{1, 1, 5, 5, 7, 0, false},
                {2, 1, 1, 1, 0, 0, false},
                {0, 0, 4, 4, 2, 0, true},
                {-1, 0, 1, 1, 15, 0, false},
                {0, 0, 0, 1, 15, 0, false},
                {0, 0, 1, 9, 15, 0, false},
                {0, 0, 3, 2, 255, 0.999f, false}},
               {});

    exportSeed("wide-frame", 1000, 70, 1 | 3 << 2, 0, 0,
               {{0, 0, 63, 5, 4, 0, false}, {10, 2, 60, 3, 9, 0, false}}, {});

    exportSeed("kernels", 16, 16, 0, 0, 0, {},
               {{0, 16, 16, 1, 0, 1, 0, 1, 0, 0},
                {0, 37, 30, 5, 12, 11, 8, 2, 0, 0},
                {0, 300, 300, 3, 0, 7, -4, 3, 0, 0},
                {1, 7, 0, 16, 0, 3, 0, 4, 0, 0},
                {1, 33, 0, 100, 40, 17, 4, 5, 0, 0},
                {2, 20, 0, 64, 0, 24, 0, 6, 3, 20},
                {2, 2048, 0, 17, 0, 5, 0, 7, 0, 5},
                {0, 0, 0, 3, 0, 1, 0, 8, 0, 0},
                {1, 2049, 0, 4, 0, 2, 0, 9, 0, 0}},
               {{0, 20, 3, 37, 6, 0, 0},
                {1, 9, 5, 36, 17, 3, 1},
                {2, 4, 2, 29, 16, 0, 2},
                {3, 3, 3, 48, 47, 5, 0},
                {5, 1, 1, 1, 1, 0, 0}});
}

// ---- analysis ----------------------------------------------------------------

void analysisSeeds() {
    SeedWriter s;
    s.u8(0);
    // 160 x 120 with borders left 20, right 0, top 10, bottom 5.
    s.u8(0);
    s.u16(160);
    s.u16(120);
    s.u32(7);
    s.u8(10);
    for (unsigned b : {20, 0, 10, 5}) s.u8(b);
    s.u8(2);
    s.u16(160);
    s.u16(120);
    s.u8(2);
    s.u16(100);
    s.u16(75);
    s.u8(3);
    s.u32(0);
    s.u16(160);
    s.u8(4);
    s.u32(159);
    s.u16(121);
    s.u8(5);
    s.u32(1);
    s.u8(6);
    s.u16(37);
    s.u8(3);
    s.u32(9);
    // Black beyond the limit at the top: that pair is dropped.
    s.u8(0);
    s.u16(200);
    s.u16(200);
    s.u32(8);
    s.u8(0);
    for (unsigned b : {3, 74, 80, 2}) s.u8(b);
    s.u8(2);
    s.u16(200);
    s.u16(200);
    s.u8(1);  // clearbuffer to a smaller frame, painted anew
    s.u16(100);
    s.u16(100);
    s.u32(9);
    s.u8(40);
    for (unsigned b : {75, 1, 0, 30}) s.u8(b);
    s.u8(2);
    s.u16(90);
    s.u16(90);
    s.u8(5);
    s.u32(0);
    save("analysis", "edges-and-grey", s);

    SeedWriter f;
    f.u8(0);
    for (std::vector<uint32_t> words :
         {std::vector<uint32_t>{7, 100, 25}, std::vector<uint32_t>{0, 0xFFFFFFFE, 2},
          std::vector<uint32_t>{1, 2, 0}, std::vector<uint32_t>{1, 2}}) {
        f.u8(7);
        f.u8(words.size() * 4 + (words.size() == 3 ? 4 : 0));
        for (uint32_t w : words) f.u32(w);
        if (words.size() == 3) f.u32(0xDEADBEEF);
    }
    for (uint32_t i : {0u, 7u, 0x80000000u, 0xFFFFFFFFu}) {
        f.u8(8);
        f.u32(i);
    }
    const char rec[] = "rec";
    f.u8(9);  // rec/3.out .. rec/5.out
    f.u8(3);
    f.bytes(rec, 3);
    f.u8(3);
    f.u32(3);
    f.u32(6);
    f.u8(9);  // rec\3.out .. with macflag 2
    f.u8(3);
    f.bytes(rec, 3);
    f.u8(2);
    f.u32(2);
    f.u32(3);
    f.u32(6);
    f.u8(9);  // a negative curhead
    f.u8(4);
    f.bytes("a\0bc", 4);
    f.u8(3);
    f.u32(1);
    f.u32(0xFFFFFFF0u);
    f.u8(9);  // a path just too long
    f.u8(180);
    for (int i = 0; i < 180; ++i) f.u8('x');
    f.u8(1);
    f.u32(9);
    f.u8(1);
    for (int len : {3, 17, 0, -5}) {
        f.u8(10);
        f.u16(uint16_t(len));
        f.u8(len == 17);
        for (int i = 0; i < len; ++i) f.u8(i == 1 ? 0 : i + 0x40);
    }
    save("analysis", "files-and-dump", f);
}

// ---- ring --------------------------------------------------------------------

void ringSeeds() {
    SeedWriter a;  // reads of full, short and empty transfers, a stall, a failure, detach
    a.u8(0);
    a.u8(0x81);
    a.u8(1);
    a.u16(40000);
    a.u32(1);
    a.u8(2);
    for (int i = 0; i < 4; ++i) {
        a.u8(9);
        a.u8(1);
    }
    a.u8(4);
    a.u8(1);
    a.u8(1);
    a.u16(700);
    a.u32(2);
    a.u8(3);
    a.u32(uint32_t(-EOVERFLOW));
    for (int i = 0; i < 4; ++i) {
        a.u8(9);
        a.u8(0);
    }
    a.u8(12);  // the halt cleared: the stream goes on
    a.u8(0);
    for (int i = 0; i < 3; ++i) {
        a.u8(9);
        a.u8(0);
    }
    a.u8(10);
    a.u8(9);
    a.u8(11);
    save("ring", "reads-stall-failure-detach", a);

    SeedWriter b;  // a refused submission in attach and in a read, then an unplug
    b.u8(5);
    b.u8(3);
    b.u8(5);
    b.u8(0);
    b.u8(0x81);
    b.u8(0);
    b.u8(0x81);
    b.u8(5);
    b.u8(1);
    b.u8(19);
    b.u8(1);
    b.u16(20000);
    b.u32(3);
    for (int i = 0; i < 3; ++i) {
        b.u8(9);
        b.u8(2);
    }
    b.u8(1);
    b.u16(100);
    b.u32(4);
    b.u8(6);
    b.u8(1);
    for (int i = 0; i < 5; ++i) {
        b.u8(9);
        b.u8(1);
    }
    b.u8(11);
    save("ring", "refusals-and-unplug", b);

    SeedWriter c;  // a signal during a delayed transfer; every slot failing
    c.u8(0);
    c.u8(0x81);
    c.u8(7);
    c.u16(1500);
    c.u8(8);
    c.u16(300);
    c.u8(1);
    c.u16(64);
    c.u32(5);
    c.u8(9);
    c.u8(0);
    for (int i = 0; i < 17; ++i) {
        c.u8(3);
        c.u32(uint32_t(-EPROTO + i));
        c.u8(9);
        c.u8(2);
    }
    c.u8(9);
    c.u8(1);
    c.u8(11);
    c.u8(0);
    c.u8(0xC8);  // a wrong endpoint
    save("ring", "signal-and-exhaustion", c);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    outDir = argv[1];
    mkdir(outDir.c_str(), 0755);
    intakeSeeds();
    exportSeeds();
    analysisSeeds();
    ringSeeds();
    return 0;
}
