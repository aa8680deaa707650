// The stress harness: consumer threads that hold frames, release them out
// of order and misuse the interface, a lifecycle and control script, and
// the accounting of every pool's buffers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "core/NorvaneTOFCamera.h"

namespace Norvane {
namespace stress {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kConsumers = 3;
constexpr size_t kMaxHeld = 2;  // per consumer: together they can hold every frame

// --- consumers ---------------------------------------------------------------

// Checks a frame lent to a consumer: true when its planes are what they
// must be; `stamp` receives its timestamp.
using Verifier = std::function<bool(NorvaneFrameBuffer* f, uint64_t* stamp)>;

struct Held {
    std::shared_ptr<FramePool> pool;  // keeps the buffer alive after a replace
    NorvaneFrameBuffer* frame;
    uint64_t generation;
    uint64_t stamp;
};

struct Tally {
    std::atomic<int> received{0};
    std::atomic<int> damaged{0};     // a frame that failed its check
    std::atomic<int> disordered{0};  // a consumer saw a timestamp not after its previous one
    std::atomic<int> strangers{0};   // frames of a pool installed after the request began
    std::atomic<int> lost{0};        // ... and replaced again before the consumer could hold it
};

// One consumer thread: requests with short time-outs, holds up to two
// frames, releases them in any order (checking they did not change while
// lent), and tries the releases a caller must not make.
class Consumer {
public:
    Consumer(NorvaneTOFCamera& cam, Verifier verify, Tally& tally, unsigned seed)
        : cam(cam), verify(std::move(verify)), tally(tally), rng(seed) {}

    void run(const std::atomic<bool>& done) {
        RawData stray(FrameDataFormat{1, 1, FrameType::RAW, 0});
        while (!done.load()) {
            const unsigned op = rng() % 10;
            if (op < 4) {
                take();
            } else if (op < 8) {
                if (!held.empty()) giveBack(rng() % held.size());
            } else {
                // Pointers the camera never lent out.
                EXPECT_EQ(cam.releaseFrame(nullptr), NorvaneUnkownError);
                EXPECT_EQ(cam.releaseFrame(&stray), NorvaneUnkownError);
                for (const Held& h : held) {
                    // A frame of a replaced pool is not the current pool's.
                    if (h.pool != cam.currentPool()) {
                        EXPECT_EQ(cam.releaseFrame(h.frame), NorvaneUnkownError);
                    }
                }
            }
        }
    }

    // Frames still held, for the final accounting.
    std::vector<Held> held;
    std::set<std::shared_ptr<FramePool>> pools;

private:
    void take() {
        std::shared_ptr<FramePool> p = cam.currentPool();
        uint64_t generation = 0;
        NorvaneFrameBuffer* f = cam.requestFrame(short(rng() % 5), &generation);
        if (!f) return;
        if (!p || !p->consumerHolds(f, generation)) {
            // Of a pool installed since: hold that one before touching the frame.
            ++tally.strangers;
            p = cam.currentPool();
            if (!p || !p->consumerHolds(f, generation)) {
                ++tally.lost;  // replaced again meanwhile: the frame stays lent there
                return;
            }
        }
        ++tally.received;
        pools.insert(p);
        uint64_t stamp = 0;
        if (!verify(f, &stamp)) ++tally.damaged;
        if (stamp <= lastStamp) ++tally.disordered;
        lastStamp = stamp;
        if (held.size() == kMaxHeld) giveBack(rng() % held.size());
        held.push_back(Held{p, f, generation, stamp});
    }

    void giveBack(size_t i) {
        Held h = held[i];
        held.erase(held.begin() + long(i));
        uint64_t stamp = 0;
        if (!h.pool->consumerHolds(h.frame, h.generation) || !verify(h.frame, &stamp) || stamp != h.stamp)
            ++tally.damaged;  // recycled or overwritten while lent
        // Through the camera while its pool is current, else through the pool.
        if (cam.releaseFrame(h.frame) != NorvaneSuccess) {
            EXPECT_EQ(h.pool->release(h.frame), 0);
        }
    }

