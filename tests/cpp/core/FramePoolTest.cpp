#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "core/FramePool.h"

using namespace Norvane;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Timing bounds are generous: CI runs under sanitizers on shared machines.
constexpr milliseconds kSlack{1500};

std::unique_ptr<FramePool> depthPool() {
    CameraInfo d{};
    d.width = 8;
    d.height = 4;
    d.type = FrameType::DEPTH;
    return std::make_unique<FramePool>(d, FrameSize{2, 8, 4});
}

long long msSince(Clock::time_point t0) { return std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count(); }

// Produces a frame stamped `ts` and publishes it.
NorvaneFrameBuffer* produce(FramePool& pool, uint64_t ts) {
    LinkNode* n = pool.takeFree();
    if (!n) n = pool.takeOldestReady();
    if (!n) return nullptr;
    n->buffer->setTimestamp(ts);
    NorvaneFrameBuffer* b = n->buffer;
    EXPECT_EQ(pool.publish(n), 0);
    return b;
}

uint64_t stamp(NorvaneFrameBuffer* b) {
    FrameDataFormat f{};
    EXPECT_EQ(b->getFormat(FrameType::DEPTH, f), 0);
    return f.timestamp;
}

// Every node of the pool can be taken exactly once from the free stack and
// the ready queue: the lists hold each node once and nothing else.
void expectListsIntact(FramePool& pool, size_t readyExpected) {
    std::set<NorvaneFrameBuffer*> seen;
    for (size_t i = 0; i < readyExpected; ++i) {
        NorvaneFrameBuffer* b = pool.request(0);
        ASSERT_NE(b, nullptr) << "ready frame " << i;
        EXPECT_TRUE(seen.insert(b).second);
    }
    EXPECT_EQ(pool.request(0), nullptr) << "no further ready frame";
    while (LinkNode* n = pool.takeFree()) EXPECT_TRUE(seen.insert(n->buffer).second) << "a node is listed twice";
    EXPECT_EQ(seen.size(), size_t(FramePool::kCapacity));
}

}  // namespace

TEST(FramePool, BuildsThreeBuffersAndACaptureBuffer) {
    CameraInfo d{};
    d.width = 240;
    d.height = 720;  // 180 rows x 4 sub-frames
    d.type = FrameType::RAW;
    FramePool pool(d, FrameSize{2, 240, 720});
    EXPECT_EQ(pool.frameCount(), 3u);
    FrameDataFormat f{};
    ASSERT_EQ(pool.captureBuffer().getFormat(FrameType::CACHE, f), 0);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 1440u) << "two bytes per sample";
    static_cast<uint8_t*>(pool.captureBuffer().getData(FrameType::CACHE))[240 * 1440 - 1] = 1;
    LinkNode* n = pool.takeFree();
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(n->buffer->getFormat(FrameType::RAW, f), 0);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 720u);
    EXPECT_EQ(n->buffer->getData(FrameType::DEPTH), nullptr);
}

TEST(FramePool, FreeStackIsLastInFirstOutAndReadyQueueFirstInFirstOut) {
    auto pool = depthPool();
    LinkNode* a = pool->takeFree();
    LinkNode* b = pool->takeFree();
    LinkNode* c = pool->takeFree();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(pool->takeFree(), nullptr);
    NorvaneFrameBuffer* ab = a->buffer;
    NorvaneFrameBuffer* cb = c->buffer;
    ASSERT_EQ(pool->discard(a), 0);
    EXPECT_EQ(a, nullptr) << "discard clears the producer's pointer";
    ASSERT_EQ(pool->discard(c), 0);
    EXPECT_EQ(pool->takeFree()->buffer, cb);
    EXPECT_EQ(pool->takeFree()->buffer, ab);

    auto fifo = depthPool();
    NorvaneFrameBuffer* f1 = produce(*fifo, 1);
    NorvaneFrameBuffer* f2 = produce(*fifo, 2);
    NorvaneFrameBuffer* f3 = produce(*fifo, 3);
    EXPECT_EQ(fifo->request(0), f1);
    EXPECT_EQ(fifo->request(0), f2);
    EXPECT_EQ(fifo->request(0), f3);
}

