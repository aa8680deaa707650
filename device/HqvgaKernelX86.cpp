// SSE2, AVX2 and AVX-512 decodes. SSE2 is part of every x86-64 CPU; the AVX2
// and AVX-512 code is compiled per function for its target and only called
// when the CPU has it.
#include "device/HqvgaKernelSimd.h"

#if NORVANE_HQVGA_X86

// GCC 12's AVX-512 headers fill don't-care lanes from self-initialised
// variables, which -Wuninitialized reports wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#define NORVANE_AVX2 __attribute__((target("avx2,fma")))
#define NORVANE_AVX512 __attribute__((target("avx512f,avx512bw,avx2,fma")))

namespace Norvane {
namespace hqvga {
namespace detail {
namespace {

static_assert(kPixels % 32 == 0 && kWidth % 16 == 0, "the vector loops have no tail");

// The octant of each pixel, as phase = turns * pi / 4 + atan(num / den) with
// |num / den| <= tan(pi / 8).
struct Octant128 {
    __m128i num, den, turns;
};
struct Octant256 {
    __m256i num, den, turns;
};

// ---------------------------------------------------------------- SSE2 ----

inline __m128i negateWhere(__m128i v, __m128i mask) { return _mm_sub_epi16(_mm_xor_si128(v, mask), mask); }

// Shifted samples of 8 pixels; the low 11 bits sign-extended, times 2^scaleBits.
inline __m128i samples(const uint8_t* p, __m128i count, int scaleBits) {
    __m128i v = _mm_srl_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), count);
    return _mm_sra_epi16(_mm_slli_epi16(v, kSignShift), _mm_cvtsi32_si128(kSignShift - scaleBits));
}

inline Octant128 octant(__m128i yd, __m128i xd) {
    const __m128i zero = _mm_setzero_si128();
    __m128i ax = _mm_max_epi16(xd, _mm_sub_epi16(zero, xd));
    __m128i ay = _mm_max_epi16(yd, _mm_sub_epi16(zero, yd));
    __m128i mn = _mm_min_epi16(ax, ay);
    __m128i mx = _mm_max_epi16(ax, ay);
    __m128i big = _mm_cmpgt_epi16(mn, _mm_mulhi_epi16(mx, _mm_set1_epi16(kTanPi8Q16)));
    __m128i swap = _mm_cmpgt_epi16(ay, ax);
    __m128i xneg = _mm_cmpgt_epi16(zero, xd);
    __m128i yneg = _mm_cmpgt_epi16(zero, yd);
    __m128i num = _mm_sub_epi16(mn, _mm_and_si128(big, mx));
    __m128i den = _mm_max_epi16(_mm_add_epi16(mx, _mm_and_si128(big, mn)), _mm_set1_epi16(1));
    // Quarter turns before the reduced angle: 2 when |y| > |x|, else 4 when x < 0.
    __m128i turns = _mm_or_si128(_mm_and_si128(swap, _mm_set1_epi16(2)),
                                 _mm_andnot_si128(swap, _mm_and_si128(xneg, _mm_set1_epi16(4))));
    __m128i back = _mm_xor_si128(swap, xneg);  // the reduced angle counts backwards
    turns = _mm_add_epi16(turns, negateWhere(_mm_sub_epi16(zero, big), back));
    return {negateWhere(num, _mm_xor_si128(back, yneg)), den, negateWhere(turns, yneg)};
}

// 8 signed 16-bit lanes as four pairs of doubles.
inline void toDoubles(__m128i v, __m128d out[4]) {
    __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
    __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
    out[0] = _mm_cvtepi32_pd(lo);
    out[1] = _mm_cvtepi32_pd(_mm_shuffle_epi32(lo, 0xEE));
    out[2] = _mm_cvtepi32_pd(hi);
    out[3] = _mm_cvtepi32_pd(_mm_shuffle_epi32(hi, 0xEE));
}

inline __m128d phase(__m128d num, __m128d den, __m128d turns) {
    __m128d u = _mm_div_pd(num, den);
    __m128d s = _mm_mul_pd(u, u);
    __m128d q = _mm_set1_pd(kAtanQ[kAtanTerms - 1]);
#pragma GCC unroll 16
    for (int j = kAtanTerms - 2; j >= 0; --j) q = _mm_add_pd(_mm_mul_pd(q, s), _mm_set1_pd(kAtanQ[j]));
    __m128d a = _mm_add_pd(_mm_mul_pd(_mm_mul_pd(u, s), q), u);
    return _mm_add_pd(_mm_mul_pd(turns, _mm_set1_pd(kQuarterPi)), a);
}

inline __m128 toFloats(__m128d a, __m128d b) { return _mm_movelh_ps(_mm_cvtpd_ps(a), _mm_cvtpd_ps(b)); }

// Lanes of a and b whose margin interval does not round to a single float.
inline int unsafeLanes(__m128d a, __m128d b) {
    const __m128d lo = _mm_set1_pd(kPhaseLow), hi = _mm_set1_pd(kPhaseHigh);
    __m128 l = toFloats(_mm_mul_pd(a, lo), _mm_mul_pd(b, lo));
    __m128 h = toFloats(_mm_mul_pd(a, hi), _mm_mul_pd(b, hi));
    return _mm_movemask_ps(_mm_cmpneq_ps(l, h));
}

inline __m128 depthOf(__m128 phi, __m128 scale) {
    __m128 neg = _mm_cmplt_ps(phi, _mm_setzero_ps());
    phi = _mm_or_ps(_mm_andnot_ps(neg, phi), _mm_and_ps(neg, _mm_add_ps(phi, _mm_set1_ps(kTwoPi))));
    return _mm_mul_ps(_mm_mul_ps(scale, phi), _mm_set1_ps(kMillimetresPerMetre));
}

// Amplitudes of 4 pixels from interleaved (x', y') pairs.
inline __m128 amplitudeOf(__m128i xy) {
    return _mm_sqrt_ps(_mm_cvtepi32_ps(_mm_slli_epi32(_mm_madd_epi16(xy, xy), kAmplitudeShift)));
}

// ---------------------------------------------------------------- AVX2 ----

NORVANE_AVX2 inline __m256i negateWhere(__m256i v, __m256i mask) {
    return _mm256_sub_epi16(_mm256_xor_si256(v, mask), mask);
}

NORVANE_AVX2 inline __m256i samples(const uint8_t* p, __m128i count, __m128i back) {
    __m256i v = _mm256_srl_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), count);
    return _mm256_sra_epi16(_mm256_slli_epi16(v, kSignShift), back);
}

