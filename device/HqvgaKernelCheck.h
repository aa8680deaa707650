// Agreement of a decode variant with the reference arithmetic over the whole
// input space: every pair (y, x) of phase differences the sensor can produce
// (multiples of 16 in -32752 ... 32752, 4095 x 4095 pairs), at both ranges.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/HqvgaKernel.h"

namespace Norvane {
namespace hqvga {

constexpr int kMaxUnscaledDifference = 2 * int(kSampleSign) - 1;   // |y| / 16, |x| / 16: 2047
constexpr int kDifferenceValues = 2 * kMaxUnscaledDifference + 1;  // 4095
constexpr uint64_t kDifferencePairs = uint64_t(kDifferenceValues) * kDifferenceValues;

struct KernelAgreement {
    uint64_t pairs = 0;          // pairs compared
    uint64_t mismatchPairs = 0;  // pairs with any output that is not bit-identical
    uint32_t maxUlpDepth = 0;    // over both ranges
    uint32_t maxUlpAmplitude = 0;
    bool confidenceIsAmplitude = true;  // the confidence plane repeats the amplitude plane
};

// Distance in units in the last place between two finite floats (the number
// of floats between them); NaN against anything else counts as the maximum.
uint32_t ulpDistance(float a, float b);

// Runs `decode` on captures that hold every stride-th pair, encoded with random
// spare bits at shifts 0 and 4 in the phase order of each range, and compares
// depth, amplitude and confidence with the reference arithmetic.
KernelAgreement compareWithReference(DecodeFn decode, unsigned stride = 1);

// The same for several decodes at once (the reference and the captures are
// computed once): results[i] belongs to decodes[i].
void compareWithReference(const DecodeFn* decodes, size_t count, unsigned stride, KernelAgreement* results);

}  // namespace hqvga
}  // namespace Norvane
