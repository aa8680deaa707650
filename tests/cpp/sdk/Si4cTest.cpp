// The phase-processing library through its C interface, on captures built
// with the shared layout.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "config/DefaultConfig.h"
#include "sdk/VgaCaptureLayout.h"
#include "sdk/si4c/si4c.h"
#include "tests/fakes/VgaCapture.h"
#include "tests/fakes/WorkDir.h"

using namespace Norvane;
using sim::VgaPixel;

namespace {

struct Planes {
    explicit Planes(int w, int h) : depth(size_t(w) * h, -1.0f), amplitude(depth), confidence(depth) {}
    bool decode(SiSDKHandle h, const std::vector<uint8_t>& capture) {
        return SiSDKGetPhaseImage(h, capture.data(), depth.data(), amplitude.data(), confidence.data());
    }
    std::vector<float> depth, amplitude, confidence;
};

// A handle with a started session.
SiSDKHandle started(int w, int h, bool dual) {
    SiSDKHandle handle = nullptr;
    EXPECT_TRUE(SiSDKCreate(&handle));
    EXPECT_TRUE(SiSDKSetSingleFreq(handle, !dual));
    EXPECT_TRUE(SiSDKInit(handle, w, h));
    EXPECT_TRUE(SiSDKStart(handle));
    return handle;
}

// Distances spread over [margin, range - margin) across the image.
sim::VgaScene rampScene(int w, int h, double range, double amplitude = 600, double offset = 1200) {
    const double margin = 5.0;
    return [=](int r, int c) {
        double t = double(r * w + c) / double(w * h);
        return VgaPixel{margin + t * (range - 2 * margin), amplitude, offset};
    };
}

sim::VgaScene flatScene(double distance, double amplitude = 600, double offset = 1200) {
    return [=](int, int) { return VgaPixel{distance, amplitude, offset}; };
}

class Si4c : public ::testing::Test {
protected:
    sim::ScopedWorkDir dir;
};

struct Geometry {
    int width, height;
    bool dual;
};

class Si4cScene : public Si4c, public ::testing::WithParamInterface<Geometry> {};

}  // namespace

TEST_F(Si4c, NullAndDestroyedHandlesAreHarmless) {
    float plane[4] = {};
    uint8_t capture[64] = {};
    EXPECT_FALSE(SiSDKCreate(nullptr));
    EXPECT_FALSE(SiSDKInit(nullptr, 640, 480));
    EXPECT_FALSE(SiSDKSetCaliData(nullptr, plane, sizeof plane));
    EXPECT_FALSE(SiSDKSetConfig(nullptr, "."));
    EXPECT_FALSE(SiSDKStart(nullptr));
    EXPECT_TRUE(SiSDKIsSingleFreq(nullptr));
    EXPECT_FALSE(SiSDKSetSingleFreq(nullptr, false));
    EXPECT_FALSE(SiSDKGetPhaseImage(nullptr, capture, plane, plane, plane));
    SiSDKDestroy(nullptr);

    SiSDKHandle h = started(640, 480, false);
    SiSDKDestroy(&h);
    EXPECT_EQ(h, nullptr) << "destroy clears the caller's handle";
    SiSDKDestroy(&h);
    EXPECT_FALSE(SiSDKInit(h, 640, 480)) << "a destroyed handle stays destroyed";
    EXPECT_FALSE(SiSDKGetPhaseImage(h, capture, plane, plane, plane));
}

TEST_F(Si4c, SessionOrderAndArguments) {
    SiSDKHandle h = nullptr;
    ASSERT_TRUE(SiSDKCreate(&h));
    EXPECT_TRUE(SiSDKIsSingleFreq(h)) << "a new handle is in single-frequency mode";
    auto capture = sim::buildVgaCapture(320, 240, false, flatScene(500));
    Planes p(320, 240);
    EXPECT_FALSE(p.decode(h, capture)) << "before SiSDKInit";
    EXPECT_FALSE(SiSDKStart(h)) << "before SiSDKInit";
    ASSERT_TRUE(SiSDKInit(h, 320, 240));
    EXPECT_FALSE(p.decode(h, capture)) << "before SiSDKStart";
    EXPECT_EQ(p.depth[0], -1.0f) << "nothing written";
    ASSERT_TRUE(SiSDKStart(h));
    EXPECT_FALSE(SiSDKGetPhaseImage(h, capture.data(), nullptr, p.amplitude.data(), p.confidence.data()));
    EXPECT_FALSE(SiSDKGetPhaseImage(h, nullptr, p.depth.data(), p.amplitude.data(), p.confidence.data()));
    EXPECT_FALSE(SiSDKSetConfig(h, nullptr));
    EXPECT_TRUE(p.decode(h, capture));

    for (auto size : {std::make_pair(0, 240), std::make_pair(3, 240), std::make_pair(640, 0), std::make_pair(-640, 480),
                      std::make_pair(5000, 480)}) {
        EXPECT_FALSE(SiSDKInit(h, size.first, size.second)) << size.first << " x " << size.second;
        EXPECT_FALSE(SiSDKStart(h));
        EXPECT_FALSE(p.decode(h, capture)) << "a failed SiSDKInit ends the session";
    }
    SiSDKDestroy(&h);
}

