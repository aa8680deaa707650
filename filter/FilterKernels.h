// The per-pixel kernels of the filter chain that have vector paths, and the
// table of the variants built in. Every variant computes exactly what the
// portable one does, bit for bit (tests/cpp/filter/FilterVariantsTest.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "filter/DepthFilters.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NORVANE_FILTER_X86 1
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
#define NORVANE_FILTER_NEON 1
#endif

namespace Norvane {
namespace filter {
namespace detail {

// The portable kernels (the reference of every vector path).
void spatialRowScalar(const float* previous, float* row, int width, float alpha, float thresholdMm);
void screenScalar(const Planes& p, const ScreenSettings& s);
int flyingCandidatesScalar(const float* centre, ptrdiff_t stride, int count, int radius, float minStepMm,
                           float ratio, int32_t* candidates);
void temporalAverageScalar(float* depth, float* average, uint8_t* history, size_t count, float alpha,
                           float resetMm);

#if NORVANE_FILTER_X86
void spatialRowSse2(const float* previous, float* row, int width, float alpha, float thresholdMm);
void screenSse2(const Planes& p, const ScreenSettings& s);
int flyingCandidatesSse2(const float* centre, ptrdiff_t stride, int count, int radius, float minStepMm, float ratio,
                         int32_t* candidates);
void temporalAverageSse2(float* depth, float* average, uint8_t* history, size_t count, float alpha, float resetMm);
#endif
#if NORVANE_FILTER_NEON
void spatialRowNeon(const float* previous, float* row, int width, float alpha, float thresholdMm);
void screenNeon(const Planes& p, const ScreenSettings& s);
int flyingCandidatesNeon(const float* centre, ptrdiff_t stride, int count, int radius, float minStepMm, float ratio,
                         int32_t* candidates);
void temporalAverageNeon(float* depth, float* average, uint8_t* history, size_t count, float alpha, float resetMm);
#endif

// --- what the vector paths share around their intrinsics ------------------

// The screen specialised to the stages `s` has on: run(clear, range,
// amplitude), given as std::bool_constant, screens whole groups of pixels
// and returns how many; the portable screen does the rest.
template <typename Run>
void screenSpecialised(const Planes& p, const ScreenSettings& s, Run run) {
    using On = std::true_type;
    using Off = std::false_type;
    const bool range = s.clearDepth && s.range.enabled, amplitude = s.clearDepth && s.amplitude.enabled;
    size_t done;
    if (!s.clearDepth) done = run(Off{}, Off{}, Off{});
    else if (range && amplitude) done = run(On{}, On{}, On{});
    else if (range) done = run(On{}, On{}, Off{});
    else if (amplitude) done = run(On{}, Off{}, On{});
    else done = run(On{}, Off{}, Off{});
    const Planes rest{p.depth + done, p.amplitude ? p.amplitude + done : nullptr, p.invalid + done,
                      int(p.pixels() - done), 1};
    screenScalar(rest, s);
}

// The flying-pixel candidates four pixels at a time: mask(radius, c, offset)
// (radius a std::integral_constant, offset the four directions' steps) is
// the 4-bit candidate mask of the pixels at c; the portable test takes the
// tail.
template <typename Mask>
int flyingCandidatesBy4(const float* centre, ptrdiff_t stride, int count, int radius, float minStepMm, float ratio,
                        int32_t* candidates, Mask mask) {
    // Right, down, down-right, up-right: the directions of the rule.
    const ptrdiff_t offset[4] = {1, stride, stride + 1, 1 - stride};
    auto collect = [&](auto r) {
        int n = 0, i = 0;
        for (; i + 4 <= count; i += 4) {
            for (unsigned bits = unsigned(mask(r, centre + i, offset)); bits; bits &= bits - 1)
                candidates[n++] = i + __builtin_ctz(bits);
        }
        const int tail = flyingCandidatesScalar(centre + i, stride, count - i, decltype(r)::value, minStepMm, ratio,
                                                candidates + n);
        for (int k = 0; k < tail; ++k) candidates[n + k] += i;
        return n + tail;
    };
    switch (radius) {
        case 1: return collect(std::integral_constant<int, 1>{});
        case 2: return collect(std::integral_constant<int, 2>{});
        default: return collect(std::integral_constant<int, 3>{});
    }
}

}  // namespace detail
}  // namespace filter
}  // namespace Norvane