NORVANE_AVX2 inline Octant256 octant(__m256i yd, __m256i xd) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i ax = _mm256_abs_epi16(xd);
    __m256i ay = _mm256_abs_epi16(yd);
    __m256i mn = _mm256_min_epi16(ax, ay);
    __m256i mx = _mm256_max_epi16(ax, ay);
    __m256i big = _mm256_cmpgt_epi16(mn, _mm256_mulhi_epi16(mx, _mm256_set1_epi16(kTanPi8Q16)));
    __m256i swap = _mm256_cmpgt_epi16(ay, ax);
    __m256i xneg = _mm256_cmpgt_epi16(zero, xd);
    __m256i yneg = _mm256_cmpgt_epi16(zero, yd);
    __m256i num = _mm256_sub_epi16(mn, _mm256_and_si256(big, mx));
    __m256i den = _mm256_max_epi16(_mm256_add_epi16(mx, _mm256_and_si256(big, mn)), _mm256_set1_epi16(1));
    __m256i turns = _mm256_or_si256(_mm256_and_si256(swap, _mm256_set1_epi16(2)),
                                    _mm256_andnot_si256(swap, _mm256_and_si256(xneg, _mm256_set1_epi16(4))));
    __m256i back = _mm256_xor_si256(swap, xneg);
    turns = _mm256_add_epi16(turns, negateWhere(_mm256_sub_epi16(zero, big), back));
    return {negateWhere(num, _mm256_xor_si256(back, yneg)), den, negateWhere(turns, yneg)};
}

