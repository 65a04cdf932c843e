#include "core/tessera/box_shrink.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/tessera/box_shrink_kernels.h"
#include "core/tessera/kernel_choice.h"

namespace {

using Bytes = std::vector<byte_t>;

struct Form {
    std::string name;
    ShrinkXFunction x;
    ShrinkYFunction y;
    ShrinkYRowsFunction rows;  // the vector forms' entries for banded passes
    ShrinkBoxFunction box;
};

Form vectorForm(Isa isa, const ShrinkKernels &k) {
    return {isaName(isa), k.shrinkX, k.shrinkY, k.shrinkYRows, k.shrinkBox};
}

// Every form this CPU runs, the C reference first.
std::vector<Form> allForms() {
    std::vector<Form> forms = {{"C", shrinkX_C, shrinkY_C, nullptr, nullptr},
                               vectorForm(Isa::sse2, shrinkKernels_SSE2)};
    if (cpuRuns(Isa::avx2)) forms.push_back(vectorForm(Isa::avx2, shrinkKernels_AVX2));
    return forms;
}

std::vector<Form> vectorForms() {
    std::vector<Form> forms = allForms();
    forms.erase(forms.begin());
    return forms;
}

// The public entry point, which takes every source column as valid.
void publicX(const byte_t *src, int sw, int, int sh, int sp, byte_t *dst, int dw, int dp) {
    imageShrinkX(src, sw, sh, sp, dst, dw, dp);
}

// Pixels whose four bytes are each the given value.
Bytes grey(const std::vector<int> &values) {
    Bytes out;
    for (int v : values)
        for (int c = 0; c < 4; ++c) out.push_back(byte_t(v));
    return out;
}

std::vector<int> ramp16() {
    std::vector<int> v;
    for (int i = 0; i < 16; ++i) v.push_back(16 * i);
    return v;
}

const std::vector<std::pair<int, std::vector<int>>> kRampResults = {
    {1, {120}},
    {2, {56, 184}},
    {3, {34, 119, 204}},
    {8, {8, 40, 72, 104, 136, 168, 200, 232}},
    {15, {0, 16, 33, 51, 67, 85, 102, 119, 135, 152, 170, 186, 204, 221, 237}},
};

TEST(Shrink, RampGivesTheListedValuesAcrossAndDown) {
    const Bytes src = grey(ramp16());
    for (const Form &form : allForms()) {
        SCOPED_TRACE(form.name);
        for (const auto &[size, expected] : kRampResults) {
            SCOPED_TRACE(size);
            Bytes row(size * 4), column(size * 4);
            form.x(src.data(), 16, 16, 1, 64, row.data(), size, size * 4);
            // The same samples as a column of one-pixel rows.
            form.y(src.data(), 1, 16, 4, column.data(), size, 4);
            EXPECT_EQ(row, grey(expected));
            EXPECT_EQ(column, grey(expected));
        }
    }
    Bytes row(15 * 4);
    imageShrinkX(src.data(), 16, 1, 64, row.data(), 15, 60);
    EXPECT_EQ(row, grey(kRampResults.back().second));
    imageShrinkY(src.data(), 1, 16, 4, row.data(), 15, 4);
    EXPECT_EQ(row, grey(kRampResults.back().second));
}

TEST(Shrink, UniformAreaDarkensOnlyWhenTheReductionIsUneven) {
    const Bytes src = grey(std::vector<int>(16, 255));
    for (const Form &form : allForms()) {
        SCOPED_TRACE(form.name);
        for (int size : {2, 3, 4, 8}) {
            const int expected = size == 3 ? 254 : 255;
            Bytes row(size * 4), column(size * 4);
            form.x(src.data(), 16, 16, 1, 64, row.data(), size, 0);
            form.y(src.data(), 1, 16, 4, column.data(), size, 4);
            EXPECT_EQ(row, grey(std::vector<int>(size, expected))) << size;
            EXPECT_EQ(column, grey(std::vector<int>(size, expected))) << size;
        }
    }
}

TEST(Shrink, DestinationNotSmallerIsACopyAtTheSourceSize) {
    std::mt19937 rng(7);
    Bytes src(3 * 40);  // 3 rows of 10 pixels
    for (auto &b : src) b = byte_t(rng());
    for (const Form &form : allForms()) {
        SCOPED_TRACE(form.name);
        for (int size : {10, 11, 500}) {
            // Rows 12 pixels apart: the two pixels after each copied row stay.
            Bytes dst(3 * 48, 0xEE);
            form.x(src.data(), 10, 10, 3, 40, dst.data(), size, 48);
            for (int y = 0; y < 3; ++y) {
                EXPECT_TRUE(std::equal(src.begin() + y * 40, src.begin() + y * 40 + 40,
                                       dst.begin() + y * 48));
                EXPECT_EQ(dst[y * 48 + 40], 0xEE);
            }
            Bytes down(3 * 48, 0xEE);
            form.y(src.data(), 10, 3, 40, down.data(), size == 10 ? 3 : size, 48);
            EXPECT_EQ(down, dst);
        }
        // Columns past the valid width are copied as zero words.
        Bytes dst(40, 0xEE);
        form.x(src.data(), 10, 7, 1, 40, dst.data(), 10, 40);
        EXPECT_TRUE(std::equal(src.begin(), src.begin() + 28, dst.begin()));
        EXPECT_EQ(Bytes(dst.begin() + 28, dst.end()), Bytes(12, 0));
    }
}

TEST(Shrink, PitchesSkipTheRestOfEachRow) {
    // A 40 x 30 rectangle at (5, 3) of a 64 x 40 image, shrunk into a
    // destination with 6 spare pixels per row, against the same rectangle
    // packed.
    std::mt19937 rng(11);
    Bytes image(64 * 40 * 4);
    for (auto &b : image) b = byte_t(rng());
    Bytes packed;
    for (int y = 3; y < 33; ++y)
        packed.insert(packed.end(), image.begin() + (y * 64 + 5) * 4,
                      image.begin() + (y * 64 + 45) * 4);
    const byte_t *rect = image.data() + (3 * 64 + 5) * 4;
    for (const Form &form : allForms()) {
        SCOPED_TRACE(form.name);
        for (int dw : {13, 20}) {
            const int dp = (dw + 6) * 4;
            Bytes wide(30 * dp, 0xEE), tight(30 * dw * 4);
            form.x(rect, 40, 40, 30, 64 * 4, wide.data(), dw, dp);
            form.x(packed.data(), 40, 40, 30, 160, tight.data(), dw, dw * 4);
            for (int y = 0; y < 30; ++y) {
                ASSERT_TRUE(std::equal(tight.begin() + y * dw * 4, tight.begin() + (y + 1) * dw * 4,
                                       wide.begin() + y * dp));
                ASSERT_EQ(Bytes(wide.begin() + y * dp + dw * 4, wide.begin() + (y + 1) * dp),
                          Bytes(24, 0xEE));
            }
            const int downPitch = 46 * 4;
            Bytes down(dw * downPitch, 0xEE), downTight(dw * 40 * 4);
            form.y(rect, 40, 30, 64 * 4, down.data(), dw, downPitch);
            form.y(packed.data(), 40, 30, 160, downTight.data(), dw, 160);
            for (int y = 0; y < dw; ++y) {
                ASSERT_TRUE(std::equal(downTight.begin() + y * 160,
                                       downTight.begin() + (y + 1) * 160,
                                       down.begin() + y * downPitch));
                ASSERT_EQ(
                    Bytes(down.begin() + y * downPitch + 160, down.begin() + (y + 1) * downPitch),
                    Bytes(24, 0xEE));
            }
        }
    }
}

TEST(Shrink, RowsAndColumnsAreShrunkIndependently) {
    // Each column of the vertical pass, whatever the width (also not a
    // multiple of 4, where the accumulators are cleared in groups of four),
    // comes out as if shrunk alone; likewise each row of the horizontal pass.
    std::mt19937 rng(3);
    for (const Form &form : allForms()) {
        SCOPED_TRACE(form.name);
        for (int width : {5, 6, 7, 9, 13, 31}) {
            const int h = 37, dh = 10;
            Bytes src(width * h * 4);
            for (auto &b : src) b = byte_t(rng());
            Bytes all(width * dh * 4), one(dh * 4);
            form.y(src.data(), width, h, width * 4, all.data(), dh, width * 4);
            for (int x = 0; x < width; ++x) {
                form.y(src.data() + x * 4, 1, h, width * 4, one.data(), dh, 4);
                for (int y = 0; y < dh; ++y)
                    ASSERT_TRUE(std::equal(one.begin() + y * 4, one.begin() + y * 4 + 4,
                                           all.begin() + (y * width + x) * 4))
                        << width << " " << x << " " << y;
            }
            Bytes across(h * dh * 4);
            form.x(src.data(), width, width, h, width * 4, across.data(), 3, 12);
            for (int y = 0; y < h; ++y) {
                form.x(src.data() + y * width * 4, width, width, 1, 0, one.data(), 3, 0);
                ASSERT_TRUE(std::equal(one.begin(), one.begin() + 12, across.begin() + y * 12));
            }
        }
    }
}

TEST(Shrink, CallsOutsideThePreconditionsWriteNothing) {
    const Bytes src(40000 * 4, 200);
    struct Call {
        int sw, valid, sh, sp, dw, dp;
    };
    const Call xCalls[] = {
        {0, 0, 1, 64, 1, 4},        {16, 16, 0, 64, 1, 4},  {16, 16, 1, 64, 0, 4},
        {16, 16, -1, 64, 1, 4},     {16, 16, 2, -64, 1, 4}, {16, 16, 2, 64, 1, -4},
        {32768, 32768, 1, 0, 1, 4}, {16, 17, 1, 64, 1, 4},  {16, -1, 1, 64, 1, 4}};
    const Call yCalls[] = {{0, 0, 16, 4, 1, 4},   {1, 1, 0, 4, 1, 4},   {1, 1, 16, 4, 0, 4},
                           {1, 1, 16, -4, 1, 4},  {1, 1, 16, 4, 1, -4}, {2049, 0, 2, 0, 1, 4},
                           {1, 0, 32768, 0, 1, 4}};
    for (const Form &form : allForms()) {
        SCOPED_TRACE(form.name);
        for (const Call &c : xCalls) {
            Bytes dst(64, 0xEE);
            form.x(src.data(), c.sw, c.valid, c.sh, c.sp, dst.data(), c.dw, c.dp);
            EXPECT_EQ(dst, Bytes(64, 0xEE)) << c.sw << " " << c.sh << " " << c.dw;
        }
        for (const Call &c : yCalls) {
            Bytes dst(64, 0xEE);
            form.y(src.data(), c.sw, c.sh, c.sp, dst.data(), c.dw, c.dp);
            EXPECT_EQ(dst, Bytes(64, 0xEE)) << c.sw << " " << c.sh << " " << c.dw;
        }
    }
}

// Random sizes, pitches and contents within the preconditions. Buffers are
// exactly as large as the rectangles they hold, so that the sanitizer build
// catches any access past them.
struct RandomCase {
    int sw, valid, sh, sp, dsize, dp;
    Bytes src;
};

RandomCase randomCase(std::mt19937 &rng, bool across) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    RandomCase c;
    // The reduced dimension: mostly small, sometimes wide, with whole ratios
    // and the shapes of the region export (16 per tile down to 1..15) often.
    const int maxReduced = across ? kShrinkMaxReduced : 4000;
    int reduced = pick(1, 70);
    const int shape = pick(0, 9);
    if (shape == 0) reduced = pick(1, maxReduced);
    if (shape == 1) reduced = pick(1, 700);
    int dsize = pick(1, reduced);
    if (shape >= 2 && shape <= 4) {
        const int k = 1 << pick(1, 4);
        dsize = pick(1, 40);
        reduced = std::min(maxReduced, dsize * k);
        dsize = reduced / k;
    } else if (shape >= 5 && shape <= 6) {
        const int tiles = pick(1, shape == 5 ? 8 : 120);
        reduced = tiles * 16;
        dsize = tiles * pick(1, 15);
    }
    // The other dimension: small when the reduced one is large, to keep the
    // C form's share of the run short.
    const bool large = shape == 0 || shape == 1 || shape == 6;
    const int other = across ? pick(1, large ? 3 : 19) : pick(1, large ? 12 : 150);
    c.sw = across ? reduced : other;
    c.sh = across ? other : reduced;
    if (!across && c.sw > kShrinkYMaxWidth) c.sw = kShrinkYMaxWidth;
    c.valid = pick(0, 3) ? c.sw : pick(0, c.sw);
    c.dsize = dsize;
    c.sp = c.sw * 4 + (pick(0, 2) ? 0 : 4 * pick(0, 9) + pick(0, 3));
    const int destWidth = across ? dsize : c.sw;
    c.dp = destWidth * 4 + (pick(0, 2) ? 0 : 4 * pick(0, 9));
    // Saturated areas make the 16-bit sums wrap on wide reductions.
    c.src.resize(size_t(c.sh - 1) * c.sp + c.sw * 4);
    const int fill = pick(0, 5);
    for (auto &b : c.src) b = fill == 0 ? 255 : fill == 1 ? byte_t(250 + rng() % 6) : byte_t(rng());
    return c;
}

