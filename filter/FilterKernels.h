// The per-pixel kernels of the filter chain that have vector paths, and the
// table of the variants built in. Every variant computes exactly what the
// portable one does, bit for bit (tests/cpp/filter/FilterVariantsTest.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace detail
}  // namespace filter
}  // namespace Norvane