// 16 signed 16-bit lanes as four quadruples of doubles.
NORVANE_AVX2 inline void toDoubles(__m256i v, __m256d out[4]) {
    __m256i lo = _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v));
    __m256i hi = _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1));
    out[0] = _mm256_cvtepi32_pd(_mm256_castsi256_si128(lo));
    out[1] = _mm256_cvtepi32_pd(_mm256_extracti128_si256(lo, 1));
    out[2] = _mm256_cvtepi32_pd(_mm256_castsi256_si128(hi));
    out[3] = _mm256_cvtepi32_pd(_mm256_extracti128_si256(hi, 1));
}

NORVANE_AVX2 inline __m256d phase(__m256d num, __m256d den, __m256d turns) {
    __m256d u = _mm256_div_pd(num, den);
    __m256d s = _mm256_mul_pd(u, u);
    __m256d q = _mm256_set1_pd(kAtanQ[kAtanTerms - 1]);
#pragma GCC unroll 16
    for (int j = kAtanTerms - 2; j >= 0; --j) q = _mm256_fmadd_pd(q, s, _mm256_set1_pd(kAtanQ[j]));
    __m256d a = _mm256_fmadd_pd(_mm256_mul_pd(u, s), q, u);
    return _mm256_fmadd_pd(turns, _mm256_set1_pd(kQuarterPi), a);
}

NORVANE_AVX2 inline __m256 toFloats(__m256d a, __m256d b) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(a)), _mm256_cvtpd_ps(b), 1);
}

// Lanes of r too close to a float rounding boundary.
NORVANE_AVX2 inline int unsafeLanes(__m256d r) {
    __m256i t = _mm256_add_epi64(_mm256_castpd_si256(r), _mm256_set1_epi64x(int64_t(kPhaseSlack - kRoundingPoint)));
    t = _mm256_and_si256(t, _mm256_set1_epi64x(int64_t(kDroppedMask)));
    __m256i near = _mm256_cmpgt_epi64(_mm256_set1_epi64x(int64_t(2 * kPhaseSlack)), t);
    return _mm256_movemask_pd(_mm256_castsi256_pd(near));
}

NORVANE_AVX2 inline __m256 depthOf(__m256 phi, __m256 scale) {
    __m256 neg = _mm256_cmp_ps(phi, _mm256_setzero_ps(), _CMP_LT_OQ);
    phi = _mm256_blendv_ps(phi, _mm256_add_ps(phi, _mm256_set1_ps(kTwoPi)), neg);
    return _mm256_mul_ps(_mm256_mul_ps(scale, phi), _mm256_set1_ps(kMillimetresPerMetre));
}

NORVANE_AVX2 inline __m256 amplitudeOf(__m256i n) {
    return _mm256_sqrt_ps(_mm256_cvtepi32_ps(_mm256_slli_epi32(n, kAmplitudeShift)));
}

// -------------------------------------------------------------- AVX-512 ----

struct Octant512 {
    __m512i num, den, turns;
};

// kShifted false: the board's shift is 0 and the words are taken as they are.
template <bool kShifted>
NORVANE_AVX512 inline __m512i samples(const uint8_t* p, __m128i count, __m128i back) {
    __m512i v = _mm512_loadu_si512(p);
    if (kShifted) v = _mm512_srl_epi16(v, count);
    return _mm512_sra_epi16(_mm512_slli_epi16(v, kSignShift), back);
}