TEST(Shrink, VectorFormsMatchTheCFormOnRandomCases) {
    std::mt19937 rng(20240611);
    const std::vector<Form> forms = allForms();
    for (int n = 0; n < 3000; ++n) {
        const bool across = n % 2 == 0;
        const RandomCase c = randomCase(rng, across);
        SCOPED_TRACE(testing::Message()
                     << (across ? "x " : "y ") << c.sw << "(" << c.valid << ") x " << c.sh
                     << " pitch " << c.sp << " to " << c.dsize << " pitch " << c.dp);
        const int rows = across ? c.sh : std::min(c.dsize, c.sh);
        const int rowBytes = across ? std::min(c.dsize, c.sw) * 4 : c.sw * 4;
        Bytes expected;
        for (const Form &form : forms) {
            Bytes dst(size_t(rows - 1) * c.dp + rowBytes, 0xEE);
            if (across)
                form.x(c.src.data(), c.sw, c.valid, c.sh, c.sp, dst.data(), c.dsize, c.dp);
            else
                form.y(c.src.data(), c.sw, c.sh, c.sp, dst.data(), c.dsize, c.dp);
            if (expected.empty())
                expected = dst;
            else
                ASSERT_EQ(dst, expected) << form.name;
        }
        if (across && c.valid == c.sw) {
            Bytes dst(size_t(rows - 1) * c.dp + rowBytes, 0xEE);
            publicX(c.src.data(), c.sw, c.valid, c.sh, c.sp, dst.data(), c.dsize, c.dp);
            ASSERT_EQ(dst, expected) << "imageShrinkX";
        }
    }
}

