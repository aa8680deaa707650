// The vector paths of the filters against the portable one, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filter/DepthFilters.h"
#include "filter/FilterChain.h"

using namespace Norvane;
using namespace Norvane::filter;

namespace {

struct PlaneCase {
    const char* name;
    int width, height;
    SpatialSettings settings;
    float stepMm;        // spread of the random walk along a row: around the threshold
    float holeFraction;  // share of pixels without depth
};

// Depth planes of surfaces with noise, random edges and holes: steps on
// both sides of the threshold, so that every branch of the step is taken.
std::vector<float> randomPlane(const PlaneCase& c, std::mt19937& rng) {
    std::uniform_real_distribution<float> step(-c.stepMm, c.stepMm), unit(0.0f, 1.0f), level(300.0f, 4000.0f);
    std::vector<float> d(size_t(c.width) * size_t(c.height));
    for (int y = 0; y < c.height; ++y) {
        float v = level(rng);
        for (int x = 0; x < c.width; ++x) {
            v += step(rng);
            if (unit(rng) < 0.02f) v = level(rng);  // an edge
            d[size_t(y) * size_t(c.width) + size_t(x)] = unit(rng) < c.holeFraction ? 0.0f : v;
        }
    }
    return d;
}

TEST(FilterVariants, AgreeWithThePortablePathBitForBit) {
    const PlaneCase cases[] = {
        {"the HQVGA depth image", 240, 180, {true, 0.5f, 20.0f, 2}, 25.0f, 0.05f},
        {"a width with a vector tail", 243, 7, {true, 0.5f, 20.0f, 2}, 25.0f, 0.05f},
        {"narrower than one vector", 3, 5, {true, 0.3f, 20.0f, 3}, 25.0f, 0.1f},
        {"an odd weight, many holes", 64, 48, {true, 0.37f, 35.0f, 5}, 40.0f, 0.4f},
        {"a weight near 1", 32, 16, {true, 0.9f, 20.0f, 1}, 25.0f, 0.05f},
        {"the VGA depth image", 320, 240, {true, 0.5f, 20.0f, 2}, 25.0f, 0.05f},
    };
    size_t count = 0;
    const FilterVariant* variants = filterVariants(&count);
    ASSERT_GE(count, 1u);
    ASSERT_STREQ(variants[0].name, "scalar");
#if defined(__x86_64__) || (defined(__aarch64__) && defined(__ARM_NEON))
    ASSERT_GE(count, 2u) << "this CPU's vector path is built in";
#endif
    std::mt19937 rng(0xF1173u);
    for (const PlaneCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (int trial = 0; trial < 4; ++trial) {
            const std::vector<float> input = randomPlane(c, rng);
            std::vector<uint8_t> invalid(input.size(), 0);
            std::vector<float> reference = input;
            spatialFilterWith({reference.data(), nullptr, invalid.data(), c.width, c.height}, c.settings,
                              variants[0].spatialRow, nullptr);
            ASSERT_NE(std::memcmp(reference.data(), input.data(), input.size() * sizeof(float)), 0)
                << "the plane was smoothed";
            // Every row step, row by row and over the transposed plane.
            std::vector<float> transposed(input.size());
            for (size_t v = 0; v < count; ++v) {
                for (float* scratch : {static_cast<float*>(nullptr), transposed.data()}) {
                    if (v == 0 && !scratch) continue;
                    std::vector<float> out = input;
                    spatialFilterWith({out.data(), nullptr, invalid.data(), c.width, c.height}, c.settings,
                                      variants[v].spatialRow, scratch);
                    size_t first = 0;
                    while (first < out.size() && std::memcmp(&out[first], &reference[first], sizeof(float)) == 0)
                        ++first;
                    EXPECT_EQ(first, out.size()) << variants[v].name << (scratch ? " transposed" : " rows")
                                                 << ": first difference at pixel " << first;
                }
            }
        }
    }
}

// A scene of slanted surfaces and boxes in front of each other: edge pixels
// mixed across the boxes' borders (the flying pixels), holes, undecodable
// depths and amplitudes that are low or not a number.
void randomScene(int w, int h, std::mt19937& rng, std::vector<float>& depth, std::vector<float>& amplitude) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), level(400.0f, 4000.0f);
    std::normal_distribution<float> noise(0.0f, 4.0f);
    struct Box { int x0, y0, x1, y1; float d; };
    std::vector<Box> boxes;
    for (int b = 0; b < 6; ++b) {
        const int x0 = int(unit(rng) * float(w)), y0 = int(unit(rng) * float(h));
        boxes.push_back({x0, y0, x0 + 1 + int(unit(rng) * float(w) / 2), y0 + 1 + int(unit(rng) * float(h) / 2), level(rng)});
    }
    const float back = level(rng), slope = 20.0f * unit(rng);
    const float odd[] = {0.0f, -5.0f, NAN, INFINITY};
    depth.assign(size_t(w) * size_t(h), 0.0f);
    amplitude.assign(depth.size(), 0.0f);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            float d = back + slope * float(x);
            for (const Box& b : boxes) {
                if (x < b.x0 || x >= b.x1 || y < b.y0 || y >= b.y1) continue;
                const bool border = x == b.x0 || x == b.x1 - 1 || y == b.y0 || y == b.y1 - 1;
                d = border && unit(rng) < 0.6f ? 0.5f * (d + b.d) : b.d;
            }
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            depth[i] = unit(rng) < 0.03f ? odd[int(unit(rng) * 4.0f) & 3] : d + noise(rng);
            amplitude[i] = unit(rng) < 0.02f ? NAN : 100.0f * unit(rng);
        }
    }
}

