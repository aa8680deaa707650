// The range may change on one thread while another decodes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device/NorvaneDeviceHQVGA.h"

using namespace Norvane;

TEST(HqvgaDeviceThreads, RangeChangesWhileDecoding) {
    NorvaneDeviceHQVGA d(PLATFORM_UNKNOWN);
    std::vector<uint8_t> cap(hqvga::kCaptureBytes);
    for (size_t i = 0; i < cap.size(); ++i) cap[i] = uint8_t(i * 131);
    std::vector<float> depth(hqvga::kPixels), amplitude(hqvga::kPixels), confidence(hqvga::kPixels);
    std::atomic<bool> done{false};
    std::thread control([&] {
        for (int i = 0; !done.load(); ++i) d.setControl(CameraCtrl::RANGE, i % 2 ? 2000 : 4000);
    });
    for (int n = 0; n < 4; ++n) {
        ASSERT_TRUE(d.getPhaseImage(cap.data(), depth.data(), amplitude.data(), confidence.data()));
        for (float v : depth) {
            ASSERT_GE(v, 0.0f);
            ASSERT_LT(v, 4000.0f);
        }
    }
    done = true;
    control.join();
}
