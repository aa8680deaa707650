#include <gtest/gtest.h>

#include <string>

#include "sensor/Platform.h"
#include "tests/fakes/SimKernel.h"

using namespace Norvane;

namespace {
constexpr const char* kModel = "/sys/firmware/devicetree/base/model";

PlatformType detectWith(const std::string& model) {
    sim::SimKernel k;
    k.addFile(kModel, model);
    ScopedKernel scope(k);
    PlatformType p = detectPlatform();
    EXPECT_EQ(k.openDescriptors(), 0) << "the model file is closed again";
    return p;
}
}  // namespace

TEST(DetectPlatform, BoardModels) {
    // Device-tree model texts end in a NUL byte.
    EXPECT_EQ(detectWith(std::string("NVIDIA Jetson Xavier NX Developer Kit") + '\0'), PLATFORM_JETSON);
    EXPECT_EQ(detectWith(std::string("NVIDIA Jetson Nano Developer Kit") + '\0'), PLATFORM_JETSON_NANO);
    EXPECT_EQ(detectWith("NVIDIA Jetson TX1"), PLATFORM_JETSON_NANO);
    EXPECT_EQ(detectWith("NVIDIA Jetson AGX Orin"), PLATFORM_JETSON);
    EXPECT_EQ(detectWith("NVIDIA Jetson Orin Nano Developer Kit"), PLATFORM_JETSON_NANO);
    EXPECT_EQ(detectWith("NVIDIA Orin Developer Kit"), PLATFORM_JETSON);
    EXPECT_EQ(detectWith("NVIDIA-Orin"), PLATFORM_UNKNOWN) << "Orin counts only after a blank";
    EXPECT_EQ(detectWith(std::string("Raspberry Pi 5 Model B Rev 1.0") + '\0'), PLATFORM_RASPBERRY_PI_5);
    EXPECT_EQ(detectWith(std::string("Raspberry Pi 4 Model B Rev 1.4") + '\0'), PLATFORM_RASPBERRY_PI);
    EXPECT_EQ(detectWith(std::string("Radxa ROCK 5B") + '\0'), PLATFORM_RADXA_ROCK);
    EXPECT_EQ(detectWith("Radxa ROCK Raspberry"), PLATFORM_RASPBERRY_PI) << "the Raspberry test comes first";
    EXPECT_EQ(detectWith("radxa rock 5b"), PLATFORM_UNKNOWN) << "the tests are case-sensitive";
    EXPECT_EQ(detectWith("Some x86 board"), PLATFORM_UNKNOWN);
}

TEST(DetectPlatform, MissingOrEmptyModel) {
    {
        sim::SimKernel k;
        ScopedKernel scope(k);
        EXPECT_EQ(detectPlatform(), PLATFORM_UNKNOWN);
    }
    EXPECT_EQ(detectWith(""), PLATFORM_UNKNOWN);
    sim::SimKernel k;
    k.addFile(kModel, "Raspberry Pi 4")->readErrno = EIO;
    ScopedKernel scope(k);
    EXPECT_EQ(detectPlatform(), PLATFORM_UNKNOWN);
}

TEST(DetectPlatform, TextEndsAtNulAndFirstLine) {
    EXPECT_EQ(detectWith(std::string("Some board") + '\0' + "Raspberry Pi 5"), PLATFORM_UNKNOWN);
    EXPECT_EQ(detectWith("Some board\nRaspberry Pi 5"), PLATFORM_UNKNOWN);
}

TEST(DetectPlatform, OnlyTheFirst99CharactersCount) {
    std::string pad98(98, 'x');
    // "Jetson" starting at 93 ends at 98: still inside the 99 characters.
    EXPECT_EQ(detectWith(std::string(93, 'x') + "Jetson"), PLATFORM_JETSON);
    // One character later its last letter falls beyond the 99th.
    EXPECT_EQ(detectWith(std::string(94, 'x') + "Jetson"), PLATFORM_UNKNOWN);
    EXPECT_EQ(detectWith(pad98 + "Raspberry"), PLATFORM_UNKNOWN);
}

TEST(DetectPlatform, ShortReadsStillReadTheWholeLine) {
    sim::SimKernel k;
    k.addFile(kModel, "Raspberry Pi 5 Model B")->maxReadChunk = 1;
    ScopedKernel scope(k);
    EXPECT_EQ(detectPlatform(), PLATFORM_RASPBERRY_PI_5);
}