TEST(FramePool, RequestWithoutWaitReturnsAtOnce) {
    auto pool = depthPool();
    auto t0 = Clock::now();
    EXPECT_EQ(pool->request(0), nullptr);
    EXPECT_LT(msSince(t0), kSlack.count());
    NorvaneFrameBuffer* f1 = produce(*pool, 1);
    produce(*pool, 2);
    EXPECT_EQ(pool->request(0), f1) << "the oldest ready frame";
}

TEST(FramePool, TimedWaitTimesOutOrReturnsTheFramePublishedMeanwhile) {
    auto pool = depthPool();
    auto t0 = Clock::now();
    EXPECT_EQ(pool->request(200), nullptr);
    EXPECT_GE(msSince(t0), 199);
    EXPECT_LT(msSince(t0), 200 + kSlack.count());

    std::thread producer([&] {
        std::this_thread::sleep_for(milliseconds(50));
        produce(*pool, 7);
    });
    t0 = Clock::now();
    NorvaneFrameBuffer* b = pool->request(5000);
    long long waited = msSince(t0);
    producer.join();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(stamp(b), 7u);
    EXPECT_GE(waited, 45);
    EXPECT_LT(waited, 50 + kSlack.count()) << "returned when the frame came, not at the time-out";
}

TEST(FramePool, NegativeTimeoutWaitsForAFrame) {
    auto pool = depthPool();
    std::atomic<bool> returned{false};
    NorvaneFrameBuffer* got = nullptr;
    std::thread consumer([&] {
        got = pool->request(-1);
        returned = true;
    });
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_FALSE(returned.load()) << "still waiting with nothing published";
    NorvaneFrameBuffer* published = produce(*pool, 3);
    consumer.join();
    EXPECT_EQ(got, published);
}

TEST(FramePool, ClosingWakesWaitersAndRefusesLaterRequests) {
    auto pool = depthPool();
    std::vector<std::thread> waiters;
    std::atomic<int> nulls{0};
    for (int timeout : {-1, 30000}) {
        waiters.emplace_back([&, timeout] {
            if (!pool->request(timeout)) ++nulls;
        });
    }
    std::this_thread::sleep_for(milliseconds(50));
    auto t0 = Clock::now();
    pool->close();
    for (auto& t : waiters) t.join();
    EXPECT_LT(msSince(t0), kSlack.count());
    EXPECT_EQ(nulls.load(), 2);
    EXPECT_TRUE(pool->isClosed());
    produce(*pool, 1);
    EXPECT_EQ(pool->request(0), nullptr);
}

TEST(FramePool, AFinishedPoolHandsOutItsReadyFramesThenEndsEveryWait) {
    auto pool = depthPool();
    NorvaneFrameBuffer* left = produce(*pool, 1);
    pool->finish();
    EXPECT_TRUE(pool->isFinished());
    EXPECT_FALSE(pool->isClosed());
    EXPECT_EQ(pool->request(-1), left) << "a frame still ready is handed out";
    auto t0 = Clock::now();
    EXPECT_EQ(pool->request(-1), nullptr);
    EXPECT_EQ(pool->request(30000), nullptr);
    EXPECT_LT(msSince(t0), kSlack.count()) << "nothing to wait for";
    EXPECT_EQ(pool->release(left), 0) << "its frames can still be given back";

    // Waiters already waiting are woken.
    auto other = depthPool();
    std::atomic<int> nulls{0};
    std::vector<std::thread> waiters;
    for (int timeout : {-1, 30000}) {
        waiters.emplace_back([&, timeout] {
            if (!other->request(timeout)) ++nulls;
        });
    }
    std::this_thread::sleep_for(milliseconds(50));
    t0 = Clock::now();
    other->finish();
    for (auto& t : waiters) t.join();
    EXPECT_LT(msSince(t0), kSlack.count());
    EXPECT_EQ(nulls.load(), 2);
}