// The flying-pixel rule applied to every valid pixel: what the candidates
// of every variant must not narrow.
int everyValidPixel(const float* centre, ptrdiff_t, int count, int, float, float, int32_t* candidates) {
    int n = 0;
    for (int i = 0; i < count; ++i)
        if (centre[i] > 0.0f) candidates[n++] = i;
    return n;
}

FilterSettings chainSettings(int radius, bool range, int persistValid) {
    FilterSettings s;
    s.range = {range, 800.0f, 3500.0f};
    s.amplitude = {true, 15.0f};
    s.flyingPixel = {true, 40.0f, 3.0f, radius};
    s.temporal = {true, 0.25f, 60.0f, persistValid, 4};
    return s;
}

TEST(FilterVariants, RunTheChainBitForBitAsThePortablePathOverCaptures) {
    struct ChainCase {
        const char* name;
        int width, height;
        FilterSettings settings;
    } const cases[] = {
        {"the HQVGA image, radius 1", 240, 180, chainSettings(1, false, 1)},
        {"radius 2 with a range, a width with a vector tail", 243, 37, chainSettings(2, true, 1)},
        {"radius 3, persistence", 97, 64, chainSettings(3, true, 2)},
        {"narrower than the rule's reach", 5, 9, chainSettings(2, true, 1)},
        {"every filter off: only the marking", 67, 13, FilterSettings{}},
    };
    size_t count = 0;
    const FilterVariant* variants = filterVariants(&count);
    FilterVariant reference = variants[0];
    reference.flyingCandidates = everyValidPixel;
    std::mt19937 rng(0xC4A1u);
    int reasons[8] = {};
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<FilterChain> chains(count + 1);
        for (size_t v = 0; v <= count; ++v) {
            chains[v].prepare(c.width, c.height);
            chains[v].configure(c.settings);
            chains[v].useKernels(v == 0 ? reference : variants[v - 1]);
        }
        for (int capture = 0; capture < 3; ++capture) {
            std::vector<float> input, amplitude;
            randomScene(c.width, c.height, rng, input, amplitude);
            std::vector<float> expected = input;
            std::vector<uint8_t> expectedInvalid(input.size());
            chains[0].run(expected.data(), amplitude.data(), expectedInvalid.data(), c.width, c.height);
            for (uint8_t r : expectedInvalid) ++reasons[r & 7];
            for (size_t v = 1; v <= count; ++v) {
                std::vector<float> out = input;
                std::vector<uint8_t> invalid(input.size(), 0xEE);
                chains[v].run(out.data(), amplitude.data(), invalid.data(), c.width, c.height);
                EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0)
                    << variants[v - 1].name << ", capture " << capture;
                EXPECT_EQ(invalid, expectedInvalid) << variants[v - 1].name << ", capture " << capture;
            }
        }
    }
    // Every reason came up: the cases take every branch.
    for (InvalidReason r : {InvalidReason::NO_DEPTH, InvalidReason::LOW_SIGNAL, InvalidReason::OUT_OF_RANGE,
                            InvalidReason::FLYING_PIXEL, InvalidReason::TEMPORAL})
        EXPECT_GT(reasons[int(r)], 0) << "reason " << int(r);
}

}  // namespace
