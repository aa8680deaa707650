#include "filter/FilterKernels.h"

namespace Norvane {
namespace filter {

namespace detail {

void screenScalar(const Planes& p, const ScreenSettings& s) {
    markNoDepth(p, s.clearDepth);
    if (!s.clearDepth) return;
    if (s.range.enabled) rangeThreshold(p, s.range);
    if (s.amplitude.enabled) amplitudeThreshold(p, s.amplitude);
}

}  // namespace detail

namespace {

constexpr size_t kMaxVariants = 2;

struct VariantTable {
    FilterVariant entries[kMaxVariants] = {};
    size_t count = 0;
    VariantTable() {
        using namespace detail;
        entries[count++] = {"scalar", spatialRowScalar, screenScalar, flyingCandidatesScalar, temporalAverageScalar};
#if NORVANE_FILTER_X86
        entries[count++] = {"sse2", spatialRowSse2, screenSse2, flyingCandidatesSse2, temporalAverageSse2};
#endif
#if NORVANE_FILTER_NEON
        entries[count++] = {"neon", spatialRowNeon, screenNeon, flyingCandidatesNeon, temporalAverageNeon};
#endif
    }
};

const VariantTable& variantTable() {
    static const VariantTable table;
    return table;
}

}  // namespace

const FilterVariant* filterVariants(size_t* count) {
    *count = variantTable().count;
    return variantTable().entries;
}

const FilterVariant& activeFilterVariant() {
    const VariantTable& t = variantTable();
    return t.entries[t.count - 1];
}

}  // namespace filter
}  // namespace Norvane
