// The whole stack on the simulated kit under load: the stress harness on a
// noise-free kit, whose every capture decodes to the same planes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/NorvaneTOFCamera.h"
#include "device/HqvgaKernel.h"
#include "tests/cpp/core/CameraRig.h"
#include "tests/cpp/core/StressRig.h"
#include "tests/cpp/sdk/EvkTestSupport.h"

using namespace Norvane;
using namespace Norvane::stress;

TEST(StressKit, ConsumersControlsAndRestarts) {
    // Noise-free: every capture of the kit decodes to the same planes.
    const std::string path = evktest::writeFile("stress-kit.conf", "noise = 0\nfps = 400\n");
    auto cam = Norvane::testing::makeCamera();
    ASSERT_EQ(cam->openWithFile(path.c_str(), 0), NorvaneSuccess);

    // The planes of one frame of each kind, taken before the stress begins.
    std::vector<float> depth;
    std::vector<int16_t> raw;
    for (FrameType t : {FrameType::DEPTH, FrameType::RAW}) {
        ASSERT_EQ(cam->start(t), NorvaneSuccess);
        NorvaneFrameBuffer* f = cam->requestFrame(5000);
        ASSERT_NE(f, nullptr);
        if (t == FrameType::DEPTH) {
            const float* d = static_cast<const float*>(f->getData(FrameType::DEPTH));
            depth.assign(d, d + hqvga::kPixels);
        } else {
            const int16_t* d = static_cast<const int16_t*>(f->getData(FrameType::RAW));
            raw.assign(d, d + size_t(hqvga::kPixels) * hqvga::kPhases);
        }
        ASSERT_EQ(cam->releaseFrame(f), NorvaneSuccess);
        ASSERT_EQ(cam->stop(), NorvaneSuccess);
    }
    Verifier sameAsBefore = [&](NorvaneFrameBuffer* f, uint64_t* stamp) {
        FrameDataFormat fmt{};
        if (f->getFormat(FrameType::DEPTH, fmt) == 0) {
            *stamp = fmt.timestamp;
            const void* d = f->getData(FrameType::DEPTH);
            return fmt.width == uint32_t(hqvga::kWidth) && fmt.height == uint32_t(hqvga::kHeight) &&
                   std::memcmp(d, depth.data(), depth.size() * sizeof(float)) == 0;
        }
        if (f->getFormat(FrameType::RAW, fmt) != 0) return false;
        *stamp = fmt.timestamp;
        return std::memcmp(f->getData(FrameType::RAW), raw.data(), raw.size() * sizeof(int16_t)) == 0;
    };

    Tally tally;
    int cycles = 0;
    std::mt19937 rng(11);
    runConsumers(*cam, sameAsBefore, tally, [&] {
        lifecycle(
            *cam, milliseconds(2000), rng, [&](std::mt19937& g) { commonControl(*cam, g); }, &cycles);
    });
    EXPECT_EQ(tally.damaged.load(), 0);
    EXPECT_EQ(tally.disordered.load(), 0);
    EXPECT_GT(tally.received.load(), 10);
    EXPECT_GT(cycles, 2);
    EXPECT_EQ(cam->close(), NorvaneSuccess);
}
