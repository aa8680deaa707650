#include "filter/DepthFilters.h"

namespace Norvane {
namespace filter {

void amplitudeThreshold(const Planes& p, const AmplitudeSettings& s) {
    const size_t n = p.pixels();
    // A NaN amplitude is no signal either. Without branches, so that the loop vectorizes.
    // The planes never overlap (restrict lets the compiler vectorize).
    float* __restrict depth = p.depth;
    uint8_t* __restrict invalid = p.invalid;
    const float* __restrict amplitude = p.amplitude;
    const float minAmplitude = s.minAmplitude;
    for (size_t i = 0; i < n; ++i) {
        const float d = depth[i];
        const bool removed = invalid[i] == 0 && !(amplitude[i] >= minAmplitude);
        invalid[i] = removed ? uint8_t(InvalidReason::LOW_SIGNAL) : invalid[i];
        depth[i] = removed ? 0.0f : d;
    }
}

}  // namespace filter
}  // namespace Norvane
