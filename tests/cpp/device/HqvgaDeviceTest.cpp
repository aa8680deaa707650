#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "device/NorvaneDeviceHQVGA.h"
#include "tests/fakes/ScriptedSensor.h"

using namespace Norvane;

namespace {

constexpr int kW = 240, kH = 180, kPixels = kW * kH;
constexpr size_t kPhaseBytes = size_t(kPixels) * 2;

using Capture = std::vector<uint8_t>;

Capture zeroCapture() { return Capture(kPhaseBytes * 4, 0); }

void put(Capture& cap, int phase, int pixel, uint16_t raw) {
    size_t at = size_t(phase) * kPhaseBytes + size_t(pixel) * 2;
    cap[at] = uint8_t(raw & 0xFF);
    cap[at + 1] = uint8_t(raw >> 8);
}

struct Planes {
    std::vector<float> depth = std::vector<float>(kPixels, -1.0f);
    std::vector<float> amplitude = std::vector<float>(kPixels, -1.0f);
    std::vector<float> confidence = std::vector<float>(kPixels, -1.0f);
};

Planes decode(NorvaneDevice& d, const Capture& cap) {
    Planes p;
    EXPECT_TRUE(d.getPhaseImage(cap.data(), p.depth.data(), p.amplitude.data(), p.confidence.data()));
    return p;
}

// A second, plain implementation of the decode, written from the
// arithmetic's description rather than from the library's code.
int scaled(const Capture& cap, int phase, int pixel, unsigned shift) {
    size_t at = size_t(phase) * kPhaseBytes + size_t(pixel) * 2;
    unsigned u = unsigned(cap[at]) | (unsigned(cap[at + 1]) << 8);
    unsigned low11 = (u >> shift) & 0x7FFu;
    int s = low11 >= 1024 ? int(low11) - 2048 : int(low11);
    return 16 * s;
}

Planes expectedDecode(const Capture& cap, int range, float hz, unsigned shift) {
    Planes p;
    for (int i = 0; i < kPixels; ++i) {
        int s0 = scaled(cap, 0, i, shift), s1 = scaled(cap, 1, i, shift);
        int s2 = scaled(cap, 2, i, shift), s3 = scaled(cap, 3, i, shift);
        int y, x;
        if (range == 2000) {
            y = s1 - s3;
            x = s2 - s0;
        } else {
            y = s2 - s0;
            x = s3 - s1;
        }
        float phi = float(std::atan2(double(y), double(x)));
        if (phi < 0.0f) phi += 6.2831855f;
        p.depth[i] = ((3.0e8f / (hz * 12.566371f)) * phi) * 1000.0f;
        p.amplitude[i] = float(0.5 * std::sqrt(double(x) * double(x) + double(y) * double(y)));
        p.confidence[i] = p.amplitude[i];
    }
    return p;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<int16_t> interleave(NorvaneDevice& d, const Capture& cap) {
    std::vector<int16_t> raw(size_t(kW) * 720);
    EXPECT_TRUE(d.getRawImages(cap.data(), raw.data()));
    return raw;
}

}  // namespace

TEST(HqvgaDevice, WorkedExamples) {
    NorvaneDeviceHQVGA d(PLATFORM_UNKNOWN);
    Capture cap = zeroCapture();
    put(cap, 1, 0, 1);  // pixel 0: S1 = 16, the others 0
    put(cap, 0, 1, 1);  // pixel 1: S0 = 16, the others 0
    ASSERT_EQ(d.setControl(CameraCtrl::RANGE, 2000), NorvaneSuccess);
    Planes shortRange = decode(d, cap);
    EXPECT_FLOAT_EQ(shortRange.depth[0], 500.0f) << "y = 16, x = 0: pi / 2 at 75 MHz";
    EXPECT_EQ(shortRange.amplitude[0], 8.0f);

    ASSERT_EQ(d.setControl(CameraCtrl::RANGE, 4000), NorvaneSuccess);
    Planes longRange = decode(d, cap);
    EXPECT_FLOAT_EQ(longRange.depth[0], 2000.0f) << "y = 0, x = -16: pi at 37.5 MHz";
    // Pixel 1: y = -16, x = 0 is -pi / 2, moved to 3 pi / 2.
    EXPECT_FLOAT_EQ(longRange.depth[1], 3000.0f);
    EXPECT_EQ(longRange.amplitude[1], 8.0f);
}

TEST(HqvgaDevice, AllZeroCaptureGivesZeroPlanes) {
    NorvaneDeviceHQVGA d(PLATFORM_UNKNOWN);
    Planes p = decode(d, zeroCapture());
    std::vector<float> zeros(kPixels, 0.0f);
    EXPECT_TRUE(sameBits(p.depth, zeros));
    EXPECT_TRUE(sameBits(p.amplitude, zeros));
    EXPECT_TRUE(sameBits(p.confidence, zeros));
}

TEST(HqvgaDevice, SampleDecodeAfterTheBoardShift) {
    NorvaneDeviceHQVGA plain(PLATFORM_UNKNOWN);
    NorvaneDeviceHQVGA jetson(PLATFORM_JETSON);
    Capture cap = zeroCapture();
    put(cap, 0, 0, 0x0400);  // bit 10 set
    put(cap, 0, 1, 0xFBFF);  // bits 11 to 15 ignored
    put(cap, 0, 2, 0x4000);
    put(cap, 0, 3, 0x7FF0);
    std::vector<int16_t> a = interleave(plain, cap);
    EXPECT_EQ(a[0], -1024 * 16);
    EXPECT_EQ(a[1], 1023 * 16);
    EXPECT_EQ(a[2], 0) << "0x4000 has no low bits without a shift";
    std::vector<int16_t> b = interleave(jetson, cap);
    EXPECT_EQ(b[2], -1024 * 16) << "0x4000 >> 4 is 0x400";
    EXPECT_EQ(b[3], -16) << "0x7FF0 >> 4 is 0x7FF";
    EXPECT_EQ(b[0], 64 * 16);
    NorvaneDeviceHQVGA nano(PLATFORM_JETSON_NANO);
    EXPECT_EQ(interleave(nano, cap)[2], 0) << "only PLATFORM_JETSON shifts";
}

TEST(HqvgaDevice, RawImageInterleavesThePhasesAndStaysInside) {
    NorvaneDeviceHQVGA d(PLATFORM_UNKNOWN);
    std::mt19937 rng(7);
    Capture cap = zeroCapture();
    for (auto& byte : cap) byte = uint8_t(rng());
    constexpr int16_t kGuard = 0x5A5A;
    std::vector<int16_t> raw(size_t(kW) * 720 + 64, kGuard);
    ASSERT_TRUE(d.getRawImages(cap.data(), raw.data()));
    for (int k = 0; k < 4; ++k) {
        for (int r = 0; r < kH; ++r) {
            for (int c = 0; c < kW; ++c) {
                ASSERT_EQ(raw[size_t(4 * r + k) * kW + c], scaled(cap, k, r * kW + c, 0)) << k << " " << r << " " << c;
            }
        }
    }
    EXPECT_EQ(raw[0], scaled(cap, 0, 0, 0)) << "row 0 is row 0 of P0";
    EXPECT_EQ(raw[size_t(719) * kW + 239], scaled(cap, 3, 179 * kW + 239, 0)) << "row 719 is row 179 of P3";
    for (size_t i = size_t(kW) * 720; i < raw.size(); ++i) ASSERT_EQ(raw[i], kGuard) << "written past the image";
}

TEST(HqvgaDevice, DecodeMatchesAPlainImplementationBitForBit) {
    std::mt19937 rng(20240611);
    for (PlatformType board : {PLATFORM_UNKNOWN, PLATFORM_JETSON}) {
        NorvaneDeviceHQVGA d(board);
        const unsigned shift = board == PLATFORM_JETSON ? 4 : 0;
        for (int range : {2000, 4000}) {
            ASSERT_EQ(d.setControl(CameraCtrl::RANGE, range), NorvaneSuccess);
            const float hz = range == 2000 ? 75000000.0f : 37500000.0f;
            for (int n = 0; n < 6; ++n) {
                Capture cap = zeroCapture();
                for (auto& byte : cap) byte = uint8_t(rng());
                Planes got = decode(d, cap);
                Planes want = expectedDecode(cap, range, hz, shift);
                EXPECT_TRUE(sameBits(got.depth, want.depth)) << "depth, shift " << shift << " range " << range;
                EXPECT_TRUE(sameBits(got.amplitude, want.amplitude)) << "amplitude";
                EXPECT_TRUE(sameBits(got.confidence, got.amplitude)) << "confidence equals amplitude";
            }
        }
    }
}

TEST(HqvgaDevice, RangeControl) {
    NorvaneDeviceHQVGA d(PLATFORM_UNKNOWN);
    int v = 0;
    ASSERT_EQ(d.getControl(CameraCtrl::RANGE, &v), NorvaneSuccess);
    EXPECT_EQ(v, 4000);
    ASSERT_EQ(d.setControl(CameraCtrl::RANGE, 2000), NorvaneSuccess);
    EXPECT_EQ(d.decodeParams().modulationHz, 75000000.0f);
    EXPECT_TRUE(d.decodeParams().shortRange);
    // 3000 once kept 75 MHz with the long-range order: a 3000 mm wall read
    // 1507 mm. Ranges the decode cannot follow are refused, nothing changed.
    for (int refused : {3000, 0, -2000, 1999, 4001, 2, 4}) {
        EXPECT_EQ(d.setControl(CameraCtrl::RANGE, refused), NorvaneInvalidParameter) << refused;
    }
    ASSERT_EQ(d.getControl(CameraCtrl::RANGE, &v), NorvaneSuccess);
    EXPECT_EQ(v, 2000);
    EXPECT_EQ(d.decodeParams().modulationHz, 75000000.0f);
    EXPECT_TRUE(d.decodeParams().shortRange);
    ASSERT_EQ(d.setControl(CameraCtrl::RANGE, 4000), NorvaneSuccess);
    EXPECT_EQ(d.decodeParams().modulationHz, 37500000.0f);
    EXPECT_FALSE(d.decodeParams().shortRange);
}

TEST(HqvgaDevice, OtherControlsAndTheFixedInterface) {
    NorvaneDeviceHQVGA d(PLATFORM_UNKNOWN);
    sim::ScriptedSensor s;
    s.setControlValue(CameraCtrl::EXPOSURE, 55);
    s.setControlValue(CameraCtrl::FRAME_RATE, 0, -2);
    EXPECT_EQ(d.init(&s, HQVGA), NorvaneSuccess);
    int v = 0;
    EXPECT_EQ(d.setControl(CameraCtrl::EXPOSURE, 10), NorvaneInvalidParameter);
    EXPECT_EQ(d.getControl(CameraCtrl::EXPOSURE, &v), NorvaneSuccess);
    EXPECT_EQ(v, 55);
    EXPECT_EQ(d.getControl(CameraCtrl::FRAME_RATE, &v), -2) << "the sensor's result";
    EXPECT_EQ(d.getControl(CameraCtrl::MODE, &v), 1);
    EXPECT_TRUE(s.setControlCalls().empty()) << "nothing reaches the sensor's setControl";
    EXPECT_EQ(d.setControl(CameraCtrl::FRAME_RATE, 10), NorvaneInvalidParameter);
    EXPECT_EQ(d.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/tmp"), NorvaneInvalidParameter);
    const char* text = nullptr;
    EXPECT_EQ(d.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), NorvaneInvalidParameter);
    EXPECT_EQ(d.deviceType(), 1);
    EXPECT_EQ(d.prepare(), 0);
    EXPECT_EQ(d.start(), 0);
    EXPECT_EQ(d.stop(), 0);
    EXPECT_EQ(d.close(), 0);
    FrameSize raw{}, depth{};
    d.getFrameFormat(raw, depth);
    EXPECT_EQ(raw.kind, 2);
    EXPECT_EQ(raw.width, 240);
    EXPECT_EQ(raw.height, 720);
    EXPECT_EQ(depth.kind, 2);
    EXPECT_EQ(depth.width, 240);
    EXPECT_EQ(depth.height, 180);
}

TEST(HqvgaDevice, TheSensorModulatesAtTheDecodedFrequency) {
    // The range reaches the sensor first; the decode follows only what the
    // sensor took, so the captures it delivers match the decode.
    NorvaneDeviceHQVGA d(PLATFORM_UNKNOWN);
    sim::ScriptedSensor s;
    ASSERT_EQ(d.init(&s, HQVGA), NorvaneSuccess);
    EXPECT_EQ(d.setControl(CameraCtrl::RANGE, 2000), NorvaneSuccess);
    EXPECT_EQ(d.setControl(CameraCtrl::RANGE, 3000), NorvaneInvalidParameter);
    EXPECT_EQ(d.setControl(CameraCtrl::RANGE, 4000), NorvaneSuccess);
    using Call = std::pair<int, int>;
    EXPECT_EQ(s.setControlCalls(), (std::vector<Call>{{0, 2000}, {0, 4000}}));
    // A refusal or an error of the sensor is reported and changes nothing.
    for (int result : {1, -2, 4}) {
        s.setControlResult(CameraCtrl::RANGE, result);
        EXPECT_EQ(d.setControl(CameraCtrl::RANGE, 2000), result);
        int v = 0;
        ASSERT_EQ(d.getControl(CameraCtrl::RANGE, &v), NorvaneSuccess);
        EXPECT_EQ(v, 4000) << result;
        EXPECT_EQ(d.decodeParams().modulationHz, 37500000.0f) << result;
    }
}

TEST(HqvgaDevice, PlainTwelveBitTransportsAreNotShifted) {
    NorvaneDeviceHQVGA usbOnJetson(PLATFORM_JETSON, false);
    Capture cap = zeroCapture();
    put(cap, 0, 0, 0x0400);
    EXPECT_EQ(interleave(usbOnJetson, cap)[0], -1024 * 16);
    EXPECT_EQ(usbOnJetson.decodeParams().shift, 0u);
}
