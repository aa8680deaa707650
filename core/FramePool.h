// The frame pool: three frame buffers of the current output kind and one
// capture buffer, moved between a free stack, a ready queue and the hands
// of the capture thread (the producer) and of consumers.
//
// Consumers may call request/release from any thread. The producer
// operations are for the one capture thread. A pool lives as long as its
// last shared owner: the camera replaces it as a whole and closes the old
// one, which wakes its waiters.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/FrameBuffer.h"
#include "core/NorvaneTypes.h"
#include "device/NorvaneDevice.h"

namespace Norvane {

// The node lists of a pool. Every node is at any time in exactly one place:
// the free stack (LIFO), the ready queue (FIFO), the producer's hands or a
// consumer's hands; its `state` says which.
class FrameQueue {
public:
    FrameQueue() = default;
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    // Construction only: a node carrying `buffer`, pushed on the free stack.
    void addNode(std::unique_ptr<NorvaneFrameBuffer> buffer);

    // The node carrying `buffer`, or null. Lock-free and allocation-free:
    // the node list never changes after construction.
    LinkNode* find(const NorvaneFrameBuffer* buffer) const;

    // Top of the free stack, now held by the producer; null when empty.
    LinkNode* popFree();
    // Oldest ready node, now held by `taker`; null when the queue is empty.
    // A consumer's take bumps the node's generation and reports it.
    LinkNode* popReady(NodeState taker, uint64_t* generation);
    // Appends a node the producer holds to the ready queue; -1 otherwise.
    int pushReady(LinkNode* node);
    // Puts a node that `holder` holds back on the free stack and clears the
    // caller's pointer; -1 with every list intact when the queue does not
    // own the node or the node is elsewhere.
    int release(LinkNode*& node, NodeState holder);
    // The same, only while the node carries `generation`.
    int release(LinkNode*& node, NodeState holder, uint64_t generation);

    // Where the nodes are, counted by walking the lists and by reading each
    // node's state; `consistent` when both agree and every list is sound
    // (no foreign node, no cycle, the tail at the end).
    struct Census {
        size_t free = 0, ready = 0, producer = 0, consumer = 0;
        bool consistent = true;
    };
    Census census() const;

    // Whether the node carrying `buffer` is in `state` with `generation`.
    bool holds(const NorvaneFrameBuffer* buffer, NodeState state, uint64_t generation) const;
    // Generation of the node carrying `buffer`; 0 for a buffer never taken
    // by a consumer or not of this queue.
    uint64_t generationOf(const NorvaneFrameBuffer* buffer) const;
    size_t size() const { return nodes.size(); }

private:
    bool owns(const LinkNode* node) const;
    int releaseChecked(LinkNode*& node, NodeState holder, const uint64_t* generation);

    mutable std::mutex mutex;  // guards the heads, every link, state and generation
    LinkNode* freeHead = nullptr;
    LinkNode* readyHead = nullptr;
    LinkNode* readyTail = nullptr;
    std::vector<std::unique_ptr<LinkNode>> nodes;  // creation order
    std::vector<std::unique_ptr<NorvaneFrameBuffer>> buffers;
};

class FramePool {
public:
    static constexpr uint8_t kCapacity = 3;
    // The ready count is raised only while it is at most this value.
    static constexpr int kReadyLimit = 3;
    // Longest wait of the producer for a ready frame to take back.
    static constexpr std::chrono::milliseconds kReclaimWait{20};

    // `description`: the camera's record with its height multiplied by the
    // sensor's frames per capture; it sizes the capture buffer (width x 2 x
    // height bytes) and its type (RAW or DEPTH) selects the frame buffers,
    // each of `size`. Any other type gives a pool without frame buffers.
    // Throws std::bad_alloc or std::length_error.
    FramePool(CameraInfo description, FrameSize size);
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // --- consumers ---------------------------------------------------------
    // The oldest ready frame, now the caller's. Waits up to `timeoutMs`
    // milliseconds (0: not at all; negative: without limit) for one. Null on
    // time-out, once the pool is closed, and once it is finished with no
    // ready frame left. `generation`, if given, receives the frame's
    // generation.
    NorvaneFrameBuffer* request(int timeoutMs, uint64_t* generation = nullptr);
    // Gives a frame back. -1, changing nothing, unless a consumer holds it.
    int release(const NorvaneFrameBuffer* frame);
    // The same, only while the frame is still lent as the frame of
    // `generation`: a stale handle cannot give back a newer frame.
    int release(const NorvaneFrameBuffer* frame, uint64_t generation);
    // Whether `frame` is still lent to a consumer as the frame of `generation`
    // (false once released, recycled, or for a buffer of another pool).
    bool consumerHolds(const NorvaneFrameBuffer* frame, uint64_t generation) const;
    uint64_t generationOf(const NorvaneFrameBuffer* frame) const;

    // --- the producer ------------------------------------------------------
    LinkNode* takeFree();
    // Takes back the oldest ready frame, waiting up to kReclaimWait for one;
    // the frame it carried is dropped unseen. Frames that waiting consumers
    // have been woken for are left to them. Null when none.
    LinkNode* takeOldestReady();
    // Appends to the ready queue and wakes waiting consumers.
    int publish(LinkNode* node);
    // Back to the free stack (frame skipped or failed).
    int discard(LinkNode*& node);

    // Refuses further requests and wakes every waiter; they return null.
    void close();
    bool isClosed() const;
    // The producer has ended for good (its thread was joined): no frame will
    // be published any more. Ready frames are still handed out; then every
    // request, waiting or new, returns null at once.
    void finish();
    bool isFinished() const;

    // The queue's census (one snapshot under the queue's lock); also
    // inconsistent when more ready frames are announced than the ready queue
    // held, which is exact while no producer runs.
    FrameQueue::Census census() const;

    CacheData& captureBuffer() { return *cache; }
    FrameSize frameSize() const { return size; }
    size_t frameCount() const { return queue->size(); }

private:
    // Waits until a ready frame is announced or the pool closes, then claims
    // the announcement. False on time-out or when closed.
    template <typename Wait>
    bool claimReady(bool consumer, Wait wait);

    FrameSize size;
    std::unique_ptr<FrameQueue> queue;
    std::unique_ptr<CacheData> cache;
    mutable std::mutex mutex;  // guards readyCount, closed and finished; never held with the queue's
    std::condition_variable cond;
    int readyCount = 0;
    int waitingConsumers = 0;
    bool closed = false;
    bool finished = false;
};

}  // namespace Norvane
