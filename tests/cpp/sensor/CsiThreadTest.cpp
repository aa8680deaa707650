// The CSI transport with a capture thread reading frames while another
// thread sets controls, and stopping while no frame comes.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/cpp/sensor/CsiTestSupport.h"

using namespace Norvane;
using namespace csitest;

TEST(CsiThreads, ControlsWhileCapturing) {
    CsiRig rig(sim::buildRaspberryPi4);
    ASSERT_EQ(rig.sensor->open(rig.info), 0);
    ASSERT_EQ(rig.sensor->start(), 0);
    rig.sensor->framesPerCapture = 4;
    std::atomic<bool> running{true};
    std::atomic<int> captures{0}, failures{0};
    std::thread capture([&] {
        std::vector<uint8_t> buf(4 * kFrameBytes);
        int64_t ts;
        while (running.load()) {
            int r = rig.sensor->getFrame(buf.data(), &ts);
            if (r == 0) {
                ++captures;
            } else if (r != -1) {
                ++failures;
            }
        }
    });
    std::thread producer([&] {
        int64_t t = 1000000;
        auto frame = makeFrame(7);
        while (running.load()) {
            if (rig.board.video->pendingFrames() < 4) {
                rig.push(frame, t);
                t += 1000;
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(rig.sensor->setControl(int(CameraCtrl::RANGE), i % 2 ? 2 : 4), 0);
        EXPECT_EQ(rig.sensor->setControl(int(CameraCtrl::EXPOSURE), 100 + i), 0);
        EXPECT_EQ(rig.sensor->setControl(int(CameraCtrl::FRAME_RATE), 10 + i % 20), 0);
        EXPECT_EQ(rig.sensor->setControl(int(CameraCtrl::FMT_WIDTH), 240), 0);
        int v;
        EXPECT_EQ(rig.sensor->getControl(int(CameraCtrl::RANGE), &v), 0);
        EXPECT_EQ(rig.sensor->getControl(int(CameraCtrl::FRAME_RATE), &v), 0);
        (void)rig.sensor->getCameraInfo();
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (captures.load() < 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    running = false;
    producer.join();
    capture.join();
    EXPECT_GE(captures.load(), 20);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(rig.board.bus->messages().size(), 200u);
    EXPECT_EQ(rig.sensor->stop(), 0);
    EXPECT_EQ(rig.sensor->close(), 0);
    EXPECT_EQ(rig.k.openDescriptors(), 0);
}

TEST(CsiThreads, StoppingWhileNoFrameComesIsPrompt) {
    CsiRig rig(sim::buildJetson);
    ASSERT_EQ(rig.sensor->open(rig.info), 0);
    ASSERT_EQ(rig.sensor->start(), 0);
    std::atomic<bool> running{true};
    std::atomic<int> timeouts{0};
    std::thread capture([&] {
        std::vector<uint8_t> buf(kFrameBytes);
        int64_t ts;
        while (running.load())
            if (rig.sensor->getFrame(buf.data(), &ts) == -1) ++timeouts;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t0 = std::chrono::steady_clock::now();
    running = false;  // as the camera's stop does before joining
    capture.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_GE(timeouts.load(), 1);
    EXPECT_EQ(rig.sensor->stop(), 0);
}

// A capture thread as the camera runs one, against a sensor that never
// delivers a whole capture: getFrame keeps returning, and a stop is seen
// within about a second.
TEST(CsiThreads, StopIsPromptWhenCapturesNeverComeTogether) {
    using Clock = std::chrono::steady_clock;
    enum Sends { SubFramesTooFarApart, SlowSubFrames, QueueInError };
    for (Sends sends : {SubFramesTooFarApart, SlowSubFrames, QueueInError}) {
        CsiRig rig(sim::buildRaspberryPi4);
        ASSERT_EQ(rig.sensor->open(rig.info), 0);
        ASSERT_EQ(rig.sensor->start(), 0);
        rig.sensor->framesPerCapture = 2;
        if (sends == QueueInError) {
            // Streaming turned off by another program: poll answers POLLERR at once.
            int other = kernel().open(rig.board.devicePath.c_str(), O_RDWR);
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            ASSERT_EQ(kernel().ioctl(other, VIDIOC_STREAMOFF, &type), 0);
            kernel().close(other);
        }
        std::atomic<bool> running{true}, producing{true};
        std::atomic<int> calls{0}, captures{0};
        std::thread producer([&] {
            auto frame = makeFrame(1);
            int64_t t = 1000000;
            // Frames 6 ms apart by their timestamps: no two make a capture.
            // Stops after 3 s, so that a getFrame that never returns shows.
            auto end = Clock::now() + std::chrono::seconds(3);
            while (sends != QueueInError && producing.load() && Clock::now() < end) {
                if (rig.board.video->pendingFrames() < 2) {
                    rig.push(frame, t);
                    t += 6000;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(sends == SlowSubFrames ? 300 : 1));
            }
        });
        std::thread capture([&] {
            std::vector<uint8_t> buf(2 * kFrameBytes);
            int64_t ts;
            while (running.load()) {
                if (rig.sensor->getFrame(buf.data(), &ts) == 0) ++captures;
                ++calls;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        int callsBeforeStop = calls.load();
        auto t0 = Clock::now();
        running = false;
        capture.join();
        auto stopped = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
        producing = false;
        producer.join();
        EXPECT_LT(stopped.count(), 1200) << sends;
        EXPECT_GE(callsBeforeStop, 1) << sends << ": getFrame gave up on the capture in time";
        EXPECT_EQ(captures.load(), 0) << sends;
        if (sends == QueueInError) {
            EXPECT_LT(callsBeforeStop, 60) << "a queue in error is retried after a pause, not in a spin";
            EXPECT_LT(stopped.count(), 300) << "and the pause is short";
        }
        rig.sensor->stop();
    }
}
