#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "filter/FilterChain.h"
#include "filter/FilterSettings.h"

using namespace Norvane;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint8_t kValid = 0, kNoDepth = 1, kLow = 2, kRange = 3, kFlying = 4, kSpeckle = 5, kTemporal = 6;

struct Frame {
    std::vector<float> depth, amplitude;
    std::vector<uint8_t> invalid;
};

Frame run(FilterChain& chain, int w, int h, std::vector<float> depth, std::vector<float> amplitude = {}) {
    if (amplitude.empty()) amplitude.assign(depth.size(), 100.0f);
    Frame f{std::move(depth), std::move(amplitude), std::vector<uint8_t>(size_t(w) * size_t(h), 0xEE)};
    chain.run(f.depth.data(), f.amplitude.data(), f.invalid.data(), w, h);
    return f;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::string show(const std::vector<float>& v) {
    std::string s;
    for (float x : v) s += std::to_string(x) + " ";
    return s;
}

struct StageCase {
    const char* name;
    FilterSettings settings;
    int width, height;
    std::vector<float> depth, amplitude;
    std::vector<float> expectedDepth;
    std::vector<uint8_t> expectedInvalid;
};

FilterSettings with(void (*set)(FilterSettings&)) {
    FilterSettings s;
    set(s);
    return s;
}

const std::vector<StageCase>& stageCases() {
    static const std::vector<StageCase> cases = {
        {"all off: depth as decoded, only missing depth marked", FilterSettings{}, 4, 1,
         {kNaN, -5.0f, 0.0f, 1200.0f}, {}, {kNaN, -5.0f, 0.0f, 1200.0f}, {kNoDepth, kNoDepth, kNoDepth, kValid}},
        {"any filter on: missing depth cleared to 0", with([](FilterSettings& s) { s.median.enabled = true; }), 4, 1,
         {kNaN, -5.0f, kInf, 1200.0f}, {}, {0.0f, 0.0f, 0.0f, 1200.0f}, {kNoDepth, kNoDepth, kNoDepth, kValid}},
        {"range keeps [min, max], bounds included", with([](FilterSettings& s) {
             s.range = {true, 200.0f, 2000.0f};
         }),
         5, 1, {100.0f, 200.0f, 2000.0f, 3000.0f, 0.0f}, {}, {0.0f, 200.0f, 2000.0f, 0.0f, 0.0f},
         {kRange, kValid, kValid, kRange, kNoDepth}},
        {"amplitude below the threshold or NaN is low signal", with([](FilterSettings& s) {
             s.amplitude = {true, 10.0f};
         }),
         4, 1, {900.0f, 900.0f, 900.0f, 900.0f}, {5.0f, 10.0f, kNaN, 50.0f}, {0.0f, 900.0f, 0.0f, 900.0f},
         {kLow, kValid, kLow, kValid}},
        {"flying pixel between two surfaces removed, a slope kept", with([](FilterSettings& s) {
             s.flyingPixel = {true, 50.0f, 3.0f, 1};
         }),
         5, 2, {1000.0f, 1000.0f, 1500.0f, 2000.0f, 2000.0f, 1000.0f, 1040.0f, 1080.0f, 1120.0f, 1160.0f}, {},
         {1000.0f, 1000.0f, 0.0f, 2000.0f, 2000.0f, 1000.0f, 1040.0f, 1080.0f, 1120.0f, 1160.0f},
         {kValid, kValid, kFlying, kValid, kValid, kValid, kValid, kValid, kValid, kValid}},
        {"flying: a steep slope (100 mm a pixel) is no edge", with([](FilterSettings& s) {
             s.flyingPixel = {true, 50.0f, 3.0f, 1};
         }),
         5, 1, {1000.0f, 1100.0f, 1200.0f, 1300.0f, 1400.0f}, {}, {1000.0f, 1100.0f, 1200.0f, 1300.0f, 1400.0f},
         {kValid, kValid, kValid, kValid, kValid}},
        {"flying: the step is relative at long range (3 % of 4000 mm = 120 mm)", with([](FilterSettings& s) {
             s.flyingPixel = {true, 50.0f, 3.0f, 1};
         }),
         3, 1, {3900.0f, 4000.0f, 4100.0f}, {}, {3900.0f, 4000.0f, 4100.0f}, {kValid, kValid, kValid}},
        {"speckle: a region smaller than the minimum removed", with([](FilterSettings& s) {
             s.speckle = {true, 50.0f, 2};
         }),
         6, 1, {1000.0f, 1010.0f, 1020.0f, 3000.0f, 1000.0f, 1000.0f}, {},
         {1000.0f, 1010.0f, 1020.0f, 0.0f, 1000.0f, 1000.0f}, {kValid, kValid, kValid, kSpeckle, kValid, kValid}},
        {"median removes an outlier, invalid pixels stay out of the window", with([](FilterSettings& s) {
             s.median.enabled = true;
         }),
         3, 3, {1000.0f, 1000.0f, 1000.0f, 1000.0f, 1300.0f, 1000.0f, 1000.0f, 0.0f, 1000.0f}, {},
         {1000.0f, 1000.0f, 1000.0f, 1000.0f, 1000.0f, 1000.0f, 1000.0f, 0.0f, 1000.0f},
         {kValid, kValid, kValid, kValid, kValid, kValid, kValid, kNoDepth, kValid}},
        {"spatial smooths within a surface, keeps the edge", with([](FilterSettings& s) {
             s.spatial = {true, 0.5f, 20.0f, 1};
         }),
         4, 1, {1000.0f, 1010.0f, 2000.0f, 2010.0f}, {}, {1002.5f, 1005.0f, 2002.5f, 2005.0f},
         {kValid, kValid, kValid, kValid}},
        {"the first stage to remove a pixel names it", with([](FilterSettings& s) {
             s.range = {true, 0.0f, 1500.0f};
             s.amplitude = {true, 10.0f};
         }),
         2, 1, {2000.0f, 1000.0f}, {1.0f, 1.0f}, {0.0f, 0.0f}, {kRange, kLow}},
    };
    return cases;
}

TEST(FilterStages, EachOnASmallPlane) {
    for (const StageCase& c : stageCases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(validateFilterSettings(c.settings), nullptr);
        FilterChain chain;
        chain.prepare(c.width, c.height);
        chain.configure(c.settings);
        const Frame f = run(chain, c.width, c.height, c.depth, c.amplitude);
        EXPECT_TRUE(sameBits(f.depth, c.expectedDepth)) << show(f.depth);
        EXPECT_EQ(f.invalid, c.expectedInvalid);
    }
}

TEST(MedianFilter, TheMedianOfEveryFullWindow) {
    FilterSettings s;
    s.median.enabled = true;
    FilterChain chain;
    chain.prepare(5, 5);
    chain.configure(s);
    std::mt19937 rng(9);
    std::uniform_int_distribution<int> mm(500, 520);  // repeated values too
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<float> depth(25);
        for (float& d : depth) d = float(mm(rng));
        const Frame f = run(chain, 5, 5, depth);
        for (int y = 1; y < 4; ++y) {
            for (int x = 1; x < 4; ++x) {
                std::vector<float> window;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) window.push_back(depth[size_t((y + dy) * 5 + x + dx)]);
                std::nth_element(window.begin(), window.begin() + 4, window.end());
                ASSERT_EQ(f.depth[size_t(y * 5 + x)], window[4]) << "trial " << trial << " at " << x << ", " << y;
            }
        }
    }
}

