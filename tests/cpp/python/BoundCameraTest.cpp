// Frames lent to Python and the serialised camera behind the module: a
// frame refuses every use once released, recycled, replaced or orphaned,
// never touches freed memory, and waits survive a camera changing state or
// going away under them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "python/BoundCamera.h"
#include "python/FrameHandle.h"
#include "tests/fakes/ScriptedSensor.h"
#include "tests/fakes/SimKernel.h"

using namespace Norvane;
using namespace Norvane::python;

namespace {

constexpr int kWait = 5000;

// A camera on a 240 x 180 scripted sensor (HQVGA device), built under an
// empty simulated kernel.
std::unique_ptr<BoundCamera> openCamera() {
    std::unique_ptr<BoundCamera> cam;
    {
        sim::SimKernel k;
        ScopedKernel scope(k);
        cam = std::make_unique<BoundCamera>();
    }
    auto sensor = std::make_unique<sim::ScriptedSensor>(240, 180);
    sensor->setPace(std::chrono::microseconds(500));
    EXPECT_EQ(cam->openWithSensor(std::move(sensor), Connection::USB, 0), NorvaneSuccess);
    return cam;
}

std::unique_ptr<FrameHandle> take(BoundCamera& cam) { return takeFrame(cam.currentPool(), kWait); }

void expectRefused(const FrameHandle& frame) {
    EXPECT_FALSE(frame.valid());
    EXPECT_THROW(frame.checked(), std::runtime_error);
}

}  // namespace

TEST(FrameHandle, KindFollowsTheOutputAndReleaseEndsTheFrame) {
    auto cam = openCamera();
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    auto frame = take(*cam);
    ASSERT_NE(frame, nullptr);
    EXPECT_NE(dynamic_cast<DepthFrame*>(frame.get()), nullptr);
    EXPECT_TRUE(frame->valid());
    EXPECT_NE(frame->checked().getData(FrameType::DEPTH), nullptr);
    EXPECT_EQ(cam->releaseFrame(frame.get()), NorvaneSuccess);
    expectRefused(*frame);
    EXPECT_EQ(cam->releaseFrame(frame.get()), NorvaneUnkownError) << "released twice";
    EXPECT_EQ(cam->releaseFrame(nullptr), NorvaneUnkownError);

    ASSERT_EQ(cam->stop(), NorvaneSuccess);
    ASSERT_EQ(cam->start(FrameType::RAW), NorvaneSuccess);
    auto raw = take(*cam);
    ASSERT_NE(raw, nullptr);
    EXPECT_NE(dynamic_cast<RawFrame*>(raw.get()), nullptr);
    EXPECT_EQ(cam->releaseFrame(raw.get()), NorvaneSuccess);
}

TEST(FrameHandle, AStaleFrameCannotReleaseTheFrameNowInItsBuffer) {
    auto cam = openCamera();
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    std::vector<std::unique_ptr<FrameHandle>> held;
    for (int i = 0; i < FramePool::kCapacity; ++i) {
        held.push_back(take(*cam));
        ASSERT_NE(held.back(), nullptr);
    }
    std::unique_ptr<FrameHandle> stale = std::move(held.front());
    ASSERT_EQ(cam->releaseFrame(stale.get()), NorvaneSuccess);
    // The other buffers are held: the next frame comes in the released one.
    auto again = take(*cam);
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(again->buffer(), stale->buffer());
    expectRefused(*stale);
    EXPECT_EQ(cam->releaseFrame(stale.get()), NorvaneUnkownError);
    EXPECT_TRUE(again->valid()) << "the newer frame is still lent";
    EXPECT_EQ(cam->releaseFrame(again.get()), NorvaneSuccess);
}

TEST(FrameHandle, ReplacedPoolClosedCameraAndDestroyedCameraEndHeldFrames) {
    auto cam = openCamera();
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    auto replaced = take(*cam);
    ASSERT_NE(replaced, nullptr);
    ASSERT_EQ(cam->stop(), NorvaneSuccess);
    EXPECT_TRUE(replaced->valid()) << "a stop keeps the pool";
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    expectRefused(*replaced);
    EXPECT_EQ(cam->releaseFrame(replaced.get()), NorvaneUnkownError);

    auto closed = take(*cam);
    ASSERT_NE(closed, nullptr);
    ASSERT_EQ(cam->close(), NorvaneSuccess);
    expectRefused(*closed);
    EXPECT_EQ(cam->releaseFrame(closed.get()), NorvaneUnkownError);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(takeFrame(cam->currentPool(), -1), nullptr) << "a closed camera has no frame to wait for";
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));

    ASSERT_EQ(cam->openWithSensor(std::make_unique<sim::ScriptedSensor>(240, 180), Connection::USB, 0), NorvaneSuccess);
    ASSERT_EQ(cam->start(FrameType::RAW), NorvaneSuccess);
    auto orphan = take(*cam);
    ASSERT_NE(orphan, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(orphan->checked().getFormat(FrameType::RAW, format), 0);
    cam.reset();
    expectRefused(*orphan);
    // The memory is the handle's to keep: reading it is sound (the
    // sanitizer builds would catch a read of a freed buffer).
    std::vector<int16_t> copy(size_t(format.width) * format.height);
    std::memcpy(copy.data(), orphan->buffer()->getData(FrameType::RAW), copy.size() * sizeof(int16_t));
}

