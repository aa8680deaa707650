#include "filter/DepthFilters.h"

namespace Norvane {
namespace filter {

void amplitudeThreshold(const Planes& p, const AmplitudeSettings& s) {
    const size_t n = p.pixels();
    // A NaN amplitude is no signal either. Without branches, so that the loop vectorizes.
    for (size_t i = 0; i < n; ++i) {
        const float d = p.depth[i];
        const bool removed = p.invalid[i] == 0 && !(p.amplitude[i] >= s.minAmplitude);
        p.invalid[i] = removed ? uint8_t(InvalidReason::LOW_SIGNAL) : p.invalid[i];
        p.depth[i] = removed ? 0.0f : d;
    }
}

}  // namespace filter
}  // namespace Norvane