TEST(Shrink, BoxAtWholeRatiosEqualsBothPasses) {
    std::mt19937 rng(99);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (const Form &form : vectorForms()) {
        SCOPED_TRACE(form.name);
        Bytes none(64, 0xEE);
        EXPECT_FALSE(form.box(none.data(), 12, 3, 3, 3, none.data(), 1, 1, 4));
        EXPECT_EQ(none, Bytes(64, 0xEE));
        for (int n = 0; n < 400; ++n) {
            const int k = 2 << pick(0, 3), dw = pick(1, 40), dh = pick(1, 6);
            const int w = k * dw, h = k * dh;
            // Mostly all valid; otherwise a rectangle cut off on the right or
            // at the bottom, as at the edge of a frame.
            const int valid = pick(0, 2) ? w : pick(1, w);
            const int validRows = pick(0, 2) ? h : pick(1, h);
            const int pitch = (w + pick(0, 5)) * 4;
            // Only the valid part exists, so reading past it is caught.
            Bytes src(size_t(validRows - 1) * pitch + valid * 4);
            const int fill = pick(0, 2);
            for (auto &b : src) b = fill == 0 ? 255 : byte_t(rng());
            Bytes padded(size_t(w) * h * 4, 0);
            for (int y = 0; y < validRows; ++y)
                std::copy_n(src.begin() + y * pitch, valid * 4, padded.begin() + y * w * 4);
            Bytes inter(size_t(dw) * h * 4), expected(size_t(dw) * dh * 4);
            shrinkX_C(padded.data(), w, w, h, w * 4, inter.data(), dw, dw * 4);
            shrinkY_C(inter.data(), dw, h, dw * 4, expected.data(), dh, dw * 4);
            Bytes out(expected.size(), 0xEE);
            ASSERT_TRUE(
                form.box(src.data(), pitch, k, valid, validRows, out.data(), dw, dh, dw * 4));
            ASSERT_EQ(out, expected)
                << k << " " << dw << "x" << dh << " valid " << valid << "x" << validRows;
        }
    }
}

