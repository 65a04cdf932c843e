// The vector operations that the pixel kernels are written in, so that each
// kernel is one template over them. What every instruction set does alike
// (bitwise operations, lane-wise adds and shifts, loads, stores, splats) is
// written once over the compiler's vector types; each instruction set adds
// the few operations that have no portable spelling. Everything is in an
// unnamed namespace: a file that includes this compiles its own copy with its
// own instruction set, and Avx2Ops exists only in files compiled with -mavx2.
#pragma once

#include <immintrin.h>
#include <stdint.h>
#include <string.h>

namespace {

// A vector is held as 32-bit lanes (Vec); U16 is the same bytes as 16-bit
// lanes (a cast between the two, or to the intrinsics' type, changes no bits).
template <class U16, class U32>
struct LaneOps {
    using Vec = U32;
    // 32-bit lanes in a vector.
    static constexpr int kWords = sizeof(Vec) / 4;

    static Vec load(const void *p) {
        Vec v;
        memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(void *p, Vec v) { memcpy(p, &v, sizeof v); }
    static Vec zero() { return Vec{}; }
    static Vec set16(uint16_t v) { return Vec(U16{} + v); }
    static Vec set32(uint32_t v) { return Vec{} + v; }
    static Vec bitAnd(Vec a, Vec b) { return a & b; }
    static Vec bitOr(Vec a, Vec b) { return a | b; }
    static Vec add16(Vec a, Vec b) { return Vec(U16(a) + U16(b)); }
    static Vec add32(Vec a, Vec b) { return a + b; }
    static Vec shl16(Vec a, int n) { return Vec(U16(a) << n); }
    static Vec shr16(Vec a, int n) { return Vec(U16(a) >> n); }
    static Vec shl32(Vec a, int n) { return a << n; }
    static Vec shr32(Vec a, int n) { return a >> n; }
};

typedef uint16_t U16x8 __attribute__((vector_size(16)));
typedef uint32_t U32x4 __attribute__((vector_size(16)));

struct Sse2Ops : LaneOps<U16x8, U32x4> {
    // The high 16 bits of the unsigned products of the 16-bit lanes.
    static Vec mulhi16(Vec a, Vec b) { return Vec(_mm_mulhi_epu16(__m128i(a), __m128i(b))); }
    // The 16-bit lanes of a and b interleaved (a0 b0 a1 b1 ...), stored in
    // that order over two vectors' worth at p.
    static void storeZip16(void *p, Vec a, Vec b) {
        const __m128i x = __m128i(a), y = __m128i(b);
        _mm_storeu_si128(static_cast<__m128i *>(p), _mm_unpacklo_epi16(x, y));
        _mm_storeu_si128(static_cast<__m128i *>(p) + 1, _mm_unpackhi_epi16(x, y));
    }
};

#ifdef __AVX2__
typedef uint16_t U16x16 __attribute__((vector_size(32)));
typedef uint32_t U32x8 __attribute__((vector_size(32)));

struct Avx2Ops : LaneOps<U16x16, U32x8> {
    static Vec mulhi16(Vec a, Vec b) { return Vec(_mm256_mulhi_epu16(__m256i(a), __m256i(b))); }
    static void storeZip16(void *p, Vec a, Vec b) {
        // The unpacks work within 128-bit halves: lo holds lanes 0-3 and
        // 8-11 of the result, hi holds 4-7 and 12-15.
        const __m256i x = __m256i(a), y = __m256i(b);
        const __m256i lo = _mm256_unpacklo_epi16(x, y), hi = _mm256_unpackhi_epi16(x, y);
        _mm256_storeu_si256(static_cast<__m256i *>(p), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(static_cast<__m256i *>(p) + 1, _mm256_permute2x128_si256(lo, hi, 0x31));
    }
};
#endif

}  // namespace