    NorvaneTOFCamera& cam;
    Verifier verify;
    Tally& tally;
    std::mt19937 rng;
    uint64_t lastStamp = 0;
};

// Runs `consumers` threads on `cam` while `script` (the lifecycle and
// control thread) runs; then stops everything, checks every pool any
// consumer took frames from and releases what is still held.
inline void runConsumers(NorvaneTOFCamera& cam, const Verifier& verify, Tally& tally,
                         const std::function<void()>& script) {
    std::vector<std::unique_ptr<Consumer>> consumers;
    for (int i = 0; i < kConsumers; ++i)
        consumers.push_back(std::make_unique<Consumer>(cam, verify, tally, 1000u + unsigned(i)));
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (auto& c : consumers) threads.emplace_back([&c, &done] { c->run(done); });
    script();
    EXPECT_EQ(cam.stop(), NorvaneSuccess);
    done.store(true);
    for (auto& t : threads) t.join();

    // The frames consumers still hold are exactly the pools' lent buffers.
    std::set<std::shared_ptr<FramePool>> pools;
    if (cam.currentPool()) pools.insert(cam.currentPool());
    for (auto& c : consumers) pools.insert(c->pools.begin(), c->pools.end());
    for (const auto& p : pools) {
        size_t lent = 0;
        for (auto& c : consumers)
            for (const Held& h : c->held) lent += h.pool == p;
        FrameQueue::Census census = p->census();
        EXPECT_TRUE(census.consistent);
        EXPECT_EQ(census.producer, 0u);
        if (tally.lost.load() == 0) {
            EXPECT_EQ(census.consumer, lent);
        } else {
            EXPECT_GE(census.consumer, lent);
        }
        EXPECT_EQ(census.free + census.ready + census.consumer, p->frameCount());
    }
    for (auto& c : consumers)
        for (const Held& h : c->held) EXPECT_EQ(h.pool->release(h.frame), 0);
    for (const auto& p : pools) {
        FrameQueue::Census census = p->census();
        EXPECT_TRUE(census.consistent);
        EXPECT_EQ(census.free + census.ready, p->frameCount()) << "every buffer back after the last release";
    }
}

// After a stop: no buffer with the producer, every one somewhere, the lists
// sound; a frame released twice is refused the second time.
inline void checkStoppedPool(NorvaneTOFCamera& cam) {
    std::shared_ptr<FramePool> p = cam.currentPool();
    ASSERT_NE(p, nullptr);
    FrameQueue::Census census = p->census();
    EXPECT_TRUE(census.consistent);
    EXPECT_EQ(census.producer, 0u);
    EXPECT_EQ(census.free + census.ready + census.consumer, p->frameCount());
    // Nothing publishes now, so a frame released cannot be lent again.
    if (NorvaneFrameBuffer* f = p->request(0)) {
        EXPECT_EQ(cam.releaseFrame(f), NorvaneSuccess);
        EXPECT_EQ(cam.releaseFrame(f), NorvaneUnkownError);
        EXPECT_EQ(p->release(f), -1);
    }
}

// The lifecycle and control thread: for `duration`, random controls and
// start / stop / setOutputType in any order, including the calls that must
// be refused. `controls` sets one random control.
inline void lifecycle(NorvaneTOFCamera& cam, milliseconds duration, std::mt19937& rng,
                      const std::function<void(std::mt19937&)>& controls, int* cycles) {
    const auto end = Clock::now() + duration;
    bool running = false;
    auto type = [&] { return rng() % 2 ? FrameType::DEPTH : FrameType::RAW; };
    while (Clock::now() < end) {
        switch (rng() % 6) {
            case 0:
            case 1:
                controls(rng);
                break;
            case 2:
                if (running) {
                    ASSERT_EQ(cam.stop(), NorvaneSuccess);
                    running = false;
                    checkStoppedPool(cam);
                    ++*cycles;
                } else {
                    EXPECT_EQ(cam.stop(), NorvaneSuccess) << "a stop when stopped is harmless";
                }
                break;
            case 3:
                if (running) {
                    EXPECT_EQ(cam.start(type()), NorvaneUnkownError) << "no second start";
                } else {
                    ASSERT_EQ(cam.start(type()), NorvaneSuccess);
                    running = true;
                }
                break;
            case 4:
                EXPECT_EQ(cam.setOutputType(type()), running ? NorvaneUnkownError : NorvaneSuccess);
                break;
            default: {
                int value = 0;
                cam.getControl(CameraCtrl(rng() % 10), &value);
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
    }
}

// Controls any camera takes, with values in and out of range.
inline void commonControl(NorvaneTOFCamera& cam, std::mt19937& rng) {
    switch (rng() % 5) {
        case 0: {
            // In the documented order every step is accepted.
            const int loop = 1 + int(rng() % 4);
            EXPECT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME, 0), NorvaneSuccess);
            EXPECT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, loop), NorvaneSuccess);
            EXPECT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME, int(rng() % loop)), NorvaneSuccess);
            break;
        }
        case 1:
            // Never a valid pair, whatever the other value: refused.
            EXPECT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME, rng() % 2 ? -1 : 4), NorvaneInvalidParameter);
            EXPECT_EQ(cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, 0), NorvaneInvalidParameter);
            break;
        case 2:
            EXPECT_EQ(cam.setControl(CameraCtrl::AUTO_FRAME_RATE, int(rng() % 2)), NorvaneSuccess);
            break;
        case 3:
            cam.setControl(CameraCtrl::FRAME_RATE, int(rng() % 40));
            break;
        default:
            cam.setControl(CameraCtrl::EXPOSURE, int(rng() % 2000));
            break;
    }
}

}  // namespace stress
}  // namespace Norvane