NORVANE_AVX512 inline Octant512 octant(__m512i yd, __m512i xd) {
    const __m512i zero = _mm512_setzero_si512();
    __m512i ax = _mm512_abs_epi16(xd);
    __m512i ay = _mm512_abs_epi16(yd);
    __m512i mn = _mm512_min_epi16(ax, ay);
    __m512i mx = _mm512_max_epi16(ax, ay);
    __mmask32 big = _mm512_cmpgt_epi16_mask(mn, _mm512_mulhi_epi16(mx, _mm512_set1_epi16(kTanPi8Q16)));
    __mmask32 swap = _mm512_cmpgt_epi16_mask(ay, ax);
    __mmask32 xneg = _mm512_movepi16_mask(xd);
    __mmask32 yneg = _mm512_movepi16_mask(yd);
    __m512i num = _mm512_mask_sub_epi16(mn, big, mn, mx);
    __m512i den = _mm512_max_epi16(_mm512_mask_add_epi16(mx, big, mx, mn), _mm512_set1_epi16(1));
    __m512i turns =
        _mm512_mask_mov_epi16(_mm512_maskz_mov_epi16(xneg, _mm512_set1_epi16(4)), swap, _mm512_set1_epi16(2));
    __mmask32 back = swap ^ xneg;
    __m512i step = _mm512_maskz_mov_epi16(big, _mm512_set1_epi16(1));
    turns = _mm512_add_epi16(turns, _mm512_mask_sub_epi16(step, back, zero, step));
    return {_mm512_mask_sub_epi16(num, back ^ yneg, zero, num), den, _mm512_mask_sub_epi16(turns, yneg, zero, turns)};
}

// 32 signed 16-bit lanes as four octuples of doubles.
NORVANE_AVX512 inline void toDoubles(__m512i v, __m512d out[4]) {
    __m512i lo = _mm512_cvtepi16_epi32(_mm512_castsi512_si256(v));
    __m512i hi = _mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(v, 1));
    out[0] = _mm512_cvtepi32_pd(_mm512_castsi512_si256(lo));
    out[1] = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(lo, 1));
    out[2] = _mm512_cvtepi32_pd(_mm512_castsi512_si256(hi));
    out[3] = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(hi, 1));
}

NORVANE_AVX512 inline __m512d phase(__m512d num, __m512d den, __m512d turns) {
    __m512d u = _mm512_div_pd(num, den);
    __m512d s = _mm512_mul_pd(u, u);
    __m512d q = _mm512_set1_pd(kAtanQ[kAtanTerms - 1]);
#pragma GCC unroll 16
    for (int j = kAtanTerms - 2; j >= 0; --j) q = _mm512_fmadd_pd(q, s, _mm512_set1_pd(kAtanQ[j]));
    __m512d a = _mm512_fmadd_pd(_mm512_mul_pd(u, s), q, u);
    return _mm512_fmadd_pd(turns, _mm512_set1_pd(kQuarterPi), a);
}

NORVANE_AVX512 inline __m512 toFloats(__m512d a, __m512d b) {
    __m512d lo = _mm512_castps_pd(_mm512_castps256_ps512(_mm512_cvtpd_ps(a)));
    return _mm512_castpd_ps(_mm512_insertf64x4(lo, _mm256_castps_pd(_mm512_cvtpd_ps(b)), 1));
}

NORVANE_AVX512 inline unsigned unsafeLanes(__m512d r) {
    // 2 * kPhaseSlack is a power of two: below it means no dropped bit above it is set.
    __m512i t = _mm512_add_epi64(_mm512_castpd_si512(r), _mm512_set1_epi64(int64_t(kPhaseSlack - kRoundingPoint)));
    return _mm512_testn_epi64_mask(t, _mm512_set1_epi64(int64_t(kDroppedMask & ~(2 * kPhaseSlack - 1))));
}

