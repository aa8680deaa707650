#include "sdk/evk/EvkRender.h"

#include <algorithm>
#include <cmath>

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

double normalQuantile(double p) {
    double lo = -9.0, hi = 9.0;
    for (int i = 0; i < 80; ++i) {
        double mid = 0.5 * (lo + hi);
        if (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p) lo = mid;
        else hi = mid;
    }
    return 0.5 * (lo + hi);
}

struct NormalTable {
    float value[kNormalCount];
    NormalTable() {
        for (int i = 0; i < kNormalCount; ++i) value[i] = float(normalQuantile((i + 0.5) / kNormalCount));
    }
};

const NormalTable& normalTable() {
    static const NormalTable table;
    return table;
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

uint64_t ShotNoise::next() {
    // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void ShotNoise::apply(const int16_t* clean, const float* sigma, size_t count, float scale, int lo, int hi,
                      uint16_t mask, uint16_t* out) {
    const float* normal = normalTable().value;
    constexpr int kPerDraw = 64 / kNormalBits;
    constexpr float kRoundBias = 32768.5f;  // truncating a positive number rounds it
    size_t i = 0;
    while (i < count) {
        uint64_t bits = next();
        for (int k = 0; k < kPerDraw && i < count; ++k, ++i) {
            float g = normal[bits & (kNormalCount - 1)];
            bits >>= kNormalBits;
            int v = int(float(clean[i]) + scale * sigma[i] * g + kRoundBias) - 32768;
            v = std::min(hi, std::max(lo, v));
            out[i] = uint16_t(uint16_t(v) & mask);
        }
    }
}

}  // namespace evk
}  // namespace Norvane
