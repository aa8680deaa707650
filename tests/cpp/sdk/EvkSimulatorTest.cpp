// The simulated evaluation kit: what it renders and how it streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "device/HqvgaKernel.h"
#include "sdk/VgaCaptureLayout.h"
#include "sdk/evk/EvkScene.h"
#include "sdk/evk/norvane_evk_sdk.h"
#include "sensor/usb/NorvaneTOFUSBSensor.h"
#include "tests/cpp/sdk/EvkTestSupport.h"

using namespace Norvane;
using evktest::Kit;

namespace {

using Clock = std::chrono::steady_clock;

constexpr hqvga::DecodeParams kLong = {hqvga::kLongRangeHz, false, 0};
constexpr hqvga::DecodeParams kShort = {hqvga::kShortRangeHz, true, 0};

void writeRangeSet(EvkHandle h, bool shortRange) {
    // The transport's register sets for RANGE 2000 and 4000.
    const uint32_t set[2][4] = {{0x10, 0x0E, 0x16, 0x1E}, {0x08, 0x0A, 0x0E, 0x12}};
    const uint32_t regs[4] = {0x216C, 0x2179, 0x217A, 0x217B};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(NorvaneWriteSensorReg(h, regs[i], set[shortRange][i]), 0);
}

struct Planes {
    std::vector<float> depth = std::vector<float>(hqvga::kPixels);
    std::vector<float> amplitude = std::vector<float>(hqvga::kPixels);
    std::vector<float> confidence = std::vector<float>(hqvga::kPixels);
};

Planes decode(const std::vector<uint8_t>& capture, const hqvga::DecodeParams& p) {
    Planes out;
    hqvga::decodeDepth(capture.data(), p, out.depth.data(), out.amplitude.data(), out.confidence.data());
    return out;
}

double truth(evk::SceneKind scene, int width, int height, int pixel) {
    return evk::tracePixel(scene, width, height, pixel % width, pixel / width).distanceMm;
}

// Largest decode error over the pixels whose true distance lies inside the
// range (away from its ends); `compared` counts them.
double worstError(const Planes& p, evk::SceneKind scene, double rangeMm, int* compared) {
    double worst = 0.0;
    *compared = 0;
    for (int i = 0; i < hqvga::kPixels; ++i) {
        double d = truth(scene, hqvga::kWidth, hqvga::kHeight, i);
        if (d < 5.0 || d > rangeMm - 5.0) continue;
        ++*compared;
        worst = std::max(worst, std::fabs(p.depth[i] - d));
    }
    return worst;
}

TEST(EvkSimulator, DefaultsWithoutAFile) {
    Kit kit;
    ASSERT_EQ(kit.openResult, 0);
    EXPECT_EQ(kit.config.width, 240u);
    EXPECT_EQ(kit.config.height, 180u);
    EXPECT_EQ(kit.config.bit_width, 12);
    EXPECT_STRNE(kit.config.model, "");
}

TEST(EvkSimulator, NoiseFreeCaptureDecodesToTheSceneDistances) {
    Kit kit("noise = 0\nfps = 0\n");
    std::vector<uint8_t> capture;
    ASSERT_TRUE(kit.capture(4, capture));
    Planes p = decode(capture, kLong);
    int compared = 0;
    EXPECT_LT(worstError(p, evk::SceneKind::Room, 4000.0, &compared), 1.0);
    EXPECT_EQ(compared, hqvga::kPixels) << "the whole room lies inside the long range";

    // Independent landmarks: the centre pixel sees the back wall 3000 mm
    // away; the pixel towards the ball's centre sees its near surface.
    const int centre = (hqvga::kHeight / 2) * hqvga::kWidth + hqvga::kWidth / 2;
    EXPECT_NEAR(p.depth[centre], 3000.0, 2.0);
    const double focal = 120.0 / std::tan(35.0 * M_PI / 180.0);
    const int ballCol = int(120.0 + focal * -500.0 / 1400.0), ballRow = int(90.0 + focal * 300.0 / 1400.0);
    EXPECT_NEAR(p.depth[ballRow * hqvga::kWidth + ballCol], std::sqrt(500.0 * 500 + 300 * 300 + 1400 * 1400) - 350.0,
                15.0);
    EXPECT_GT(p.amplitude[ballRow * hqvga::kWidth + ballCol], 2.0 * p.amplitude[centre])
        << "amplitude falls with distance";
    EXPECT_EQ(p.amplitude, p.confidence);

    // The short range set: the same scene at 75 MHz, inside 2000 mm.
    writeRangeSet(kit.handle, true);
    ASSERT_TRUE(kit.capture(4, capture));
    p = decode(capture, kShort);
    EXPECT_LT(worstError(p, evk::SceneKind::Room, 2000.0, &compared), 1.0);
    EXPECT_GT(compared, 3000) << "the ball, the box and the near floor";
    EXPECT_NEAR(p.depth[centre], 1000.0, 2.0) << "the back wall wraps around";

    writeRangeSet(kit.handle, false);
    ASSERT_TRUE(kit.capture(4, capture));
    EXPECT_NEAR(decode(capture, kLong).depth[centre], 3000.0, 2.0);
}

TEST(EvkSimulator, WallSceneLiesInsideBothRanges) {
    Kit kit("scene = wall   # one flat wall\nnoise = 0\nfps = 0\n");
    std::vector<uint8_t> capture;
    writeRangeSet(kit.handle, true);
    ASSERT_TRUE(kit.capture(4, capture));
    int compared = 0;
    EXPECT_LT(worstError(decode(capture, kShort), evk::SceneKind::Wall, 2000.0, &compared), 1.0);
    EXPECT_EQ(compared, hqvga::kPixels);
}

TEST(EvkSimulator, UnknownRegisterValuesKeepTheModulation) {
    Kit kit("noise = 0\nfps = 0\n");
    std::vector<uint8_t> reference, capture;
    ASSERT_TRUE(kit.capture(4, reference));
    EXPECT_EQ(NorvaneWriteSensorReg(kit.handle, 0x216C, 0x0C), 0);
    EXPECT_EQ(NorvaneWriteSensorReg(kit.handle, 0x1234, 0x55), 0);
    ASSERT_TRUE(kit.capture(4, capture));
    EXPECT_EQ(capture, reference);
    EXPECT_EQ(NorvaneWriteSensorReg(kit.handle, 0x10000, 1), NORVANE_EVK_INVALID_ARGUMENT);
}

TEST(EvkSimulator, NoiseAndSeeds) {
    std::vector<uint8_t> a, b;
    {
        Kit kit("noise = 0\nfps = 0\n");
        ASSERT_TRUE(kit.capture(4, a));
        ASSERT_TRUE(kit.capture(4, b));
        EXPECT_EQ(a, b) << "noise-free captures are identical";
    }
    std::vector<uint8_t> first, second;
    {
        Kit kit("fps = 0\nseed = 7\n");
        ASSERT_TRUE(kit.capture(4, first));
        ASSERT_TRUE(kit.capture(4, second));
        EXPECT_NE(first, second) << "noise makes consecutive captures differ";
        // Noisy, but still the scene: the median error is a few centimetres.
        Planes p = decode(first, kLong);
        std::vector<double> errors;
        for (int i = 0; i < hqvga::kPixels; ++i)
            errors.push_back(std::fabs(p.depth[i] - truth(evk::SceneKind::Room, 240, 180, i)));
        std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
        EXPECT_GT(errors[errors.size() / 2], 0.5);
        EXPECT_LT(errors[errors.size() / 2], 60.0);
    }
    {
        Kit same("fps = 0\nseed = 7\n"), other("fps = 0\nseed = 8\n");
        ASSERT_TRUE(same.capture(4, a));
        ASSERT_TRUE(other.capture(4, b));
        EXPECT_EQ(a, first) << "the seed fixes the noise";
        EXPECT_NE(b, first);
    }
}

TEST(EvkSimulator, TimestampsSeparateTheCaptures) {
    for (const char* text : {"fps = 0\nnoise = 0\n", "fps = 50\nnoise = 0\n", "fps = 1000\nnoise = 0\n"}) {
        Kit kit(text);
        std::vector<uint8_t> capture;
        std::vector<uint64_t> ts;
        for (int c = 0; c < 5; ++c) ASSERT_TRUE(kit.capture(4, capture, &ts));
        for (size_t i = 1; i < ts.size(); ++i) {
            if (i % 4 == 0)
                EXPECT_GE(ts[i] - ts[i - 1], 6u) << text << i;
            else
                EXPECT_LT(ts[i] - ts[i - 1], 6u) << text << i;
            EXPECT_GT(ts[i], ts[i - 1]);
        }
    }
}

TEST(EvkSimulator, UnpacedRunsAsFastAsItIsRead) {
    Kit kit("fps = 0\nnoise = 0\n");
    std::vector<uint8_t> capture;
    auto t0 = Clock::now();
    for (int c = 0; c < 60; ++c) ASSERT_TRUE(kit.capture(4, capture));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.0) << "60 captures, 2 s at 30 per second";
}