struct TemporalCase {
    const char* name;
    TemporalSettings settings;
    std::vector<float> inputs;  // one pixel, one capture each
    std::vector<float> outputs;
    std::vector<uint8_t> codes;
};

TEST(TemporalFilter, AveragesResetsAndPersists) {
    const std::vector<TemporalCase> cases = {
        {"average, restart after a gap and after a jump", {true, 0.5f, 50.0f, 1, 1},
         {1000.0f, 1010.0f, 0.0f, 1020.0f, 2000.0f, 2010.0f},
         {1000.0f, 1005.0f, 0.0f, 1020.0f, 2000.0f, 2005.0f},
         {kValid, kValid, kNoDepth, kValid, kValid, kValid}},
        {"valid in 2 of the last 3", {true, 1.0f, 50.0f, 2, 3},
         {1000.0f, 0.0f, 0.0f, 1000.0f, 1000.0f, 0.0f, 1000.0f},
         {1000.0f, 0.0f, 0.0f, 0.0f, 1000.0f, 0.0f, 1000.0f},
         {kValid, kNoDepth, kNoDepth, kTemporal, kValid, kNoDepth, kValid}},
    };
    for (const TemporalCase& c : cases) {
        SCOPED_TRACE(c.name);
        FilterSettings s;
        s.temporal = c.settings;
        ASSERT_EQ(validateFilterSettings(s), nullptr);
        FilterChain chain;
        chain.prepare(1, 1);
        chain.configure(s);
        for (size_t i = 0; i < c.inputs.size(); ++i) {
            const Frame f = run(chain, 1, 1, {c.inputs[i]});
            EXPECT_EQ(f.depth[0], c.outputs[i]) << "capture " << i;
            EXPECT_EQ(f.invalid[0], c.codes[i]) << "capture " << i;
        }
    }
}