NORVANE_AVX512 inline __m512 depthOf(__m512 phi, __m512 scale) {
    __mmask16 neg = _mm512_cmp_ps_mask(phi, _mm512_setzero_ps(), _CMP_LT_OQ);
    phi = _mm512_mask_add_ps(phi, neg, phi, _mm512_set1_ps(kTwoPi));
    return _mm512_mul_ps(_mm512_mul_ps(scale, phi), _mm512_set1_ps(kMillimetresPerMetre));
}

NORVANE_AVX512 inline __m512 amplitudeOf(__m512i n) {
    return _mm512_sqrt_ps(_mm512_cvtepi32_ps(_mm512_slli_epi32(n, kAmplitudeShift)));
}

}  // namespace

void decodeSse2(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude, float* confidence) {
    constexpr int kLanes = 8;
    const PhasePlanes pl = phasePlanes(capture, params.shortRange);
    const __m128i count = _mm_cvtsi32_si128(int(clampedShift(params.shift)));
    const __m128 scale = _mm_set1_ps(depthScale(params.modulationHz));
    for (int i = 0; i < kPixels; i += kLanes) {
        const size_t at = size_t(i) * 2;
        __m128i yd = _mm_sub_epi16(samples(pl.ya + at, count, 0), samples(pl.yb + at, count, 0));
        __m128i xd = _mm_sub_epi16(samples(pl.xa + at, count, 0), samples(pl.xb + at, count, 0));
        Octant128 o = octant(yd, xd);
        __m128d num[4], den[4], turns[4], r[4];
        toDoubles(o.num, num);
        toDoubles(o.den, den);
        toDoubles(o.turns, turns);
        for (int g = 0; g < 4; ++g) r[g] = phase(num[g], den[g], turns[g]);
        __m128 phi0 = toFloats(r[0], r[1]);
        __m128 phi1 = toFloats(r[2], r[3]);
        unsigned unsafe = unsigned(unsafeLanes(r[0], r[1]) | (unsafeLanes(r[2], r[3]) << 4));
        if (__builtin_expect(unsafe != 0, 0)) {
            alignas(16) int16_t ys[kLanes], xs[kLanes];
            alignas(16) float ph[kLanes];
            _mm_store_si128(reinterpret_cast<__m128i*>(ys), yd);
            _mm_store_si128(reinterpret_cast<__m128i*>(xs), xd);
            _mm_store_ps(ph, phi0);
            _mm_store_ps(ph + 4, phi1);
            refinePhases(unsafe, ys, xs, ph);
            phi0 = _mm_load_ps(ph);
            phi1 = _mm_load_ps(ph + 4);
        }
        _mm_storeu_ps(depth + i, depthOf(phi0, scale));
        _mm_storeu_ps(depth + i + 4, depthOf(phi1, scale));
        __m128 a0 = amplitudeOf(_mm_unpacklo_epi16(xd, yd));
        __m128 a1 = amplitudeOf(_mm_unpackhi_epi16(xd, yd));
        _mm_storeu_ps(amplitude + i, a0);
        _mm_storeu_ps(amplitude + i + 4, a1);
        _mm_storeu_ps(confidence + i, a0);
        _mm_storeu_ps(confidence + i + 4, a1);
    }
}

void interleaveSse2(const uint8_t* capture, unsigned shift, int16_t* raw) {
    const __m128i count = _mm_cvtsi32_si128(int(clampedShift(shift)));
    for (int r = 0; r < kHeight; ++r) {
        for (int k = 0; k < kPhases; ++k) {
            const uint8_t* in = capture + size_t(k) * kPhaseBytes + size_t(r) * kWidth * 2;
            int16_t* out = raw + size_t(4 * r + k) * kWidth;
            for (int c = 0; c < kWidth; c += 8)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c), samples(in + 2 * c, count, kScaleBits));
        }
    }
}

