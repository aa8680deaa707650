// The simulated kit's configuration file.
#include <gtest/gtest.h>

#include <string>

#include "sdk/evk/EvkConfig.h"
#include "sdk/evk/norvane_evk_sdk.h"
#include "tests/cpp/sdk/EvkTestSupport.h"

using namespace Norvane::evk;

namespace {

TEST(EvkConfig, EveryKey) {
    KitConfig c;
    std::string error;
    ASSERT_TRUE(
        parseConfig("# a VGA kit\n\n  geometry = vga  \nfrequency=dual\nwidth = 320 # narrow\nheight = 240\r\n"
                    "fps = 7.5\nnoise = 0\nseed = 18446744073709551615\nscene = wall\n"
                    "mixed_pixels = 1\n",
                    "kit.conf", c, error))
        << error;
    EXPECT_EQ(c.geometry, Geometry::Vga);
    EXPECT_TRUE(c.dualFrequency);
    EXPECT_EQ(c.width, 320);
    EXPECT_EQ(c.height, 240);
    EXPECT_EQ(c.fps, 7.5);
    EXPECT_EQ(c.noise, 0.0);
    EXPECT_EQ(c.seed, 18446744073709551615ull);
    EXPECT_EQ(c.scene, SceneKind::Wall);
    EXPECT_TRUE(c.mixedPixels);

    KitConfig d;
    EXPECT_EQ(d.geometry, Geometry::Hqvga) << "defaults: HQVGA at 30 per second with noise";
    EXPECT_EQ(d.fps, 30.0);
    EXPECT_GT(d.noise, 0.0);
    EXPECT_FALSE(d.mixedPixels) << "each pixel sees its centre ray";
    EXPECT_TRUE(parseConfig("", "empty.conf", d, error));
}

TEST(EvkConfig, BadLinesNameFileLineAndKey) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"fps = 30\ncolour = red\n", "evk: k.conf:2: unknown key \"colour\""},
        {"geometry = qvga\n", "evk: k.conf:1: bad value \"qvga\" for key \"geometry\""},
        {"frequency = triple\n", "evk: k.conf:1: bad value \"triple\" for key \"frequency\""},
        {"\n\nwidth = 480\n", "evk: k.conf:3: bad value \"480\" for key \"width\""},
        {"height = 180\n", "evk: k.conf:1: bad value \"180\" for key \"height\""},
        {"fps = -1\n", "evk: k.conf:1: bad value \"-1\" for key \"fps\""},
        {"fps = 30fps\n", "evk: k.conf:1: bad value \"30fps\" for key \"fps\""},
        {"fps = nan\n", "evk: k.conf:1: bad value \"nan\" for key \"fps\""},
        {"fps =\n", "evk: k.conf:1: bad value \"\" for key \"fps\""},
        {"noise = lots\n", "evk: k.conf:1: bad value \"lots\" for key \"noise\""},
        {"seed = -3\n", "evk: k.conf:1: bad value \"-3\" for key \"seed\""},
        {"seed = 99999999999999999999\n", "evk: k.conf:1: bad value \"99999999999999999999\" for key \"seed\""},
        {"scene = beach\n", "evk: k.conf:1: bad value \"beach\" for key \"scene\""},
        {"mixed_pixels = yes\n", "evk: k.conf:1: bad value \"yes\" for key \"mixed_pixels\""},
        {"Geometry = vga\n", "evk: k.conf:1: unknown key \"Geometry\""},
        {"fps 30\n", "evk: k.conf:1: no value for key \"fps 30\""},
        {"= 30\n", "evk: k.conf:1: no value for key \"\""},
    };
    for (const Case& c : cases) {
        KitConfig config;
        config.fps = 12.0;
        std::string error;
        EXPECT_FALSE(parseConfig(c.text, "k.conf", config, error)) << c.text;
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(config.fps, 12.0) << "a refused file changes nothing: " << c.text;
    }
}

TEST(EvkConfig, NulByteInsideANumberIsABadValue) {
    // The number reads as the text before the NUL; the rest must not vanish.
    for (const char* key : {"fps", "noise", "seed"}) {
        const std::string value = std::string("3") + '\0' + "x";
        KitConfig config;
        std::string error;
        EXPECT_FALSE(parseConfig(std::string(key) + " = " + value + "\n", "k.conf", config, error)) << key;
        EXPECT_EQ(error, "evk: k.conf:1: bad value \"" + value + "\" for key \"" + key + "\"");
    }
    KitConfig config;
    std::string error;
    EXPECT_TRUE(parseConfig(std::string("fps = 3 # a NUL in a comment: ") + '\0' + "\n", "k.conf", config, error));
    EXPECT_EQ(config.fps, 3.0);
}

// Opening the kit with a file: one line on standard error when it is refused.
std::string openFails(const char* path, uint8_t binFlag, int* rc) {
    EvkParam p;
    NorvaneDefaultParam(&p);
    p.config_path = path;
    p.bin_file = binFlag;
    EvkHandle h = nullptr;
    ::testing::internal::CaptureStderr();
    *rc = NorvaneOpenCamera(&h, &p);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(h, nullptr);
    if (h) NorvaneCloseCamera(h);
    return err;
}

TEST(EvkConfig, RefusedFileFailsTheOpenWithOneLine) {
    std::string path = evktest::writeFile("refused.conf", "# kit\nnoise = 0\ncolour = red\n");
    int rc = 0;
    EXPECT_EQ(openFails(path.c_str(), 0, &rc), "evk: " + path + ":3: unknown key \"colour\"\n");
    EXPECT_EQ(rc, NORVANE_EVK_BAD_CONFIG);

    std::string missing = ::testing::TempDir() + "no-such-kit.conf";
    EXPECT_EQ(openFails(missing.c_str(), 0, &rc), "evk: " + missing + ": cannot read the configuration file\n");
    EXPECT_NE(rc, 0);
    EXPECT_EQ(openFails(::testing::TempDir().c_str(), 0, &rc),
              "evk: " + ::testing::TempDir() + ": cannot read the configuration file\n")
        << "a directory";

    // Larger than any configuration: refused, also when it never ends.
    std::string large = evktest::writeFile("large.conf", "noise = 0\n" + std::string(64 * 1024, '#') + "\n");
    EXPECT_EQ(openFails(large.c_str(), 0, &rc),
              "evk: " + large + ": the configuration file is larger than 64 KiB\n");
    EXPECT_NE(rc, 0);
    EXPECT_EQ(openFails("/dev/zero", 0, &rc), "evk: /dev/zero: the configuration file is larger than 64 KiB\n");
    EXPECT_NE(rc, 0);
    evktest::Kit atLimit("noise = 0\n" + std::string(64 * 1024 - 11, '#') + "\n", false);
    EXPECT_EQ(atLimit.openResult, NORVANE_EVK_OK) << "64 KiB exactly is read";

    std::string bin = evktest::writeFile("kit.bin", "noise = 0\n");
    EXPECT_EQ(openFails(bin.c_str(), 1, &rc),
              "evk: " + bin + ": binary configuration files need the vendor's library\n");
    EXPECT_NE(rc, 0);
}

}  // namespace
