#include "sdk/evk/EvkRender.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Norvane {
namespace evk {

namespace {

// Half width of the search for integer phase differences, how far out it
// may go, and the angle error (radians; 0.45 mm at 4000 mm) below which the
// amplitude closest to the wanted one wins.
constexpr int kLatticeSearch = 16;
constexpr int kLatticeExtension = 1024;
constexpr double kAngleTolerance = 7e-4;
constexpr double kMaxLatticeRadius = 2.0 * kMaxAmplitude;

// Normal deviates at the centres of 4096 equal-probability bins.
constexpr int kNormalBits = 12;
constexpr int kNormalCount = 1 << kNormalBits;
// Pool of standard normal deviates the noise is drawn from: each frame reads
// two windows at random offsets and sums them, so drawing costs two loads.
constexpr size_t kPoolSize = size_t(1) << 20;
constexpr uint64_t kPoolSeed = 0x6E6F697365ull;
constexpr float kInvSqrt2 = 0.70710678f;

double normalQuantile(double p) {
    double lo = -9.0, hi = 9.0;
    for (int i = 0; i < 80; ++i) {
        double mid = 0.5 * (lo + hi);
        if (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p)
            lo = mid;
        else
            hi = mid;
    }
    return 0.5 * (lo + hi);
}

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct NormalPool {
    std::vector<float> value;
    NormalPool() : value(kPoolSize) {
        std::vector<float> quantile(kNormalCount);
        for (int i = 0; i < kNormalCount; ++i) quantile[i] = float(normalQuantile((i + 0.5) / kNormalCount));
        uint64_t state = kPoolSeed;
        for (size_t i = 0; i < kPoolSize; ++i) {
            // Two quantiles averaged: finer steps than one 12-bit draw.
            uint64_t bits = splitmix64(state);
            value[i] = (quantile[bits & (kNormalCount - 1)] + quantile[(bits >> 32) & (kNormalCount - 1)]) * kInvSqrt2;
        }
    }
};

const NormalPool& normalPool() {
    static const NormalPool pool;
    return pool;
}

}  // namespace

double amplitudeOf(const SurfaceHit& hit) {
    double a = kActiveAmplitude * hit.albedo / (hit.distanceMm / 1000.0);
    return std::min(kMaxAmplitude, std::max(kMinAmplitude, a));
}

float shotSigma(double signal) { return float(std::sqrt(std::max(signal, 0.0) / kElectronsPerCount)); }

void latticeDifferences(double phi, double radius, int32_t* x, int32_t* y) {
    const double c = std::cos(phi), s = std::sin(phi);
    const bool xMajor = std::fabs(c) >= std::fabs(s);
    const double major = xMajor ? c : s, minor = xMajor ? s : c;
    const long u0 = std::lround(radius * major);
    const long outward = u0 >= 0 ? 1 : -1;
    double bestErr = 1e9, bestGap = 1e9;
    int32_t errX = 0, errY = 0, tolX = 0, tolY = 0;
    bool haveTol = false;
    auto consider = [&](long u) {
        if (u == 0) return;
        long v = std::lround(double(u) * minor / major);
        double px = double(xMajor ? u : v), py = double(xMajor ? v : u);
        double r = std::sqrt(px * px + py * py);
        if (px * c + py * s <= 0.0 || r > kMaxLatticeRadius) return;
        double err = std::fabs(px * s - py * c) / r;
        if (err < bestErr) {
            bestErr = err;
            errX = int32_t(px);
            errY = int32_t(py);
        }
        if (err <= kAngleTolerance && std::fabs(r - radius) < bestGap) {
            bestGap = std::fabs(r - radius);
            tolX = int32_t(px);
            tolY = int32_t(py);
            haveTol = true;
        }
    };
    for (long u = u0 - kLatticeSearch; u <= u0 + kLatticeSearch; ++u) consider(u);
    // Close to a direction of small integer slope (the axes, the diagonals)
    // the lattice is sparse near `radius`: go out to a brighter pixel.
    for (long k = 1; !haveTol && k <= kLatticeExtension; ++k) consider(u0 + outward * (kLatticeSearch + k));
    *x = haveTol ? tolX : errX;
    *y = haveTol ? tolY : errY;
}

uint64_t ShotNoise::next() { return splitmix64(state); }

size_t ShotNoise::maxCount() { return kPoolSize / 2; }

void ShotNoise::apply(const int16_t* clean, const float* sigma, size_t count, float scale, int lo, int hi,
                      uint16_t mask, uint16_t* out) {
    for (; count > maxCount(); count -= maxCount(), clean += maxCount(), sigma += maxCount(), out += maxCount())
        apply(clean, sigma, maxCount(), scale, lo, hi, mask, out);
    const float* pool = normalPool().value.data();
    const size_t span = kPoolSize - count + 1;
    const float* a = pool + next() % span;
    const float* b = pool + next() % span;
    constexpr float kRoundBias = 32768.5f;  // truncating a positive number rounds it
    const float k = scale * kInvSqrt2;
    for (size_t i = 0; i < count; ++i) {
        int v = int(float(clean[i]) + k * sigma[i] * (a[i] + b[i]) + kRoundBias) - 32768;
        v = std::min(hi, std::max(lo, v));
        out[i] = uint16_t(uint16_t(v) & mask);
    }
}

}  // namespace evk
}  // namespace Norvane
