// The vector paths of the filters against the portable one, bit for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filter/DepthFilters.h"

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

}  // namespace
