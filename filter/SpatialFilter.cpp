#include <cmath>

#include "filter/DepthFilters.h"
#include "filter/FilterKernels.h"

namespace Norvane {
namespace filter {

namespace {

// One smoothing step; every variant computes exactly this per pixel.
inline float smoothed(float current, float previous, float alpha, float beta, float threshold) {
    if (current > 0.0f && previous > 0.0f && std::fabs(current - previous) < threshold)
        return alpha * current + beta * previous;
    return current;
}

// Left to right, then right to left, along one row.
void horizontalPasses(float* row, int width, float alpha, float beta, float threshold) {
    for (int x = 1; x < width; ++x) row[x] = smoothed(row[x], row[x - 1], alpha, beta, threshold);
    for (int x = width - 2; x >= 0; --x) row[x] = smoothed(row[x], row[x + 1], alpha, beta, threshold);
}

}  // namespace

namespace detail {

void spatialRowScalar(const float* previous, float* row, int width, float alpha, float thresholdMm) {
    const float beta = 1.0f - alpha;
    for (int i = 0; i < width; ++i) row[i] = smoothed(row[i], previous[i], alpha, beta, thresholdMm);
}

}  // namespace detail

namespace {

// dst (height x width) = src (width x height) transposed, in tiles that stay in cache.
void transpose(const float* src, int width, int height, float* dst) {
    constexpr int kTile = 16;
    for (int y0 = 0; y0 < height; y0 += kTile) {
        const int y1 = y0 + kTile < height ? y0 + kTile : height;
        for (int x0 = 0; x0 < width; x0 += kTile) {
            const int x1 = x0 + kTile < width ? x0 + kTile : width;
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) dst[size_t(x) * size_t(height) + size_t(y)] = src[size_t(y) * size_t(width) + size_t(x)];
        }
    }
}

// Each row of `plane` (rows x length) against its filtered neighbour, down and back up.
void rowPasses(float* plane, int length, int rows, float alpha, float threshold, SpatialRowFn rowStep) {
    const size_t n = size_t(length);
    for (int y = 1; y < rows; ++y) rowStep(plane + size_t(y - 1) * n, plane + size_t(y) * n, length, alpha, threshold);
    for (int y = rows - 2; y >= 0; --y) rowStep(plane + size_t(y + 1) * n, plane + size_t(y) * n, length, alpha, threshold);
}

}  // namespace

void spatialFilterWith(const Planes& p, const SpatialSettings& s, SpatialRowFn rowStep, float* transposed) {
    const int w = p.width, h = p.height;
    const float alpha = s.alpha, beta = 1.0f - s.alpha;
    for (int it = 0; it < s.iterations; ++it) {
        if (transposed) {
            // Along the rows as across the columns of the transposed plane:
            // the rows independent of each other, the row step's vector path
            // applies, and every pixel sees the same steps in the same order.
            transpose(p.depth, w, h, transposed);
            rowPasses(transposed, h, w, alpha, s.thresholdMm, rowStep);
            transpose(transposed, h, w, p.depth);
        } else {
            for (int y = 0; y < h; ++y) horizontalPasses(p.depth + size_t(y) * size_t(w), w, alpha, beta, s.thresholdMm);
        }
        // Top to bottom and back: each row against its filtered neighbour,
        // the columns independent of each other.
        rowPasses(p.depth, w, h, alpha, s.thresholdMm, rowStep);
    }
}

}  // namespace filter
}  // namespace Norvane
