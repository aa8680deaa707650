// The vector paths of the spatial filter's vertical passes.
#pragma once

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

#if NORVANE_FILTER_X86
void spatialRowSse2(const float* previous, float* row, int width, float alpha, float thresholdMm);
#endif
#if NORVANE_FILTER_NEON
void spatialRowNeon(const float* previous, float* row, int width, float alpha, float thresholdMm);
#endif

}  // namespace detail
}  // namespace filter
}  // namespace Norvane