bool cpuHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool cpuHasAvx512() {
    __builtin_cpu_init();
    return cpuHasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

NORVANE_AVX2 void decodeAvx2(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                             float* confidence) {
    constexpr int kLanes = 16;
    const PhasePlanes pl = phasePlanes(capture, params.shortRange);
    const __m128i count = _mm_cvtsi32_si128(int(clampedShift(params.shift)));
    const __m128i back = _mm_cvtsi32_si128(kSignShift);
    const __m256 scale = _mm256_set1_ps(depthScale(params.modulationHz));
    for (int i = 0; i < kPixels; i += kLanes) {
        const size_t at = size_t(i) * 2;
        __m256i yd = _mm256_sub_epi16(samples(pl.ya + at, count, back), samples(pl.yb + at, count, back));
        __m256i xd = _mm256_sub_epi16(samples(pl.xa + at, count, back), samples(pl.xb + at, count, back));
        Octant256 o = octant(yd, xd);
        __m256d num[4], den[4], turns[4], r[4];
        toDoubles(o.num, num);
        toDoubles(o.den, den);
        toDoubles(o.turns, turns);
        for (int g = 0; g < 4; ++g) r[g] = phase(num[g], den[g], turns[g]);
        __m256 phi0 = toFloats(r[0], r[1]);
        __m256 phi1 = toFloats(r[2], r[3]);
        unsigned unsafe =
            unsigned(unsafeLanes(r[0]) | unsafeLanes(r[1]) << 4 | unsafeLanes(r[2]) << 8 | unsafeLanes(r[3]) << 12);
        if (__builtin_expect(unsafe != 0, 0)) {
            alignas(32) int16_t ys[kLanes], xs[kLanes];
            alignas(32) float ph[kLanes];
            _mm256_store_si256(reinterpret_cast<__m256i*>(ys), yd);
            _mm256_store_si256(reinterpret_cast<__m256i*>(xs), xd);
            _mm256_store_ps(ph, phi0);
            _mm256_store_ps(ph + 8, phi1);
            refinePhases(unsafe, ys, xs, ph);
            phi0 = _mm256_load_ps(ph);
            phi1 = _mm256_load_ps(ph + 8);
        }
        _mm256_storeu_ps(depth + i, depthOf(phi0, scale));
        _mm256_storeu_ps(depth + i + 8, depthOf(phi1, scale));
        // Pairs interleave within 128-bit halves: lo holds pixels 0-3 and 8-11, hi 4-7 and 12-15.
        __m256i nlo = _mm256_madd_epi16(_mm256_unpacklo_epi16(xd, yd), _mm256_unpacklo_epi16(xd, yd));
        __m256i nhi = _mm256_madd_epi16(_mm256_unpackhi_epi16(xd, yd), _mm256_unpackhi_epi16(xd, yd));
        __m256 a0 = amplitudeOf(_mm256_permute2x128_si256(nlo, nhi, 0x20));
        __m256 a1 = amplitudeOf(_mm256_permute2x128_si256(nlo, nhi, 0x31));
        _mm256_storeu_ps(amplitude + i, a0);
        _mm256_storeu_ps(amplitude + i + 8, a1);
        _mm256_storeu_ps(confidence + i, a0);
        _mm256_storeu_ps(confidence + i + 8, a1);
    }
}

NORVANE_AVX2 void interleaveAvx2(const uint8_t* capture, unsigned shift, int16_t* raw) {
    const __m128i count = _mm_cvtsi32_si128(int(clampedShift(shift)));
    const __m128i back = _mm_cvtsi32_si128(kSignShift - kScaleBits);
    for (int r = 0; r < kHeight; ++r) {
        for (int k = 0; k < kPhases; ++k) {
            const uint8_t* in = capture + size_t(k) * kPhaseBytes + size_t(r) * kWidth * 2;
            int16_t* out = raw + size_t(4 * r + k) * kWidth;
            for (int c = 0; c < kWidth; c += 16)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c), samples(in + 2 * c, count, back));
        }
    }
}

