// The simulated kit under concurrent calls: register writes during
// captures, and a stop that wakes a waiting capture.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "sdk/evk/norvane_evk_sdk.h"
#include "tests/cpp/sdk/EvkTestSupport.h"

using evktest::Kit;

namespace {

void writeRange(EvkHandle h, bool shortRange) {
    static const uint32_t kRegs[4] = {0x216C, 0x2179, 0x217A, 0x217B};
    static const uint32_t kSets[2][4] = {{0x10, 0x0E, 0x16, 0x1E}, {0x08, 0x0A, 0x0E, 0x12}};
    for (int i = 0; i < 4; ++i) NorvaneWriteSensorReg(h, kRegs[i], kSets[shortRange][i]);
}

TEST(EvkConcurrency, RegisterWritesDuringCapturesKeepEachCaptureWhole) {
    Kit kit("noise = 0\nfps = 0\n");
    std::vector<uint8_t> longCapture, shortCapture, capture;
    ASSERT_TRUE(kit.capture(4, longCapture));
    writeRange(kit.handle, true);
    ASSERT_TRUE(kit.capture(4, shortCapture));
    ASSERT_NE(longCapture, shortCapture);

    std::atomic<bool> done{false};
    std::thread writer([&] {
        bool s = false;
        while (!done) writeRange(kit.handle, s = !s);
    });
    int longs = 0, shorts = 0, mixed = 0;
    for (int c = 0; c < 200; ++c) {
        ASSERT_TRUE(kit.capture(4, capture));
        if (capture == longCapture)
            ++longs;
        else if (capture == shortCapture)
            ++shorts;
        else
            ++mixed;
    }
    done = true;
    writer.join();
    EXPECT_EQ(mixed, 0) << "a capture follows one modulation in all four phase frames";
    EXPECT_EQ(longs + shorts, 200);
}

TEST(EvkConcurrency, StopWakesAWaitingCapture) {
    Kit kit("fps = 0.2\nnoise = 0\n");
    std::vector<uint8_t> capture;
    ASSERT_TRUE(kit.capture(4, capture));
    std::atomic<int> result{1};
    auto t0 = std::chrono::steady_clock::now();
    std::thread reader([&] {
        EvkFrame f;
        result = NorvaneCaptureImage(kit.handle, &f, -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(NorvaneStopCamera(kit.handle), 0);
    reader.join();
    EXPECT_EQ(result.load(), NORVANE_EVK_NOT_STARTED);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0)
        << "well before the next capture was due";
}

}  // namespace
