// The depth filter chain: the stages of FilterSettings in their fixed order,
// the scratch they share and the temporal filter's state.
//
// The owner prepares it for a geometry (this allocates), then configures and
// runs it as often as it likes without allocating. One thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "filter/FilterSettings.h"

namespace Norvane {

namespace filter {
struct FilterVariant;
}

class FilterChain {
public:
    FilterChain() = default;
    FilterChain(const FilterChain&) = delete;
    FilterChain& operator=(const FilterChain&) = delete;

    // Sizes scratch and state for width x height depth planes and resets
    // the temporal state. Throws std::bad_alloc.
    void prepare(int width, int height);
    // Takes new settings (assumed valid; see validateFilterSettings). The
    // temporal state starts afresh when the temporal filter is switched on
    // or its settings change.
    void configure(const FilterSettings& settings);
    // Forgets every earlier capture.
    void reset();
    // Runs every enabled stage on one frame of the prepared geometry and
    // writes its invalid plane. Without a prepared geometry of this size it
    // only marks the missing depths.
    void run(float* depth, const float* amplitude, uint8_t* invalid, int width, int height);

    const FilterSettings& settings() const { return current; }

    // The kernels the stages run: the fastest this CPU has unless told
    // otherwise (tests and benchmarks compare the variants).
    void useKernels(const filter::FilterVariant& variant) { kernels = &variant; }

private:
    FilterSettings current;
    const filter::FilterVariant* kernels = nullptr;  // null: the active variant
    int preparedWidth = 0;
    int preparedHeight = 0;
    std::unique_ptr<float[]> scratch;       // median copy, spatial transpose
    std::unique_ptr<int32_t[]> region;      // speckle regions, flying-pixel candidates
    std::unique_ptr<uint8_t[]> seen;        // speckle visits
    std::unique_ptr<float[]> average;       // temporal
    std::unique_ptr<uint8_t[]> history;     // temporal
    uint64_t captures = 0;                  // temporal
};

}  // namespace Norvane