TEST_P(Si4cScene, DepthMatchesTheScene) {
    const Geometry g = GetParam();
    const double range = g.dual ? vga::kDualCombinedRangeMm : vga::kSingleRangeMm;
    SiSDKHandle h = started(g.width, g.height, g.dual);
    auto scene = rampScene(g.width, g.height, range);
    Planes p(g.width, g.height);
    ASSERT_TRUE(p.decode(h, sim::buildVgaCapture(g.width, g.height, g.dual, scene)));
    double worst = 0;
    for (int r = 0; r < g.height; ++r) {
        for (int c = 0; c < g.width; ++c) {
            size_t i = size_t(r) * g.width + c;
            worst = std::max(worst, std::fabs(p.depth[i] - scene(r, c).distanceMm));
            ASSERT_NEAR(p.amplitude[i], 600.0f, 1.5f) << r << "," << c;
            ASSERT_NEAR(p.confidence[i], 0.5f, 0.01f) << r << "," << c;
        }
    }
    EXPECT_LT(worst, 0.3) << "millimetres";
    SiSDKDestroy(&h);
}

INSTANTIATE_TEST_SUITE_P(Geometries, Si4cScene,
                         ::testing::Values(Geometry{640, 480, false}, Geometry{640, 480, true},
                                           Geometry{320, 240, false}, Geometry{320, 240, true}));

TEST_F(Si4c, ConfidenceFallsWithContrastAndDisagreement) {
    SiSDKHandle single = started(320, 240, false);
    Planes p(320, 240);
    ASSERT_TRUE(p.decode(single, sim::buildVgaCapture(320, 240, false, flatScene(300, 100, 1000))));
    EXPECT_NEAR(p.confidence[0], 0.1f, 0.005f);
    EXPECT_NEAR(p.amplitude[0], 100.0f, 1.0f);

    // Frequency 1 rendered 200 mm off: agreement 1 - 200 / 375.
    SiSDKHandle dual = started(320, 240, true);
    auto capture = sim::buildVgaCapture(320, 240, true, flatScene(1000));
    auto shifted = sim::buildVgaCapture(320, 240, true, flatScene(800));
    const size_t sub = size_t(320) * vga::subFrameRows(240) * 2;  // bytes per sub-frame
    std::memcpy(capture.data() + 5 * sub, shifted.data() + 5 * sub, 5 * sub);
    ASSERT_TRUE(p.decode(dual, capture));
    EXPECT_NEAR(p.confidence[0], 0.5f * (1.0f - 200.0f / 375.0f), 0.01f);
    SiSDKDestroy(&single);
    SiSDKDestroy(&dual);
}

TEST_F(Si4c, ZeroPhasesAndSaturatedPixels) {
    SiSDKHandle h = started(320, 240, false);
    Planes p(320, 240);
    ASSERT_TRUE(p.decode(h, sim::buildVgaCapture(320, 240, false, flatScene(0, 0, 0))));
    for (size_t i = 0; i < p.depth.size(); ++i) {
        ASSERT_EQ(p.depth[i], 0.0f);
        ASSERT_EQ(p.amplitude[i], 0.0f);
        ASSERT_EQ(p.confidence[i], 0.0f);
    }

    // One pixel clipped at full scale in one phase: invalid, the rest not.
    auto capture = sim::buildVgaCapture(320, 240, false, flatScene(700));
    const size_t pixel = vga::rowOffset(320, 240, 2, 1 + 10) + 20;  // phase 2, row 10, column 20
    sim::setVgaSample(capture, pixel, vga::kSampleMax);
    ASSERT_TRUE(p.decode(h, capture));
    EXPECT_EQ(p.depth[10 * 320 + 20], 0.0f);
    EXPECT_EQ(p.confidence[10 * 320 + 20], 0.0f);
    EXPECT_GT(p.amplitude[10 * 320 + 20], 0.0f) << "amplitude is still reported";
    EXPECT_NEAR(p.depth[10 * 320 + 21], 700.0f, 0.3f);

    // Bits above the 12-bit sample are not part of it.
    auto flagged = sim::buildVgaCapture(320, 240, false, flatScene(700));
    for (int k = 0; k < 4; ++k) {
        size_t s = vga::rowOffset(320, 240, k, 1) + 5;
        sim::setVgaSample(flagged, s, uint16_t(sim::vgaSample(flagged, s) | 0xF000));
    }
    ASSERT_TRUE(p.decode(h, flagged));
    EXPECT_NEAR(p.depth[5], 700.0f, 0.3f);
    SiSDKDestroy(&h);
}