TEST(BoundCamera, WaitsAndControlsSurviveLifecycleCallsFromOtherThreads) {
    auto cam = openCamera();
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    std::atomic<bool> done{false};
    std::atomic<int> frames{0};
    // A consumer waiting without limit, always on the pool it started with.
    std::thread consumer([&] {
        while (!done.load()) {
            std::unique_ptr<FrameHandle> f = takeFrame(cam->currentPool(), -1);
            if (!f) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            ++frames;
            // A restart on the main thread may end the frame between any two
            // calls: checked() then refuses it.
            try {
                f->checked().getData(FrameType::DEPTH);
            } catch (const std::runtime_error&) {
            }
            cam->releaseFrame(f.get());
        }
    });
    std::thread controls([&] {
        while (!done.load()) {
            cam->setControl(CameraCtrl::SKIP_FRAME, 0);
            cam->getControl(CameraCtrl::RANGE);
            cam->getCameraInfo();
        }
    });
    for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(cam->stop(), NorvaneSuccess);
        EXPECT_EQ(cam->start(round % 2 ? FrameType::DEPTH : FrameType::RAW), NorvaneSuccess);
        const int seen = frames.load();
        EXPECT_TRUE([&] {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (frames.load() == seen) {
                if (std::chrono::steady_clock::now() > end) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return true;
        }()) << "frames flow again after restart "
             << round;
    }
    EXPECT_EQ(cam->close(), NorvaneSuccess);
    done.store(true);
    consumer.join();
    controls.join();

    // A wait on the pool of a camera that is destroyed meanwhile ends.
    cam = openCamera();
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    std::vector<std::unique_ptr<FrameHandle>> held;
    for (int i = 0; i < FramePool::kCapacity; ++i) {
        held.push_back(take(*cam));
        ASSERT_NE(held.back(), nullptr);
    }
    std::shared_ptr<FramePool> pool = cam->currentPool();
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        EXPECT_EQ(takeFrame(pool, -1), nullptr);
        returned.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load()) << "every frame is held: nothing to take";
    cam.reset();
    waiter.join();
    for (const auto& f : held) expectRefused(*f);
}

TEST(FrameHandle, ADroppedFrameGivesItsBufferBackUnlessReleasedOrRetired) {
    auto cam = openCamera();
    ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
    std::shared_ptr<FramePool> pool = cam->currentPool();
    // More drops than the pool has buffers: the stream goes on.
    for (int i = 0; i < 2 * FramePool::kCapacity; ++i) {
        auto dropped = take(*cam);
        ASSERT_NE(dropped, nullptr) << "drop " << i;
    }
    EXPECT_EQ(pool->census().consumer, 0u);

    // A handle released before must not give back the newer frame that now
    // lives in its buffer.
    std::vector<std::unique_ptr<FrameHandle>> held;
    for (int i = 0; i < FramePool::kCapacity; ++i) held.push_back(take(*cam));
    std::unique_ptr<FrameHandle> stale = std::move(held.front());
    ASSERT_EQ(cam->releaseFrame(stale.get()), NorvaneSuccess);
    held.front() = take(*cam);
    ASSERT_NE(held.front(), nullptr);
    ASSERT_EQ(held.front()->buffer(), stale->buffer());
    stale.reset();
    EXPECT_TRUE(held.front()->valid());
    EXPECT_EQ(pool->census().consumer, 3u);

    // Frames of a retired pool stay where they were.
    ASSERT_EQ(cam->close(), NorvaneSuccess);
    held.clear();
    EXPECT_EQ(pool->census().consumer, 3u);
}

TEST(BoundCamera, EveryOpenRetiresThePoolAsCloseDoes) {
    for (bool succeeds : {true, false}) {
        auto cam = openCamera();
        ASSERT_EQ(cam->start(FrameType::DEPTH), NorvaneSuccess);
        std::vector<std::unique_ptr<FrameHandle>> held;
        for (int i = 0; i < FramePool::kCapacity; ++i) {
            held.push_back(take(*cam));
            ASSERT_NE(held.back(), nullptr);
        }
        std::shared_ptr<FramePool> pool = cam->currentPool();
        std::atomic<bool> returned{false};
        std::thread waiter([&] {
            EXPECT_EQ(takeFrame(pool, -1), nullptr);
            returned.store(true);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(returned.load()) << "every frame is held: nothing to take";
        auto sensor = std::make_unique<sim::ScriptedSensor>(240, 180);
        sensor->openResult = succeeds ? 0 : -2;
        EXPECT_EQ(cam->openWithSensor(std::move(sensor), Connection::USB, 0), succeeds ? NorvaneSuccess : -2);
        waiter.join();
        EXPECT_TRUE(pool->isClosed());
        for (const auto& f : held) {
            expectRefused(*f);
            EXPECT_EQ(cam->releaseFrame(f.get()), NorvaneUnkownError);
        }
    }
}
