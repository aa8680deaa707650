#include "filter/DepthFilters.h"

namespace Norvane {
namespace filter {

void amplitudeThreshold(const Planes& p, const AmplitudeSettings& s) {
    const size_t n = p.pixels();
    for (size_t i = 0; i < n; ++i) {
        // A NaN amplitude is no signal either.
        if (p.invalid[i] == 0 && !(p.amplitude[i] >= s.minAmplitude)) {
            p.invalid[i] = uint8_t(InvalidReason::LOW_SIGNAL);
            p.depth[i] = 0.0f;
        }
    }
}

}  // namespace filter
}  // namespace Norvane
