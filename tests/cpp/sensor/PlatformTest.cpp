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
    EXPECT_EQ(detectWith("NVIDIA Jetson Orin Nano Developer Kit"), PLATFORM_JETSON) << "a tegra234, not a Nano";
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

// What decides the capture path wins over the marketing name: the receiver
// registered (its media device's model, else its driver), then the SoC in
// the compatible list; the model text is the last resort.
TEST(DetectPlatform, ReceiverAndSocBeforeTheModelText) {
    const std::string bcm2712 = std::string("raspberrypi,5-compute-module") + '\0' + "brcm,bcm2712" + '\0';
    const std::string tegra234 = std::string("nvidia,p3768-0000+p3767-0005") + '\0' + "nvidia,tegra234" + '\0';
    const std::string tegra210 = std::string("nvidia,p3450-0000") + '\0' + "nvidia,tegra210" + '\0';
    const struct {
        const char* model;
        std::string compatible, mediaModel, driver;  // empty: absent
        PlatformType want;
    } cases[] = {
        {"Raspberry Pi Compute Module 5 Rev 1.0", bcm2712, "", "", PLATFORM_RASPBERRY_PI_5},
        {"Raspberry Pi Compute Module 5 Rev 1.0", "", "", "", PLATFORM_RASPBERRY_PI_5},
        {"Raspberry Pi Compute Module 5 Rev 1.0", "", "rp1-cfe", "", PLATFORM_RASPBERRY_PI_5},
        {"Raspberry Pi 4 Model B", "", "USB Camera", "uvcvideo", PLATFORM_RASPBERRY_PI},
        {"NVIDIA Jetson Orin Nano Developer Kit", tegra234, "", "", PLATFORM_JETSON},
        {"NVIDIA Jetson Nano Developer Kit", tegra210, "", "", PLATFORM_JETSON_NANO},
        {"Some carrier board", tegra210, "NVIDIA Tegra Video Input Device", "", PLATFORM_JETSON_NANO},
        {"NVIDIA Jetson Nano Developer Kit", "", "NVIDIA Tegra Video Input Device", "", PLATFORM_JETSON_NANO},
        {"Some carrier board", "", "NVIDIA Tegra Video Input Device", "", PLATFORM_JETSON},
        {"Some board", "", "unicam", "", PLATFORM_RASPBERRY_PI},
        {"", "", "", "../../../bus/platform/drivers/rkcif", PLATFORM_RADXA_ROCK},
        {"Orange board", std::string("rockchip,rk3588") + '\0', "", "", PLATFORM_RADXA_ROCK},
        {"Radxa ROCK 5B", std::string("vendor,unknown-soc") + '\0', "", "", PLATFORM_RADXA_ROCK},
    };
    for (const auto& c : cases) {
        sim::SimKernel k;
        k.addFile(kModel, std::string(c.model) + '\0');
        if (!c.compatible.empty()) k.addFile("/sys/firmware/devicetree/base/compatible", c.compatible);
        if (!c.mediaModel.empty()) k.addFile("/sys/bus/media/devices/media0/model", c.mediaModel + "\n");
        if (!c.driver.empty()) k.addLink("/sys/bus/media/devices/media0/device/driver", c.driver);
        ScopedKernel scope(k);
        EXPECT_EQ(detectPlatform(), c.want) << c.model << " / " << c.mediaModel << " / " << c.driver;
        EXPECT_EQ(k.openDescriptors(), 0);
        EXPECT_EQ(k.openDirectories(), 0);
    }
}
