// Fuzz inputs read as a sequence of little-endian fields, and the seed
// writer that lays out the checked-in corpora the same way. Past the end of
// an input every field reads as zero, so that any byte string is a program.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

// For the harness's own pixel loops: coverage feedback from them only slows
// the fuzzer down, the code under test keeps its own.
#define FUZZ_UNTRACED __attribute__((no_sanitize("coverage"), noinline))

class FuzzInput {
  public:
    FuzzInput(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}

    size_t remaining() const { return size_t(end_ - p_); }

    uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
    uint16_t u16() { return uint16_t(u8() | u8() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    int16_t i16() { return int16_t(u16()); }
    int32_t i32() { return int32_t(u32()); }
    float f32() {
        const uint32_t bits = u32();
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    // Up to `n` bytes; fewer at the end of the input.
    std::vector<uint8_t> bytes(size_t n) {
        n = n < remaining() ? n : remaining();
        std::vector<uint8_t> out(p_, p_ + n);
        p_ += n;
        return out;
    }
    std::vector<uint8_t> rest() { return bytes(remaining()); }

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

struct SeedWriter {
    std::vector<uint8_t> out;

    void u8(unsigned v) { out.push_back(uint8_t(v)); }
    void u16(unsigned v) {
        u8(v);
        u8(v >> 8);
    }
    void u32(uint32_t v) {
        u16(v);
        u16(v >> 16);
    }
    void f32(float f) {
        uint32_t bits;
        memcpy(&bits, &f, sizeof bits);
        u32(bits);
    }
    void bytes(const void *p, size_t n) {
        const uint8_t *b = static_cast<const uint8_t *>(p);
        out.insert(out.end(), b, b + n);
    }
    void bytes(const std::vector<uint8_t> &v) { out.insert(out.end(), v.begin(), v.end()); }
};

// A failed check: the message, then an abort, which libFuzzer reports as a
// crash and keeps the input that caused it.
#define FUZZ_CHECK(cond, ...)                                                        \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                            \
            fputc('\n', stderr);                                                     \
            abort();                                                                 \
        }                                                                            \
    } while (0)

// A heap block of exactly `n` bytes holding `src`, so that the sanitizer
// catches a read one byte past a buffer that a caller hands over. Never null,
// even for n = 0.
class ExactBuffer {
  public:
    ExactBuffer(const void *src, size_t n) : n_(n), p_(static_cast<uint8_t *>(malloc(n ? n : 1))) {
        if (n) memcpy(p_, src, n);
    }
    explicit ExactBuffer(size_t n) : n_(n), p_(static_cast<uint8_t *>(calloc(n ? n : 1, 1))) {}
    ~ExactBuffer() { free(p_); }
    ExactBuffer(const ExactBuffer &) = delete;
    ExactBuffer &operator=(const ExactBuffer &) = delete;

    uint8_t *data() { return p_; }
    size_t size() const { return n_; }

  private:
    size_t n_;
    uint8_t *p_;
};

// A deterministic stream of pseudo-random words for pixels, seeded from the input.
class PixelNoise {
  public:
    explicit PixelNoise(uint32_t seed) : s_(seed * 2654435761u + 1) {}
    FUZZ_UNTRACED uint32_t next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 17;
        s_ ^= s_ << 5;
        return s_;
    }
    FUZZ_UNTRACED void fill(uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; ++i) p[i] = uint8_t(next());
    }

  private:
    uint32_t s_;
};
