#include <cmath>

#include "filter/DepthFilters.h"
#include "filter/SpatialFilterSimd.h"

namespace Norvane {
namespace filter {

namespace {

// One smoothing step; every variant computes exactly this per pixel.
inline float smoothed(float current, float previous, float alpha, float beta, float threshold) {
    if (current > 0.0f && previous > 0.0f && std::fabs(current - previous) < threshold)
        return alpha * current + beta * previous;
    return current;
}

void spatialRowScalar(const float* previous, float* row, int width, float alpha, float thresholdMm) {
    const float beta = 1.0f - alpha;
    for (int i = 0; i < width; ++i) row[i] = smoothed(row[i], previous[i], alpha, beta, thresholdMm);
}

// Left to right, then right to left, along one row.
void horizontalPasses(float* row, int width, float alpha, float beta, float threshold) {
    for (int x = 1; x < width; ++x) row[x] = smoothed(row[x], row[x - 1], alpha, beta, threshold);
    for (int x = width - 2; x >= 0; --x) row[x] = smoothed(row[x], row[x + 1], alpha, beta, threshold);
}

constexpr size_t kMaxVariants = 2;

struct VariantTable {
    FilterVariant entries[kMaxVariants] = {};
    size_t count = 0;
    VariantTable() {
        entries[count++] = {"scalar", spatialRowScalar};
#if NORVANE_FILTER_X86
        entries[count++] = {"sse2", detail::spatialRowSse2};
#endif
#if NORVANE_FILTER_NEON
        entries[count++] = {"neon", detail::spatialRowNeon};
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

void spatialFilterWith(const Planes& p, const SpatialSettings& s, SpatialRowFn rowStep) {
    const int w = p.width, h = p.height;
    const float alpha = s.alpha, beta = 1.0f - s.alpha;
    for (int it = 0; it < s.iterations; ++it) {
        for (int y = 0; y < h; ++y) horizontalPasses(p.depth + size_t(y) * size_t(w), w, alpha, beta, s.thresholdMm);
        // Top to bottom and back: each row against its filtered neighbour,
        // the columns independent of each other.
        for (int y = 1; y < h; ++y)
            rowStep(p.depth + size_t(y - 1) * size_t(w), p.depth + size_t(y) * size_t(w), w, alpha, s.thresholdMm);
        for (int y = h - 2; y >= 0; --y)
            rowStep(p.depth + size_t(y + 1) * size_t(w), p.depth + size_t(y) * size_t(w), w, alpha, s.thresholdMm);
    }
}

void spatialFilter(const Planes& p, const SpatialSettings& s) {
    spatialFilterWith(p, s, activeFilterVariant().spatialRow);
}

}  // namespace filter
}  // namespace Norvane
