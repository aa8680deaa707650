#include "python/FrameHandle.h"

#include <exception>
#include <stdexcept>
#include <utility>

namespace Norvane {
namespace python {

namespace {

constexpr const char* kStaleFrame =
    "this frame is no longer valid: it was released, or its camera was restarted, closed or deleted";

}  // namespace

FrameHandle::FrameHandle(std::shared_ptr<FramePool> pool, NorvaneFrameBuffer* buffer, uint64_t generation)
    : pool(std::move(pool)), frame(buffer), generation(generation) {}

FrameHandle::~FrameHandle() { release(); }

int FrameHandle::release() const {
    if (!pool || !frame || pool->isClosed()) return -1;
    return pool->release(frame, generation);
}

bool FrameHandle::valid() const { return pool && frame && !pool->isClosed() && pool->consumerHolds(frame, generation); }

NorvaneFrameBuffer& FrameHandle::checked() const {
    if (!valid()) throw std::runtime_error(kStaleFrame);
    return *frame;
}

std::unique_ptr<FrameHandle> takeFrame(const std::shared_ptr<FramePool>& pool, int timeoutMs) {
    if (!pool) return nullptr;
    uint64_t generation = 0;
    NorvaneFrameBuffer* buffer = pool->request(timeoutMs, &generation);
    if (!buffer) return nullptr;
    try {
        if (dynamic_cast<DepthData*>(buffer)) return std::make_unique<DepthFrame>(pool, buffer, generation);
        if (dynamic_cast<RawData*>(buffer)) return std::make_unique<RawFrame>(pool, buffer, generation);
        return std::make_unique<FrameHandle>(pool, buffer, generation);
    } catch (...) {
        // Nobody could ever release a frame lost here.
        pool->release(buffer);
        throw;
    }
}

}  // namespace python
}  // namespace Norvane