TEST(EvkSimulator, PacedAtThirtyCapturesPerSecond) {
    Kit kit;  // the default: 30 captures per second, with noise
    std::vector<uint8_t> capture;
    ASSERT_TRUE(kit.capture(4, capture));
    const auto t0 = Clock::now();
    int captures = 0;
    while (std::chrono::duration<double>(Clock::now() - t0).count() < 3.0) {
        ASSERT_TRUE(kit.capture(4, capture));
        ++captures;
    }
    EXPECT_GE(captures, 81);
    EXPECT_LE(captures, 99);
}

TEST(EvkSimulator, CaptureHonoursItsTimeout) {
    Kit kit("fps = 0.5\nnoise = 0\n", false);
    EvkFrame f;
    EXPECT_EQ(NorvaneCaptureImage(kit.handle, &f, 1000), NORVANE_EVK_NOT_STARTED) << "before start: at once";
    ASSERT_EQ(NorvaneStartCamera(kit.handle), 0);
    std::vector<uint8_t> capture;
    ASSERT_TRUE(kit.capture(4, capture)) << "the first capture is due at start";
    auto t0 = Clock::now();
    EXPECT_EQ(NorvaneCaptureImage(kit.handle, &f, 150), NORVANE_EVK_TIMEOUT);
    double waited = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GE(waited, 0.14);
    EXPECT_LT(waited, 1.5);
    t0 = Clock::now();
    EXPECT_EQ(NorvaneCaptureImage(kit.handle, &f, 0), NORVANE_EVK_TIMEOUT);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 0.5);
    EXPECT_EQ(NorvaneStopCamera(kit.handle), 0);
    EXPECT_EQ(NorvaneCaptureImage(kit.handle, &f, 1000), NORVANE_EVK_NOT_STARTED);
}