TEST(FramePool, ReleaseUnderAGenerationGivesBackOnlyThatFrame) {
    auto pool = depthPool();
    NorvaneFrameBuffer* b = produce(*pool, 1);
    uint64_t g = 0;
    ASSERT_EQ(pool->request(0, &g), b);
    EXPECT_EQ(pool->release(b, g + 1), -1) << "another generation";
    EXPECT_TRUE(pool->consumerHolds(b, g));
    EXPECT_EQ(pool->release(b, g), 0);
    EXPECT_EQ(pool->release(b, g), -1) << "already free";
    expectListsIntact(*pool, 0);
}

TEST(FramePool, ProducerReclaimsTheOldestReadyFrame) {
    auto pool = depthPool();
    NorvaneFrameBuffer* f1 = produce(*pool, 1);
    NorvaneFrameBuffer* f2 = produce(*pool, 2);
    produce(*pool, 3);
    EXPECT_EQ(pool->takeFree(), nullptr);
    LinkNode* n = pool->takeOldestReady();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->buffer, f1) << "the oldest unconsumed frame is dropped";
    EXPECT_EQ(pool->release(f1), -1) << "the producer holds it now, not the consumer";
    n->buffer->setTimestamp(4);
    ASSERT_EQ(pool->publish(n), 0);
    EXPECT_EQ(pool->request(0), f2);
    NorvaneFrameBuffer* next = pool->request(0);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(stamp(next), 3u);
    EXPECT_EQ(stamp(pool->request(0)), 4u);
}

TEST(FramePool, ProducerGivesUpAfterAboutTwentyMilliseconds) {
    auto pool = depthPool();
    for (uint64_t i = 1; i <= 3; ++i) produce(*pool, i);
    for (int i = 0; i < 3; ++i) ASSERT_NE(pool->request(0), nullptr);
    auto t0 = Clock::now();
    EXPECT_EQ(pool->takeFree(), nullptr);
    EXPECT_EQ(pool->takeOldestReady(), nullptr);
    long long waited = msSince(t0);
    EXPECT_GE(waited, 19);
    EXPECT_LT(waited, 20 + kSlack.count());
}

// A consumer holding two frames waits for the third: the producer, finding
// no free node right after publishing it, must not take it back from under
// the waiting consumer.
TEST(FramePool, AFrameAWaitingConsumerWasWokenForIsLeftToIt) {
    auto pool = depthPool();
    produce(*pool, 1);
    produce(*pool, 2);
    ASSERT_NE(pool->request(0), nullptr);
    ASSERT_NE(pool->request(0), nullptr);
    NorvaneFrameBuffer* got = nullptr;
    std::thread consumer([&] { got = pool->request(2000); });
    std::this_thread::sleep_for(milliseconds(50));
    NorvaneFrameBuffer* third = produce(*pool, 3);
    LinkNode* reclaimed = pool->takeOldestReady();
    consumer.join();
    EXPECT_EQ(got, third);
    EXPECT_EQ(reclaimed, nullptr);
}

TEST(FramePool, MisusedReleasesAreRefusedAndLeaveTheListsIntact) {
    auto pool = depthPool();
    auto other = depthPool();
    NorvaneFrameBuffer* held = produce(*pool, 1);
    NorvaneFrameBuffer* ready = produce(*pool, 2);
    ASSERT_EQ(pool->request(0), held);
    uint64_t gen = pool->generationOf(held);
    EXPECT_TRUE(pool->consumerHolds(held, gen));

    EXPECT_EQ(pool->release(ready), -1) << "never requested, still on the ready queue";
    EXPECT_EQ(pool->release(nullptr), -1);
    NorvaneFrameBuffer* foreign = produce(*other, 1);
    ASSERT_EQ(other->request(0), foreign);
    EXPECT_EQ(pool->release(foreign), -1) << "a buffer of another pool";
    LinkNode* producing = pool->takeFree();
    ASSERT_NE(producing, nullptr);
    EXPECT_EQ(pool->release(producing->buffer), -1) << "in the producer's hands";
    EXPECT_EQ(pool->publish(producing), 0);

    EXPECT_EQ(pool->release(held), 0);
    EXPECT_FALSE(pool->consumerHolds(held, gen));
    EXPECT_EQ(pool->release(held), -1) << "released twice";

    // The producer's operations refuse nodes it does not hold.
    LinkNode* stray = pool->takeFree();
    ASSERT_NE(stray, nullptr);
    LinkNode* copy = stray;
    ASSERT_EQ(pool->discard(stray), 0);
    EXPECT_EQ(pool->discard(copy), -1) << "discarded twice";
    EXPECT_EQ(pool->publish(copy), -1) << "published from the free stack";
    LinkNode alien;
    LinkNode* alienPtr = &alien;
    EXPECT_EQ(pool->discard(alienPtr), -1);

    expectListsIntact(*pool, 2);
}

