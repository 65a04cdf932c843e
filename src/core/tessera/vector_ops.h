// The handful of vector operations that the tile and greyscale kernels are
// written in, once per instruction set, so that each kernel is one template
// over them. Everything is in an unnamed namespace: a file that includes this
// compiles its own copy with its own instruction set, and Avx2Ops exists only
// in files compiled with -mavx2.
#pragma once

#include <immintrin.h>
#include <stdint.h>

namespace {

struct Sse2Ops {
    using Vec = __m128i;
    static constexpr int kWords = 4;  // 32-bit lanes in a vector

    static Vec load(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
    static void store(void *p, Vec v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
    static Vec set16(uint16_t v) { return _mm_set1_epi16(int16_t(v)); }
    static Vec set32(uint32_t v) { return _mm_set1_epi32(int32_t(v)); }
    static Vec bitAnd(Vec a, Vec b) { return _mm_and_si128(a, b); }
    static Vec bitOr(Vec a, Vec b) { return _mm_or_si128(a, b); }
    static Vec add32(Vec a, Vec b) { return _mm_add_epi32(a, b); }
    static Vec shl16(Vec a, int n) { return _mm_slli_epi16(a, n); }
    static Vec shr16(Vec a, int n) { return _mm_srli_epi16(a, n); }
    static Vec shl32(Vec a, int n) { return _mm_slli_epi32(a, n); }
    static Vec shr32(Vec a, int n) { return _mm_srli_epi32(a, n); }
    static Vec mulhi16(Vec a, Vec b) { return _mm_mulhi_epu16(a, b); }
    // The 16-bit lanes of a and b interleaved (a0 b0 a1 b1 ...), stored in
    // that order over two vectors' worth at p.
    static void storeZip16(void *p, Vec a, Vec b) {
        store(p, _mm_unpacklo_epi16(a, b));
        store(static_cast<Vec *>(p) + 1, _mm_unpackhi_epi16(a, b));
    }
};

#ifdef __AVX2__
struct Avx2Ops {
    using Vec = __m256i;
    static constexpr int kWords = 8;

    static Vec load(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }
    static void store(void *p, Vec v) { _mm256_storeu_si256(static_cast<__m256i *>(p), v); }
    static Vec set16(uint16_t v) { return _mm256_set1_epi16(int16_t(v)); }
    static Vec set32(uint32_t v) { return _mm256_set1_epi32(int32_t(v)); }
    static Vec bitAnd(Vec a, Vec b) { return _mm256_and_si256(a, b); }
    static Vec bitOr(Vec a, Vec b) { return _mm256_or_si256(a, b); }
    static Vec add32(Vec a, Vec b) { return _mm256_add_epi32(a, b); }
    static Vec shl16(Vec a, int n) { return _mm256_slli_epi16(a, n); }
    static Vec shr16(Vec a, int n) { return _mm256_srli_epi16(a, n); }
    static Vec shl32(Vec a, int n) { return _mm256_slli_epi32(a, n); }
    static Vec shr32(Vec a, int n) { return _mm256_srli_epi32(a, n); }
    static Vec mulhi16(Vec a, Vec b) { return _mm256_mulhi_epu16(a, b); }
    static void storeZip16(void *p, Vec a, Vec b) {
        // The unpacks work within 128-bit halves: lo holds lanes 0-3 and
        // 8-11 of the result, hi holds 4-7 and 12-15.
        const Vec lo = _mm256_unpacklo_epi16(a, b), hi = _mm256_unpackhi_epi16(a, b);
        store(p, _mm256_permute2x128_si256(lo, hi, 0x20));
        store(static_cast<Vec *>(p) + 1, _mm256_permute2x128_si256(lo, hi, 0x31));
    }
};
#endif

}  // namespace