TEST(Shrink, VerticalPassInBandsEqualsTheWholePass) {
    // Destination rows in random pieces, each given only the source rows it
    // reads, copied to a buffer of their own.
    std::mt19937 rng(17);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (const Form &form : vectorForms()) {
        SCOPED_TRACE(form.name);
        for (int n = 0; n < 300; ++n) {
            const int w = pick(1, 70), h = pick(2, 120), dh = pick(1, h - 1);
            Bytes src(size_t(w) * h * 4);
            for (auto &b : src) b = byte_t(rng());
            Bytes expected(size_t(w) * dh * 4), out(expected.size(), 0xEE);
            shrinkY_C(src.data(), w, h, w * 4, expected.data(), dh, w * 4);
            const uint64_t step = uint64_t(h) * 65536 / dh;
            for (int j0 = 0; j0 < dh;) {
                const int j1 = pick(j0 + 1, dh);
                const int from = int(j0 * step >> 16);
                const int to = std::min(h, int((j1 * step + 0xFFFF) >> 16));
                const Bytes rows(src.begin() + from * w * 4, src.begin() + to * w * 4);
                form.rows(rows.data(), from, w, h, w * 4, out.data() + j0 * w * 4, dh, w * 4, j0,
                          j1);
                j0 = j1;
            }
            ASSERT_EQ(out, expected) << w << "x" << h << " to " << dh;
        }
    }
}

}  // namespace
