// The two-thread use: the capture thread decodes while the caller reads
// and switches the frequency mode.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sdk/si4c/si4c.h"
#include "tests/fakes/VgaCapture.h"
#include "tests/fakes/WorkDir.h"

using namespace Norvane;

TEST(Si4cThreads, DecodeWhileTheModeIsSwitched) {
    sim::ScopedWorkDir dir;
    SiSDKHandle h = nullptr;
    ASSERT_TRUE(SiSDKCreate(&h));
    ASSERT_TRUE(SiSDKInit(h, 320, 240));
    ASSERT_TRUE(SiSDKStart(h));
    const auto capture = sim::buildVgaCapture(320, 240, false, [](int, int) { return sim::VgaPixel{800, 500, 1000}; });
    std::vector<float> depth(320 * 240), amplitude(depth), confidence(depth);

    std::atomic<bool> done{false};
    std::thread caller([&] {
        bool single = true;
        int switches = 0;
        while (!done.load() || switches < 100) {
            single = !single;
            SiSDKSetSingleFreq(h, single);
            (void)SiSDKIsSingleFreq(h);
            ++switches;
        }
    });
    int good = 0;
    for (int i = 0; i < 40; ++i) {
        if (SiSDKGetPhaseImage(h, capture.data(), depth.data(), amplitude.data(), confidence.data()) &&
            std::abs(depth[1000] - 800.0f) < 0.5f)
            ++good;
    }
    done.store(true);
    caller.join();
    EXPECT_EQ(good, 40) << "the session decodes its own mode throughout";
    SiSDKDestroy(&h);
}