TEST(FramePool, GenerationsTellAFrameFromALaterOneInTheSameBuffer) {
    auto pool = depthPool();
    NorvaneFrameBuffer* b = produce(*pool, 1);
    EXPECT_EQ(pool->generationOf(b), 0u) << "not yet taken by a consumer";
    uint64_t g1 = 0;
    ASSERT_EQ(pool->request(0, &g1), b);
    EXPECT_EQ(g1, pool->generationOf(b));
    EXPECT_FALSE(pool->consumerHolds(b, g1 + 1));
    ASSERT_EQ(pool->release(b), 0);
    // Drain the free stack until the same buffer comes round again.
    NorvaneFrameBuffer* again = nullptr;
    uint64_t g2 = 0;
    for (int i = 0; i < 3 && again != b; ++i) {
        produce(*pool, 10 + i);
        again = pool->request(0, &g2);
        if (again != b) pool->release(again);
    }
    ASSERT_EQ(again, b);
    EXPECT_GT(g2, g1);
    EXPECT_FALSE(pool->consumerHolds(b, g1)) << "the old frame's generation no longer counts";
    EXPECT_TRUE(pool->consumerHolds(b, g2));
    EXPECT_EQ(pool->generationOf(nullptr), 0u);
}

// One producer, two consumers: every frame is held by one consumer at a
// time, and each consumer sees timestamps rising.
TEST(FramePool, ProducerAndConsumersUnderLoad) {
    auto pool = depthPool();
    std::atomic<bool> done{false};
    std::atomic<int> overlaps{0}, outOfOrder{0}, received{0};
    std::atomic<int> holders[3] = {{0}, {0}, {0}};
    std::vector<NorvaneFrameBuffer*> buffers;
    {
        // Learn the three buffers so holders can be counted per buffer.
        LinkNode* n[3];
        for (auto& x : n) x = pool->takeFree();
        for (auto& x : n) {
            buffers.push_back(x->buffer);
            pool->discard(x);
        }
    }
    auto slot = [&](NorvaneFrameBuffer* b) {
        return int(std::find(buffers.begin(), buffers.end(), b) - buffers.begin());
    };

    std::thread producer([&] {
        for (uint64_t ts = 1; !done.load(); ++ts) {
            if (!produce(*pool, ts)) std::this_thread::sleep_for(milliseconds(1));
        }
    });
    auto consume = [&] {
        uint64_t last = 0;
        while (!done.load()) {
            NorvaneFrameBuffer* b = pool->request(5);
            if (!b) continue;
            int s = slot(b);
            if (holders[s].fetch_add(1) != 0) ++overlaps;
            uint64_t ts = stamp(b);
            if (ts <= last) ++outOfOrder;
            last = ts;
            ++received;
            holders[s].fetch_sub(1);
            EXPECT_EQ(pool->release(b), 0);
        }
    };
    std::thread c1(consume), c2(consume);
    std::this_thread::sleep_for(milliseconds(200));
    done = true;
    producer.join();
    c1.join();
    c2.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(outOfOrder.load(), 0);
    EXPECT_GT(received.load(), 0);
}