TEST_F(Si4c, SubFramesOutOfPlaceAreRefused) {
    SiSDKHandle h = started(320, 240, true);
    Planes p(320, 240);
    const auto good = sim::buildVgaCapture(320, 240, true, flatScene(900));
    ASSERT_TRUE(p.decode(h, good));
    for (int field : {vga::kMetaSubFrame, vga::kMetaFrequency, vga::kMetaPhase}) {
        for (int sub : {0, 4, 7, 9}) {
            auto bad = good;
            size_t at = vga::rowOffset(320, 240, sub, 0) + size_t(field);
            sim::setVgaSample(bad, at, uint16_t(sim::vgaSample(bad, at) + 1));
            std::fill(p.depth.begin(), p.depth.end(), -1.0f);
            EXPECT_FALSE(p.decode(h, bad)) << "sub-frame " << sub << " field " << field;
            EXPECT_EQ(p.depth[0], -1.0f) << "a refused capture writes nothing";
        }
    }
    auto counter = good;
    sim::setVgaSample(counter, vga::rowOffset(320, 240, 3, 0) + vga::kMetaCounter, 77);
    EXPECT_TRUE(p.decode(h, counter)) << "the counter is not checked";
    SiSDKDestroy(&h);
}

// A switch while captures flow reaches the decode at the next start: a
// single-frequency capture is never read as a dual-frequency one, which
// would read twice its size (AddressSanitizer would see it).
TEST_F(Si4c, ModeSwitchTakesEffectAtTheNextStart) {
    SiSDKHandle h = started(320, 240, false);
    Planes p(320, 240);
    const auto single = sim::buildVgaCapture(320, 240, false, flatScene(1100));
    ASSERT_EQ(single.size(), vga::captureBytes(320, 240, false));
    ASSERT_TRUE(SiSDKSetSingleFreq(h, false));
    EXPECT_FALSE(SiSDKIsSingleFreq(h)) << "reported at once";
    ASSERT_TRUE(p.decode(h, single));
    EXPECT_NEAR(p.depth[0], 1100.0f, 0.3f);

    ASSERT_TRUE(SiSDKInit(h, 320, 240));
    ASSERT_TRUE(SiSDKStart(h));
    ASSERT_TRUE(p.decode(h, sim::buildVgaCapture(320, 240, true, flatScene(3300))));
    EXPECT_NEAR(p.depth[0], 3300.0f, 0.3f);
    SiSDKDestroy(&h);
}

TEST_F(Si4c, ValidDistanceLimitsFromTheWorkingDirectory) {
    sim::writeWholeFile(kConfigAlgorithmFile, "[ConfidenceParams]\nValidDistMin=400\nValidDistMax=800\n");
    SiSDKHandle h = started(320, 240, false);
    auto scene = rampScene(320, 240, vga::kSingleRangeMm);
    Planes p(320, 240);
    ASSERT_TRUE(p.decode(h, sim::buildVgaCapture(320, 240, false, scene)));
    int inside = 0, outside = 0;
    for (int r = 0; r < 240; ++r) {
        for (int c = 0; c < 320; ++c) {
            size_t i = size_t(r) * 320 + c;
            double d = scene(r, c).distanceMm;
            if (d < 399 || d > 801) {
                ++outside;
                ASSERT_EQ(p.depth[i], 0.0f) << d;
                ASSERT_EQ(p.confidence[i], 0.0f) << d;
                ASSERT_NEAR(p.amplitude[i], 600.0f, 1.5f);
            } else if (d > 401 && d < 799) {
                ++inside;
                ASSERT_NEAR(p.depth[i], d, 0.3) << d;
                ASSERT_GT(p.confidence[i], 0.4f);
            }
        }
    }
    EXPECT_GT(inside, 10000);
    EXPECT_GT(outside, 10000);

    // Read at start: a later edit waits for the next session.
    sim::writeWholeFile(kConfigAlgorithmFile, "[ConfidenceParams]\nValidDistMin=0\nValidDistMax=7000\n");
    ASSERT_TRUE(p.decode(h, sim::buildVgaCapture(320, 240, false, flatScene(200))));
    EXPECT_EQ(p.depth[0], 0.0f);
    ASSERT_TRUE(SiSDKInit(h, 320, 240));
    ASSERT_TRUE(SiSDKStart(h));
    ASSERT_TRUE(p.decode(h, sim::buildVgaCapture(320, 240, false, flatScene(200))));
    EXPECT_NEAR(p.depth[0], 200.0f, 0.3f);
    SiSDKDestroy(&h);
}