TEST(TemporalFilter, StartsAfreshWhenPreparedOrReconfigured) {
    FilterSettings s;
    s.temporal = {true, 0.5f, 1000.0f, 1, 1};
    FilterChain chain;
    chain.prepare(1, 1);
    chain.configure(s);
    run(chain, 1, 1, {1000.0f});
    EXPECT_EQ(run(chain, 1, 1, {1100.0f}).depth[0], 1050.0f);  // the state carries on
    chain.configure(s);  // the same settings: kept
    EXPECT_EQ(run(chain, 1, 1, {1150.0f}).depth[0], 1100.0f);
    chain.prepare(1, 1);  // what every start does
    EXPECT_EQ(run(chain, 1, 1, {1300.0f}).depth[0], 1300.0f);
    s.temporal.alpha = 0.25f;  // new temporal settings: a fresh start
    chain.configure(s);
    EXPECT_EQ(run(chain, 1, 1, {1500.0f}).depth[0], 1500.0f);
}

TEST(FilterChain, AnotherGeometryThanPreparedOnlyMarks) {
    FilterSettings s;
    s.range = {true, 0.0f, 10.0f};
    FilterChain chain;
    chain.prepare(2, 1);
    chain.configure(s);
    const Frame f = run(chain, 3, 1, {0.0f, 500.0f, 600.0f});
    EXPECT_TRUE(sameBits(f.depth, {0.0f, 500.0f, 600.0f}));
    EXPECT_EQ(f.invalid, (std::vector<uint8_t>{kNoDepth, kValid, kValid}));
}

TEST(FilterSettings, ValidationAndNamedParameters) {
    struct Bad {
        const char* name;
        double value;
        const char* message;  // null: refused by name or kind
    };
    const Bad bad[] = {
        {"range.max_mm", -1.0, "range: max_mm must lie within min_mm to 100000 mm"},
        {"amplitude.min_amplitude", -1.0, "amplitude: min_amplitude must be 0 or more counts"},
        {"flying_pixel.radius", 4.0, "flying_pixel: radius must be 1, 2 or 3 pixels"},
        {"speckle.min_region_pixels", 0.0, "speckle: min_region_pixels must be 1 or more"},
        {"spatial.alpha", 0.0, "spatial: alpha must lie in (0, 1]"},
        {"spatial.iterations", 6.0, "spatial: iterations must lie within 1 to 5"},
        {"temporal.persist_valid", 3.0, "temporal: persist_valid must lie within 1 to persist_frames"},
        {"temporal.persist_frames", 9.0, "temporal: persist_frames must lie within 1 to 8"},
        {"spatial.iterations", 1.5, nullptr},
        {"median.enabled", 2.0, nullptr},
        {"spatial.alpha", double(kNaN), nullptr},
        {"spatial.colour", 1.0, nullptr},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.name);
        FilterSettings s;
        s.range.enabled = s.amplitude.enabled = s.flyingPixel.enabled = s.speckle.enabled = true;
        s.spatial.enabled = s.temporal.enabled = true;
        ASSERT_EQ(validateFilterSettings(s), nullptr) << "every default is valid";
        if (!b.message) {
            EXPECT_FALSE(setFilterParameter(s, b.name, b.value));
            continue;
        }
        ASSERT_TRUE(setFilterParameter(s, b.name, b.value));
        const char* problem = validateFilterSettings(s);
        ASSERT_NE(problem, nullptr);
        EXPECT_STREQ(problem, b.message);
    }
    FilterSettings s;
    EXPECT_TRUE(setFilterParameter(s, "temporal.enabled", 1.0));
    EXPECT_TRUE(setFilterParameter(s, "temporal.persist_frames", 4.0));
    EXPECT_TRUE(setFilterParameter(s, "temporal.reset_mm", 75.5));
    EXPECT_TRUE(s.temporal.enabled);
    EXPECT_EQ(s.temporal.persistFrames, 4);
    EXPECT_EQ(s.temporal.resetMm, 75.5f);
}

}  // namespace