TEST(EvkSimulator, FrameBuffersAreLentAndReturned) {
    Kit kit("fps = 0\nnoise = 0\n");
    EvkFrame held[3];
    for (EvkFrame& f : held) ASSERT_EQ(NorvaneCaptureImage(kit.handle, &f, 0), 0);
    EvkFrame extra;
    EXPECT_EQ(NorvaneCaptureImage(kit.handle, &extra, 0), NORVANE_EVK_NO_BUFFER);
    EXPECT_EQ(NorvaneFreeImage(kit.handle, held[1]), 0);
    EXPECT_EQ(NorvaneFreeImage(kit.handle, held[1]), NORVANE_EVK_INVALID_ARGUMENT) << "freed twice";
    EvkFrame forged = held[0];
    forged.data = held[2].data;
    EXPECT_EQ(NorvaneFreeImage(kit.handle, forged), NORVANE_EVK_INVALID_ARGUMENT);
    EvkFrame zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(NorvaneFreeImage(kit.handle, zero), NORVANE_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(NorvaneCaptureImage(kit.handle, &extra, 0), 0);
    EXPECT_EQ(NorvaneFreeImage(kit.handle, held[0]), 0);
    EXPECT_EQ(NorvaneFreeImage(kit.handle, held[2]), 0);
    EXPECT_EQ(NorvaneFreeImage(kit.handle, extra), 0);
}

// The VGA capture layout decoded by the phase convention of its header.
void checkVga(const std::string& text, int width, int height, bool dual) {
    SCOPED_TRACE(text);
    Kit kit(text);
    ASSERT_EQ(kit.openResult, 0);
    EXPECT_EQ(kit.config.width, uint32_t(width));
    EXPECT_EQ(kit.config.height, uint32_t(vga::captureRows(height, dual)));
    EXPECT_EQ(kit.frameBytes(), vga::captureBytes(width, height, dual));
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> ts;
    ASSERT_TRUE(kit.capture(1, bytes, &ts));
    ASSERT_TRUE(kit.capture(1, bytes, &ts));
    EXPECT_GE(ts[1] - ts[0], 6u);
    std::vector<uint16_t> s(bytes.size() / 2);
    std::memcpy(s.data(), bytes.data(), bytes.size());

    const int subFrames = vga::kSubFramesPerFrequency * vga::frequencies(dual);
    for (int j = 0; j < subFrames; ++j) {
        const uint16_t* meta = &s[vga::rowOffset(width, height, j, 0)];
        EXPECT_EQ(meta[vga::kMetaSubFrame], j);
        EXPECT_EQ(meta[vga::kMetaFrequency], j / vga::kSubFramesPerFrequency);
        EXPECT_EQ(meta[vga::kMetaPhase], j % vga::kSubFramesPerFrequency);
        EXPECT_EQ(meta[vga::kMetaCounter], 1) << "the second capture";
        EXPECT_EQ(meta[vga::kMetaCounter + 1], 0);
    }
    for (uint16_t v : s) ASSERT_LE(v, vga::kSampleMax);

    for (int f = 0; f < vga::frequencies(dual); ++f) {
        const double range = vga::rangeMm(dual, f);
        double worst = 0.0;
        int compared = 0;
        for (int r = 0; r < height; ++r) {
            for (int c = 0; c < width; ++c) {
                auto P = [&](int k) {
                    return double(s[vga::rowOffset(width, height, f * vga::kSubFramesPerFrequency + k, 1 + r) + c]);
                };
                double phi = std::atan2(P(1) - P(3), P(0) - P(2));
                if (phi < 0) phi += 2 * M_PI;
                double d = std::fmod(evk::tracePixel(evk::SceneKind::Room, width, height, c, r).distanceMm, range);
                if (d < 5.0 || d > range - 5.0) continue;
                ++compared;
                worst = std::max(worst, std::fabs(phi / (2 * M_PI) * range - d));
                ASSERT_NEAR(P(vga::kGreyPhaseIndex), (P(0) + P(1) + P(2) + P(3)) / 4.0, 1.0)
                    << "the grey sub-frame holds the mean intensity";
            }
        }
        EXPECT_GT(compared, width * height * 9 / 10);
        EXPECT_LT(worst, 1.0) << "frequency " << f;
    }
}

// Whether `depth` lies more than max(50 mm, 3 %) from the true distance of
// every pixel of the 3 x 3 window around pixel (c, r).
bool betweenSurfaces(const evk::SceneTruth& t, float depth, int c, int r) {
    for (int y = std::max(r - 1, 0); y <= std::min(r + 1, t.height - 1); ++y) {
        for (int x = std::max(c - 1, 0); x <= std::min(c + 1, t.width - 1); ++x) {
            const double d = t.distanceMm[size_t(y) * t.width + x];
            if (std::fabs(depth - d) <= std::max(50.0, 0.03 * d)) return false;
        }
    }
    return true;
}

TEST(EvkSimulator, MixedPixelsBlendTheSurfacesOfTheirFootprint) {
    const evk::SceneTruth t = evk::traceTruth(evk::SceneKind::Room, hqvga::kWidth, hqvga::kHeight);
    std::vector<uint8_t> capture;
    Kit centre("noise = 0\nfps = 0\n"), mixed("noise = 0\nfps = 0\nmixed_pixels = 1\n");
    ASSERT_TRUE(centre.capture(4, capture));
    const Planes c = decode(capture, kLong);
    ASSERT_TRUE(mixed.capture(4, capture));
    const Planes m = decode(capture, kLong);
    const float centreFloor = *std::min_element(c.amplitude.begin(), c.amplitude.end());

    int edges = 0, between = 0, dimEdges = 0, dimSmooth = 0;
    double worstSmooth = 0.0;
    for (int i = 0; i < hqvga::kPixels; ++i) {
        const int col = i % hqvga::kWidth, row = i / hqvga::kWidth;
        EXPECT_FALSE(betweenSurfaces(t, c.depth[i], col, row)) << "centre rays see one surface: " << col << "," << row;
        if (t.edgeDistance[i] == 0) {
            ++edges;
            between += betweenSurfaces(t, m.depth[i], col, row);
            dimEdges += m.amplitude[i] < 0.5f * centreFloor;
        } else if (t.edgeDistance[i] >= 3) {
            worstSmooth = std::max(worstSmooth, std::fabs(double(m.depth[i]) - t.distanceMm[i]));
            dimSmooth += m.amplitude[i] < centreFloor;
        }
    }
    EXPECT_LT(worstSmooth, 10.0) << "a smooth footprint reads about its centre's distance";
    EXPECT_GT(between, edges / 4) << "edge pixels read depths between the surfaces they mix";
    EXPECT_GT(dimEdges, 20) << "opposing phases cancel at the edges";
    EXPECT_GT(dimSmooth, 100) << "far grazing surfaces fall below the centre-ray floor";
}

TEST(EvkScene, TruthMarksDepthJumpsNotCreases) {
    const evk::SceneTruth room = evk::traceTruth(evk::SceneKind::Room, hqvga::kWidth, hqvga::kHeight);
    const evk::SceneTruth wall = evk::traceTruth(evk::SceneKind::Wall, hqvga::kWidth, hqvga::kHeight);
    struct Case {
        const evk::SceneTruth& truth;
        evk::SceneKind scene;
        const char* what;
    } cases[] = {{room, evk::SceneKind::Room, "room"}, {wall, evk::SceneKind::Wall, "wall"}};
    for (const Case& k : cases) {
        const evk::SceneTruth& t = k.truth;
        ASSERT_EQ(t.distanceMm.size(), size_t(hqvga::kPixels));
        int edges = 0;
        for (int i = 0; i < hqvga::kPixels; ++i) {
            EXPECT_EQ(t.distanceMm[i], float(truth(k.scene, hqvga::kWidth, hqvga::kHeight, i))) << k.what;
            edges += t.edgeDistance[i] == 0;
            // A jump between centre rays lies in one of the two footprints
            // or on their border.
            if (i % hqvga::kWidth + 1 < hqvga::kWidth && std::fabs(t.distanceMm[i] - t.distanceMm[i + 1]) > 300.0) {
                EXPECT_EQ(std::min(t.edgeDistance[i], t.edgeDistance[i + 1]), 0) << k.what << " pixel " << i;
            }
            // The distance to an edge grows by one pixel at a time.
            if (i + hqvga::kWidth < hqvga::kPixels && t.edgeDistance[i] < 255 && t.edgeDistance[i + hqvga::kWidth] < 255) {
                EXPECT_LE(std::abs(t.edgeDistance[i] - t.edgeDistance[i + hqvga::kWidth]), 1) << k.what << " " << i;
            }
        }
        if (k.scene == evk::SceneKind::Wall) {
            EXPECT_EQ(edges, 0) << "one flat wall has no edge";
        } else {
            EXPECT_GT(edges, 300) << "the ball's and the box's outlines";
        }
    }
    // The floor meets the back wall in a crease, not a jump: the pixel below
    // the centre where they meet is far from any edge.
    EXPECT_GE(room.edgeDistance[141 * hqvga::kWidth + 120], 3);
}

TEST(EvkSimulator, VgaCaptureLayout) {
    checkVga("geometry = vga\nnoise = 0\nfps = 0\n", 640, 480, false);
    checkVga("geometry = vga\nfrequency = dual\nwidth = 320\nheight = 240\nnoise = 0\nfps = 0\n", 320, 240, true);
}

TEST(EvkSimulator, VgaNoiseSparesTheMetadata) {
    Kit kit("geometry = vga\nwidth = 320\nheight = 240\nfps = 0\n");
    std::vector<uint8_t> a, b;
    ASSERT_TRUE(kit.capture(1, a));
    ASSERT_TRUE(kit.capture(1, b));
    EXPECT_NE(a, b);
    const size_t rowBytes = 320 * 2, subFrameBytes = rowBytes * 241;
    for (int j = 0; j < 5; ++j) {
        EXPECT_EQ(std::memcmp(&a[j * subFrameBytes], &b[j * subFrameBytes], vga::kMetaCounter * 2), 0);
        EXPECT_EQ(a[j * subFrameBytes + 2 * vga::kMetaCounter] + 1, b[j * subFrameBytes + 2 * vga::kMetaCounter]);
    }
}

// Through the USB transport: four frames per capture land back to back in
// the layout the HQVGA decode reads.
TEST(EvkSimulator, TransportDeliversDecodableCaptures) {
    std::string path = evktest::writeFile("transport.conf", "noise = 0\nfps = 0\n");
    NorvaneTOFUSBSensor sensor(path, 0);
    sensor.framesPerCapture = 4;
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(info.bpp, 2u);
    ASSERT_EQ(sensor.start(), 0);
    std::vector<uint8_t> capture(hqvga::kCaptureBytes);
    int64_t ts = -1, previous = -1;
    for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(sensor.getFrame(capture.data(), &ts), 0);
        EXPECT_GT(ts, previous);
        previous = ts;
    }
    int compared = 0;
    EXPECT_LT(worstError(decode(capture, kLong), evk::SceneKind::Room, 4000.0, &compared), 1.0);

    ASSERT_EQ(sensor.setControl(int(CameraCtrl::RANGE), 2000), 0);
    ASSERT_EQ(sensor.getFrame(capture.data(), &ts), 0);
    EXPECT_LT(worstError(decode(capture, kShort), evk::SceneKind::Room, 2000.0, &compared), 1.0);
    sensor.stop();
    sensor.close();
}

}  // namespace