namespace {

template <bool kShifted>
NORVANE_AVX512 void decodeAvx512With(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                                     float* confidence) {
    constexpr int kLanes = 32;
    const PhasePlanes pl = phasePlanes(capture, params.shortRange);
    const __m128i count = _mm_cvtsi32_si128(int(clampedShift(params.shift)));
    const __m128i back = _mm_cvtsi32_si128(kSignShift);
    const __m512 scale = _mm512_set1_ps(depthScale(params.modulationHz));
    // Word indexes that interleave x' (0..31) and y' (32..63) of pixels 0-15 and 16-31.
    alignas(64) int16_t pairIndex[2][kLanes];
    for (int h = 0; h < 2; ++h) {
        for (int j = 0; j < kLanes / 2; ++j) {
            pairIndex[h][2 * j] = int16_t(h * kLanes / 2 + j);
            pairIndex[h][2 * j + 1] = int16_t(kLanes + h * kLanes / 2 + j);
        }
    }
    const __m512i firstHalf = _mm512_load_si512(pairIndex[0]);
    const __m512i secondHalf = _mm512_load_si512(pairIndex[1]);
    for (int i = 0; i < kPixels; i += kLanes) {
        const size_t at = size_t(i) * 2;
        __m512i yd =
            _mm512_sub_epi16(samples<kShifted>(pl.ya + at, count, back), samples<kShifted>(pl.yb + at, count, back));
        __m512i xd =
            _mm512_sub_epi16(samples<kShifted>(pl.xa + at, count, back), samples<kShifted>(pl.xb + at, count, back));
        Octant512 o = octant(yd, xd);
        __m512d num[4], den[4], turns[4], r[4];
        toDoubles(o.num, num);
        toDoubles(o.den, den);
        toDoubles(o.turns, turns);
        for (int g = 0; g < 4; ++g) r[g] = phase(num[g], den[g], turns[g]);
        __m512 phi0 = toFloats(r[0], r[1]);
        __m512 phi1 = toFloats(r[2], r[3]);
        unsigned unsafe =
            unsafeLanes(r[0]) | unsafeLanes(r[1]) << 8 | unsafeLanes(r[2]) << 16 | unsafeLanes(r[3]) << 24;
        if (__builtin_expect(unsafe != 0, 0)) {
            alignas(64) int16_t ys[kLanes], xs[kLanes];
            alignas(64) float ph[kLanes];
            _mm512_store_si512(ys, yd);
            _mm512_store_si512(xs, xd);
            _mm512_store_ps(ph, phi0);
            _mm512_store_ps(ph + 16, phi1);
            refinePhases(unsafe, ys, xs, ph);
            phi0 = _mm512_load_ps(ph);
            phi1 = _mm512_load_ps(ph + 16);
        }
        _mm512_storeu_ps(depth + i, depthOf(phi0, scale));
        _mm512_storeu_ps(depth + i + 16, depthOf(phi1, scale));
        __m512i xy0 = _mm512_permutex2var_epi16(xd, firstHalf, yd);
        __m512i xy1 = _mm512_permutex2var_epi16(xd, secondHalf, yd);
        __m512 a0 = amplitudeOf(_mm512_madd_epi16(xy0, xy0));
        __m512 a1 = amplitudeOf(_mm512_madd_epi16(xy1, xy1));
        _mm512_storeu_ps(amplitude + i, a0);
        _mm512_storeu_ps(amplitude + i + 16, a1);
        _mm512_storeu_ps(confidence + i, a0);
        _mm512_storeu_ps(confidence + i + 16, a1);
    }
}

}  // namespace

void decodeAvx512(const uint8_t* capture, const DecodeParams& params, float* depth, float* amplitude,
                  float* confidence) {
    if (params.shift == 0)
        decodeAvx512With<false>(capture, params, depth, amplitude, confidence);
    else
        decodeAvx512With<true>(capture, params, depth, amplitude, confidence);
}

}  // namespace detail
}  // namespace hqvga
}  // namespace Norvane

#endif  // NORVANE_HQVGA_X86
