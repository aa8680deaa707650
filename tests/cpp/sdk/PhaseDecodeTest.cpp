// The arithmetic underneath the phase-processing library: the phase angle,
// dual-frequency unwrapping and the configuration parser.
#include <gtest/gtest.h>

#include <cmath>

#include "sdk/VgaCaptureLayout.h"
#include "sdk/si4c/AlgorithmConfig.h"
#include "sdk/si4c/PhaseDecode.h"
#include "tests/fakes/WorkDir.h"

using namespace Norvane;

namespace {

const double kTwoPi = 2.0 * std::acos(-1.0);

double reference(double y, double x) {
    double a = std::atan2(y, x);
    return a < 0 ? a + kTwoPi : a;
}

// Distance between two angles on the circle.
double circular(double a, double b) {
    double d = std::fabs(a - b);
    return std::min(d, kTwoPi - d);
}

}  // namespace

TEST(PhaseAngle, AgreesWithAtan2OverTheWholeSampleRange) {
    double worst = 0.0;
    for (int y = -4095; y <= 4095; y += 3) {
        for (int x = -4095; x <= 4095; x += 5) {
            float a = si4c::phaseAngle(float(y), float(x));
            ASSERT_GE(a, 0.0f) << y << " " << x;
            ASSERT_LT(a, float(kTwoPi)) << y << " " << x;
            if (x == 0 && y == 0) continue;
            worst = std::max(worst, circular(a, reference(y, x)));
        }
    }
    EXPECT_LT(worst, 3e-6);
}

TEST(PhaseAngle, AxesQuadrantsAndOrigin) {
    const float pi = float(kTwoPi / 2);
    EXPECT_EQ(si4c::phaseAngle(0.0f, 0.0f), 0.0f);
    EXPECT_NEAR(si4c::phaseAngle(0.0f, 100.0f), 0.0f, 1e-6f);
    EXPECT_NEAR(si4c::phaseAngle(100.0f, 0.0f), pi / 2, 1e-6f);
    EXPECT_NEAR(si4c::phaseAngle(0.0f, -100.0f), pi, 1e-6f);
    EXPECT_NEAR(si4c::phaseAngle(-100.0f, 0.0f), 3 * pi / 2, 1e-6f) << "negative angles move into [0, 2 pi)";
    EXPECT_NEAR(si4c::phaseAngle(-1.0f, 4095.0f), float(reference(-1, 4095)), 1e-6f);
    EXPECT_NEAR(si4c::phaseAngle(1e-9f, -1.0f), pi, 1e-6f);
    EXPECT_EQ(si4c::phaseAngle(-1e-9f, 1.0f), 0.0f) << "2 pi - tiny rounds to 2 pi, which is 0";
}

TEST(UnwrapDual, RecoversEveryDistanceOfTheCombinedRange) {
    const double r0 = vga::kDualRangeMm[0], r1 = vga::kDualRangeMm[1];
    for (double d = 0.0; d < vga::kDualCombinedRangeMm; d += 0.37) {
        float agreement = -1.0f;
        float u = si4c::unwrapDual(float(std::fmod(d, r0)), float(std::fmod(d, r1)), &agreement);
        ASSERT_NEAR(u, d, 0.01) << d;
        ASSERT_NEAR(agreement, 1.0f, 1e-3f) << d;
    }
}

TEST(UnwrapDual, NoiseAndTheWrapAtTheEndOfTheRange) {
    const double r0 = vga::kDualRangeMm[0], r1 = vga::kDualRangeMm[1];
    // Each frequency off by up to 100 mm, in opposite directions: still
    // the right candidate, with lower agreement.
    for (double d = 50.0; d < 4450.0; d += 13.0) {
        float agreement;
        float u = si4c::unwrapDual(float(std::fmod(d + 100.0, r0)), float(std::fmod(d - 100.0 + r1, r1)), &agreement);
        // Fused with weights 1/r^2: +100 * w0 - 100 * w1.
        const double w1 = r0 * r0 / (r0 * r0 + r1 * r1);
        ASSERT_NEAR(u, d + 100.0 * (1 - w1) - 100.0 * w1, 0.05) << d;
        ASSERT_NEAR(agreement, 1.0 - 200.0 / 375.0, 1e-3) << d;
    }
    // Near 4500 the fused distance stays in [0, 4500) whichever frequency
    // has wrapped: 0.1 and 2249.5 are 4500.1 and 4499.5, fused 4499.92.
    float agreement;
    const double w1 = r0 * r0 / (r0 * r0 + r1 * r1);
    EXPECT_NEAR(si4c::unwrapDual(float(r0) - 0.1f, float(r1) - 0.3f, &agreement), 4499.9 - 0.2 * w1, 1e-3);
    EXPECT_NEAR(si4c::unwrapDual(0.1f, float(r1) - 0.5f, &agreement), 4500.1 - 0.6 * w1, 1e-3);
    EXPECT_NEAR(si4c::unwrapDual(float(r0) - 0.2f, 0.2f, &agreement), 4499.8 + 0.4 * w1, 1e-3);
    EXPECT_NEAR(si4c::unwrapDual(0.3f, 0.1f, &agreement), 0.3 - 0.2 * w1, 1e-3);
    // The worst disagreement gives agreement 0.
    si4c::unwrapDual(0.0f, 375.0f, &agreement);
    EXPECT_NEAR(agreement, 0.0f, 1e-4f);
}

TEST(AlgorithmConfig, DefaultTextAndItsVariants) {
    si4c::AlgorithmConfig c;
    si4c::parseAlgorithmConfig(
        "[DenoisingParams]\nTDenoiseLevel_Depth=3\n\n[ConfidenceParams]\nValidDistMin=0\n"
        "ValidDistMax=7000\n",
        c);
    EXPECT_EQ(c.validDistMin, 0.0f);
    EXPECT_EQ(c.validDistMax, 7000.0f);

    si4c::parseAlgorithmConfig(
        "// limits\r\n[ConfidenceParams]\r\nValidDistMin = 250.5\r\nValidDistMax=3000\r\n[Other]\r\nValidDistMax=1\r\n",
        c);
    EXPECT_EQ(c.validDistMin, 250.5f) << "CRLF endings and blanks around '='";
    EXPECT_EQ(c.validDistMax, 3000.0f) << "keys of other sections do not count";

    si4c::AlgorithmConfig d;
    si4c::parseAlgorithmConfig(
        "ValidDistMin=5\n[ConfidenceParams]\nValidDistMin=abc\nValidDistMax=1e99\n"
        "ValidDistMax=\n//ValidDistMin=9\nvaliddistmin=8\n[ConfidenceParams\nValidDistMin=7\n",
        d);
    EXPECT_EQ(d.validDistMin, 0.0f) << "outside a section, bad numbers, comments, other case, broken header";
    EXPECT_EQ(d.validDistMax, 7000.0f) << "not finite as a float";
}

TEST(AlgorithmConfig, ReadsFilesAndReportsMissingOnes) {
    sim::ScopedWorkDir dir;
    si4c::AlgorithmConfig c;
    EXPECT_FALSE(si4c::readAlgorithmConfig("missing.json", c));
    EXPECT_FALSE(si4c::readAlgorithmConfig(dir.path(), c)) << "a directory";
    sim::writeWholeFile("a.json", "[ConfidenceParams]\nValidDistMax=1234");
    EXPECT_TRUE(si4c::readAlgorithmConfig("a.json", c));
    EXPECT_EQ(c.validDistMax, 1234.0f) << "the last line needs no line feed";
}