TEST_F(Si4c, ConfigurationDirectoryTakesPrecedence) {
    sim::writeWholeFile(kConfigAlgorithmFile, "[ConfidenceParams]\nValidDistMax=100\n");
    ASSERT_EQ(mkdir("mine", 0755), 0);
    sim::writeWholeFile(std::string("mine/") + kConfigAlgorithmFile, "[ConfidenceParams]\nValidDistMax=5000\n");
    ASSERT_EQ(mkdir("empty", 0755), 0);
    const auto capture = sim::buildVgaCapture(320, 240, false, flatScene(600));
    Planes p(320, 240);

    SiSDKHandle h = nullptr;
    ASSERT_TRUE(SiSDKCreate(&h));
    struct Case {
        const char* dir;
        float depth;
    };
    for (Case k : {Case{"mine", 600.0f}, Case{"mine/", 600.0f}, Case{"empty", 0.0f}, Case{nullptr, 0.0f}}) {
        ASSERT_TRUE(SiSDKInit(h, 320, 240));
        if (k.dir) {
            ASSERT_TRUE(SiSDKSetConfig(h, k.dir));
        }
        ASSERT_TRUE(SiSDKStart(h));
        ASSERT_TRUE(p.decode(h, capture));
        EXPECT_NEAR(p.depth[0], k.depth, 0.3f) << (k.dir ? k.dir : "no directory: SiSDKInit forgot it");
    }
    SiSDKDestroy(&h);
}

TEST_F(Si4c, CalibrationTableOffsetsEachPixel) {
    const int w = 320, h = 240;
    std::vector<float> table(size_t(w) * h);
    for (size_t i = 0; i < table.size(); ++i) table[i] = 10.0f + float(i % 50);
    const auto capture = sim::buildVgaCapture(w, h, false, flatScene(600));
    Planes p(w, h);

    SiSDKHandle handle = nullptr;
    ASSERT_TRUE(SiSDKCreate(&handle));
    EXPECT_FALSE(SiSDKSetCaliData(handle, table.data(), table.size() * 4)) << "before SiSDKInit";
    ASSERT_TRUE(SiSDKInit(handle, w, h));
    EXPECT_FALSE(SiSDKSetCaliData(handle, table.data(), table.size() * 4 - 4)) << "not a whole table";
    EXPECT_FALSE(SiSDKSetCaliData(handle, table.data(), 640 * 480 * 4)) << "another geometry's table";
    EXPECT_FALSE(SiSDKSetCaliData(handle, nullptr, table.size() * 4));
    ASSERT_TRUE(SiSDKStart(handle));
    ASSERT_TRUE(p.decode(handle, capture));
    EXPECT_NEAR(p.depth[7], 600.0f, 0.3f) << "ignored tables change nothing";

    ASSERT_TRUE(SiSDKInit(handle, w, h));
    std::vector<float> copy = table;
    copy[3] = std::numeric_limits<float>::quiet_NaN();
    copy[4] = 700.0f;  // takes the pixel below ValidDistMin
    ASSERT_TRUE(SiSDKSetCaliData(handle, copy.data(), copy.size() * 4));
    std::fill(copy.begin(), copy.end(), 0.0f);  // the library keeps its own copy
    ASSERT_TRUE(SiSDKStart(handle));
    ASSERT_TRUE(p.decode(handle, capture));
    for (size_t i : {size_t(0), size_t(7), size_t(1234), table.size() - 1})
        EXPECT_NEAR(p.depth[i], 600.0f - table[i], 0.3f) << i;
    EXPECT_EQ(p.depth[3], 0.0f) << "a NaN entry marks the pixel invalid";
    EXPECT_EQ(p.confidence[3], 0.0f);
    EXPECT_EQ(p.depth[4], 0.0f);

    ASSERT_TRUE(SiSDKInit(handle, w, h));
    ASSERT_TRUE(SiSDKStart(handle));
    ASSERT_TRUE(p.decode(handle, capture));
    EXPECT_NEAR(p.depth[7], 600.0f, 0.3f) << "a new session starts uncalibrated";
    SiSDKDestroy(&handle);
}
