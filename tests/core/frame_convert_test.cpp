#include "core/camera/frame_convert.h"

#include <gtest/gtest.h>
#include <math.h>

#include <random>
#include <string>
#include <vector>

#include "core/camera/frame_convert_api.h"
#include "core/tessera/kernel_choice.h"

namespace {

using Bytes = std::vector<byte_t>;

constexpr byte_t kGuard = 0xA5;
constexpr int kGuardBytes = 64;

struct Form {
    std::string name;
    ConvertKernels k;
};

std::vector<Form> vectorForms() {
    std::vector<Form> forms = {{"sse2", convertKernels_SSE2}};
    if (cpuRuns(Isa::avx2)) forms.push_back({"avx2", convertKernels_AVX2});
    return forms;
}

ConvertRow rowOf(const ConvertKernels &k, FrameFormat f) {
    return f == FrameFormat::yuyv ? k.yuyv : k.rgb3;
}

// The row's output followed by guard bytes that must stay untouched.
Bytes runRow(ConvertRow row, FrameFormat f, const Bytes &src, int width) {
    const size_t n = size_t(frameRowBytes(f, width));
    Bytes dst(n + kGuardBytes, kGuard);
    row(src.data(), dst.data(), width);
    return dst;
}

Bytes pixels(const std::vector<uint32_t> &rgbx) {
    Bytes b(rgbx.size() * 4);
    for (size_t i = 0; i < rgbx.size(); ++i)
        for (int c = 0; c < 4; ++c) b[4 * i + c] = byte_t(rgbx[i] >> (8 * c));
    return b;
}

// Every vector row writes the C row's bytes and nothing past them, on random
// bytes and on bytes of 0 and 255 only, where the sums are at their extremes.
TEST(FrameConvert, VectorRowsMatchC) {
    std::mt19937 rng(7);
    for (const Form &form : vectorForms()) {
        for (FrameFormat f : {FrameFormat::yuyv, FrameFormat::rgb3}) {
            for (int width : {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 63, 65, 1919, 1920}) {
                for (bool extremes : {false, true}) {
                    Bytes src(size_t(width) * 4);
                    for (byte_t &b : src)
                        b = extremes ? byte_t(rng() & 1 ? 255 : 0) : byte_t(rng());
                    EXPECT_EQ(runRow(rowOf(form.k, f), f, src, width),
                              runRow(rowOf(convertKernels_C, f), f, src, width))
                        << form.name << " format " << uint32_t(f) << " width " << width
                        << (extremes ? " extremes" : " random");
                }
            }
        }
    }
}

int bt601(double offset, double r, double g, double b, const double w[3]) {
    return int(lround(offset + (w[0] * r + w[1] * g + w[2] * b) / 255));
}

// Pure colours against the BT.601 formulas in floating point, and the X
// byte ignored.
TEST(FrameConvert, KnownColours) {
    const double wy[3] = {65.481, 128.553, 24.966}, wu[3] = {-37.797, -74.203, 112.0},
                 wv[3] = {112.0, -93.786, -18.214};
    for (uint32_t c : {0x00000000u, 0xFFFFFFFFu, 0xFF0000FFu, 0x0000FF00u, 0xFFFF0000u, 0x00808080u,
                       0xFF102030u}) {
        const double r = c & 0xFF, g = c >> 8 & 0xFF, b = c >> 16 & 0xFF;
        const Bytes src = pixels({c, c});
        const Bytes out = runRow(yuyvRow_C, FrameFormat::yuyv, src, 2);
        const int y = bt601(16, r, g, b, wy);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 4),
                  Bytes({byte_t(y), byte_t(bt601(128, r, g, b, wu)), byte_t(y),
                         byte_t(bt601(128, r, g, b, wv))}))
            << std::hex << c;
    }
    EXPECT_EQ(runRow(yuyvRow_C, FrameFormat::yuyv, pixels({0xFF000000u, 0}), 2)[0], 16);
    EXPECT_EQ(runRow(yuyvRow_C, FrameFormat::yuyv, pixels({0x00FFFFFFu, 0}), 2)[0], 235);
    const Bytes rgb = runRow(rgb3Row_C, FrameFormat::rgb3, pixels({0xFF030201u, 0x00060504u}), 2);
    EXPECT_EQ(Bytes(rgb.begin(), rgb.begin() + 6), Bytes({1, 2, 3, 4, 5, 6}));
}

// Chroma is the average of the pair; an odd row's last pixel is paired with
// itself, giving the bytes of a pair of two equal pixels.
TEST(FrameConvert, PairsAverageAndOddTail) {
    const Bytes pair = runRow(yuyvRow_C, FrameFormat::yuyv, pixels({0x000000FFu, 0x00FF0000u}), 2);
    const Bytes mix = runRow(yuyvRow_C, FrameFormat::yuyv, pixels({0x00800080u, 0x00800080u}), 2);
    EXPECT_EQ(pair[1], mix[1]);
    EXPECT_EQ(pair[3], mix[3]);
    const Bytes odd = runRow(yuyvRow_C, FrameFormat::yuyv, pixels({0, 0, 0x00405060u}), 3);
    const Bytes same = runRow(yuyvRow_C, FrameFormat::yuyv, pixels({0x00405060u, 0x00405060u}), 2);
    EXPECT_EQ(Bytes(odd.begin() + 4, odd.begin() + 8), Bytes(same.begin(), same.begin() + 4));
    EXPECT_EQ(odd[8], kGuard);
}

