#include "core/FramePool.h"

#include <limits>
#include <stdexcept>

namespace Norvane {

void FrameQueue::addNode(std::unique_ptr<NorvaneFrameBuffer> buffer) {
    auto node = std::make_unique<LinkNode>();
    node->buffer = buffer.get();
    buffers.reserve(buffers.size() + 1);
    nodes.reserve(nodes.size() + 1);
    std::lock_guard<std::mutex> lock(mutex);
    node->next = freeHead;
    freeHead = node.get();
    buffers.push_back(std::move(buffer));
    nodes.push_back(std::move(node));
}

LinkNode* FrameQueue::find(const NorvaneFrameBuffer* buffer) const {
    if (!buffer) return nullptr;
    for (const auto& n : nodes) {
        if (n->buffer == buffer) return n.get();
    }
    return nullptr;
}

bool FrameQueue::owns(const LinkNode* node) const {
    for (const auto& n : nodes) {
        if (n.get() == node) return true;
    }
    return false;
}

LinkNode* FrameQueue::popFree() {
    std::lock_guard<std::mutex> lock(mutex);
    LinkNode* n = freeHead;
    if (!n) return nullptr;
    freeHead = n->next;
    n->next = nullptr;
    n->state = NodeState::PRODUCER;
    return n;
}

LinkNode* FrameQueue::popReady(NodeState taker, uint64_t* generation) {
    std::lock_guard<std::mutex> lock(mutex);
    LinkNode* n = readyHead;
    if (!n) return nullptr;
    readyHead = n->next;
    if (!readyHead) readyTail = nullptr;
    n->next = nullptr;
    n->state = taker;
    if (taker == NodeState::CONSUMER) ++n->generation;
    if (generation) *generation = n->generation;
    return n;
}

int FrameQueue::pushReady(LinkNode* node) {
    if (!owns(node)) return -1;
    std::lock_guard<std::mutex> lock(mutex);
    if (node->state != NodeState::PRODUCER) return -1;
    node->next = nullptr;
    if (readyTail) {
        readyTail->next = node;
    } else {
        readyHead = node;
    }
    readyTail = node;
    node->state = NodeState::READY;
    return 0;
}

int FrameQueue::release(LinkNode*& node, NodeState holder) { return releaseChecked(node, holder, nullptr); }

int FrameQueue::release(LinkNode*& node, NodeState holder, uint64_t generation) {
    return releaseChecked(node, holder, &generation);
}

int FrameQueue::releaseChecked(LinkNode*& node, NodeState holder, const uint64_t* generation) {
    if (!owns(node)) return -1;
    std::lock_guard<std::mutex> lock(mutex);
    if (node->state != holder || (holder != NodeState::PRODUCER && holder != NodeState::CONSUMER)) return -1;
    if (generation && node->generation != *generation) return -1;
    node->next = freeHead;
    freeHead = node;
    node->state = NodeState::FREE;
    node = nullptr;
    return 0;
}

bool FrameQueue::holds(const NorvaneFrameBuffer* buffer, NodeState state, uint64_t generation) const {
    const LinkNode* n = find(buffer);
    if (!n) return false;
    std::lock_guard<std::mutex> lock(mutex);
    return n->state == state && n->generation == generation;
}

uint64_t FrameQueue::generationOf(const NorvaneFrameBuffer* buffer) const {
    const LinkNode* n = find(buffer);
    if (!n) return 0;
    std::lock_guard<std::mutex> lock(mutex);
    return n->generation;
}

FrameQueue::Census FrameQueue::census() const {
    Census c;
    std::lock_guard<std::mutex> lock(mutex);
    // Each walk is bounded by the node count, so a cycle cannot hang it.
    auto walk = [&](const LinkNode* head, NodeState state, size_t& count) {
        const LinkNode* last = nullptr;
        for (const LinkNode* n = head; n; n = n->next) {
            if (count == nodes.size() || !owns(n) || n->state != state) {
                c.consistent = false;
                return last;
            }
            ++count;
            last = n;
        }
        return last;
    };
    walk(freeHead, NodeState::FREE, c.free);
    const LinkNode* tail = walk(readyHead, NodeState::READY, c.ready);
    if (tail != readyTail) c.consistent = false;
    size_t states[4] = {};
    for (const auto& n : nodes) ++states[size_t(n->state)];
    c.producer = states[size_t(NodeState::PRODUCER)];
    c.consumer = states[size_t(NodeState::CONSUMER)];
    if (states[size_t(NodeState::FREE)] != c.free || states[size_t(NodeState::READY)] != c.ready) c.consistent = false;
    return c;
}

namespace {

uint32_t checkedDimension(uint64_t value) {
    if (value > std::numeric_limits<uint32_t>::max()) throw std::length_error("frame dimension");
    return uint32_t(value);
}

// Negative device geometry would wrap to a huge allocation.
uint32_t dimension(int32_t value) {
    if (value < 0) throw std::length_error("negative frame dimension");
    return uint32_t(value);
}

}  // namespace

FramePool::FramePool(CameraInfo description, FrameSize size) : size(size), queue(std::make_unique<FrameQueue>()) {
    // The capture buffer holds 16-bit samples of every sub-frame.
    const FrameDataFormat cacheFormat{description.width, checkedDimension(uint64_t(description.height) * 2),
                                      FrameType::CACHE, 0};
    cache = std::make_unique<CacheData>(cacheFormat);
    const uint32_t w = dimension(size.width);
    const uint32_t h = dimension(size.height);
    for (int i = 0; i < kCapacity; ++i) {
        if (description.type == FrameType::RAW) {
            queue->addNode(std::make_unique<RawData>(FrameDataFormat{w, h, FrameType::RAW, 0}));
        } else if (description.type == FrameType::DEPTH) {
            queue->addNode(std::make_unique<DepthData>(FrameDataFormat{w, h, FrameType::DEPTH, 0},
                                                       FrameDataFormat{w, h, FrameType::CONFIDENCE, 0}));
        }
    }
}

template <typename Wait>
bool FramePool::claimReady(bool consumer, Wait wait) {
    std::unique_lock<std::mutex> lock(mutex);
    bool announced;
    if (consumer) {
        ++waitingConsumers;
        announced = wait(lock, [this] { return closed || finished || readyCount > 0; });
        --waitingConsumers;
    } else {
        // Otherwise the producer, running on right after its publish, would
        // take back the one frame a woken consumer is about to take, and a
        // consumer holding all frames but one would starve.
        announced = wait(lock, [this] { return closed || readyCount > waitingConsumers; });
    }
    // Finished and drained: nothing more will come.
    if (!announced || closed || readyCount == 0) return false;
    --readyCount;
    return true;
}

NorvaneFrameBuffer* FramePool::request(int timeoutMs, uint64_t* generation) {
    bool claimed;
    if (timeoutMs < 0) {
        claimed = claimReady(true, [this](std::unique_lock<std::mutex>& lock, auto pred) {
            cond.wait(lock, pred);
            return true;
        });
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        claimed = claimReady(true, [this, deadline](std::unique_lock<std::mutex>& lock, auto pred) {
            return cond.wait_until(lock, deadline, pred);
        });
    }
    if (!claimed) return nullptr;
    LinkNode* n = queue->popReady(NodeState::CONSUMER, generation);
    return n ? n->buffer : nullptr;
}

int FramePool::release(const NorvaneFrameBuffer* frame) {
    LinkNode* n = queue->find(frame);
    if (!n) return -1;
    return queue->release(n, NodeState::CONSUMER);
}

int FramePool::release(const NorvaneFrameBuffer* frame, uint64_t generation) {
    LinkNode* n = queue->find(frame);
    if (!n) return -1;
    return queue->release(n, NodeState::CONSUMER, generation);
}

bool FramePool::consumerHolds(const NorvaneFrameBuffer* frame, uint64_t generation) const {
    return queue->holds(frame, NodeState::CONSUMER, generation);
}

uint64_t FramePool::generationOf(const NorvaneFrameBuffer* frame) const { return queue->generationOf(frame); }

LinkNode* FramePool::takeFree() { return queue->popFree(); }

LinkNode* FramePool::takeOldestReady() {
    bool claimed = claimReady(false, [this](std::unique_lock<std::mutex>& lock, auto pred) {
        return cond.wait_for(lock, kReclaimWait, pred);
    });
    return claimed ? queue->popReady(NodeState::PRODUCER, nullptr) : nullptr;
}

int FramePool::publish(LinkNode* node) {
    if (queue->pushReady(node) != 0) return -1;
    bool announced = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (readyCount <= kReadyLimit) {
            ++readyCount;
            announced = true;
        }
    }
    // Woken after the unlock, a consumer finds the mutex free instead of
    // blocking on it once more.
    if (announced) cond.notify_all();
    return 0;
}

int FramePool::discard(LinkNode*& node) { return queue->release(node, NodeState::PRODUCER); }

FrameQueue::Census FramePool::census() const {
    FrameQueue::Census c = queue->census();
    std::lock_guard<std::mutex> lock(mutex);
    if (readyCount < 0 || size_t(readyCount) > c.ready) c.consistent = false;
    return c;
}

void FramePool::close() {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    cond.notify_all();
}

bool FramePool::isClosed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return closed;
}

void FramePool::finish() {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    cond.notify_all();
}

bool FramePool::isFinished() const {
    std::lock_guard<std::mutex> lock(mutex);
    return finished;
}

}  // namespace Norvane