// The plane function follows both strides and leaves the bytes between rows
// alone.
TEST(FrameConvert, PlaneFollowsStrides) {
    std::mt19937 rng(11);
    const int width = 37, height = 5, srcStride = width * 4 + 12;
    Bytes src(size_t(srcStride) * height);
    for (byte_t &b : src) b = byte_t(rng());
    for (FrameFormat f : {FrameFormat::yuyv, FrameFormat::rgb3}) {
        const int row = int(frameRowBytes(f, width)), dstStride = row + 5;
        Bytes dst(size_t(dstStride) * height, kGuard);
        ASSERT_TRUE(convertFrame(f, src.data(), srcStride, dst.data(), dstStride, width, height));
        for (int y = 0; y < height; ++y) {
            const Bytes line(src.begin() + y * srcStride, src.begin() + y * srcStride + width * 4);
            Bytes want = runRow(rowOf(convertKernels_C, f), f, line, width);
            want.resize(size_t(dstStride), kGuard);
            EXPECT_EQ(Bytes(dst.begin() + y * dstStride, dst.begin() + (y + 1) * dstStride), want)
                << "row " << y;
        }
    }
}

TEST(FrameConvert, PlaneRefusesBadArguments) {
    Bytes src(64 * 4, 1), dst(64 * 4, kGuard);
    const FrameFormat y = FrameFormat::yuyv;
    EXPECT_FALSE(convertFrame(FrameFormat(0), src.data(), 16, dst.data(), 16, 4, 4));
    EXPECT_FALSE(convertFrame(y, src.data(), 16, dst.data(), 8, 0, 4));
    EXPECT_FALSE(convertFrame(y, src.data(), 16, dst.data(), 8, 4, 0));
    EXPECT_FALSE(convertFrame(y, src.data(), 15, dst.data(), 8, 4, 4));
    EXPECT_FALSE(convertFrame(y, src.data(), 16, dst.data(), 7, 4, 4));
    EXPECT_FALSE(convertFrame(y, src.data(), -16, dst.data(), 8, 4, 4));
    EXPECT_FALSE(convertFrame(FrameFormat::rgb3, src.data(), 16, dst.data(), 11, 4, 4));
    EXPECT_EQ(dst, Bytes(dst.size(), kGuard));
}

// The C interface checks the frame against the buffers' sizes: one byte short
// on either side is refused, the exact sizes are not.
TEST(FrameConvert, InterfaceChecksBuffers) {
    const uint32_t yuyv = uint32_t(FrameFormat::yuyv);
    const int width = 5, height = 3, srcStride = 24;
    int stride = 0;
    ASSERT_EQ(fcFrameBytes(yuyv, width, height, &stride), 36);
    EXPECT_EQ(stride, 12);
    EXPECT_EQ(fcFrameBytes(uint32_t(FrameFormat::rgb3), width, height, nullptr), 45);
    EXPECT_EQ(fcFrameBytes(yuyv, 0, height, &stride), -1);
    EXPECT_EQ(fcFrameBytes(yuyv, width, 0, &stride), -1);
    EXPECT_EQ(fcFrameBytes(1, width, height, &stride), -1);

    const size_t srcSize = size_t(srcStride) * (height - 1) + width * 4;
    Bytes src(srcSize, 9), dst(36, kGuard);
    EXPECT_EQ(
        fcConvert(yuyv, src.data(), srcSize - 1, srcStride, dst.data(), 36, 12, width, height), -1);
    EXPECT_EQ(fcConvert(yuyv, src.data(), srcSize, srcStride, dst.data(), 35, 12, width, height),
              -1);
    EXPECT_EQ(fcConvert(yuyv, nullptr, srcSize, srcStride, dst.data(), 36, 12, width, height), -1);
    EXPECT_EQ(fcConvert(yuyv, src.data(), srcSize, srcStride, nullptr, 36, 12, width, height), -1);
    EXPECT_EQ(fcConvert(yuyv, src.data(), srcSize, 19, dst.data(), 36, 12, width, height), -1);
    EXPECT_EQ(fcConvert(yuyv, src.data(), srcSize, srcStride, dst.data(), 36, 11, width, height),
              -1);
    EXPECT_EQ(fcConvert(yuyv, src.data(), srcSize, srcStride, dst.data(), 36, 12, -1, height), -1);
    EXPECT_EQ(fcConvert(7, src.data(), srcSize, srcStride, dst.data(), 36, 12, width, height), -1);
    EXPECT_EQ(dst, Bytes(36, kGuard));
    // Converting a frame onto its own pixels would read converted rows.
    EXPECT_EQ(
        fcConvert(yuyv, src.data(), srcSize, srcStride, src.data() + 8, 36, 12, width, height), -1);
    EXPECT_EQ(src, Bytes(srcSize, 9));
    EXPECT_EQ(fcConvert(yuyv, src.data(), srcSize, srcStride, dst.data(), 36, 12, width, height),
              0);
    EXPECT_NE(dst, Bytes(36, kGuard));
    EXPECT_STREQ(fcKernelName(), isaName(cpuIsa()));
}

}  // namespace
