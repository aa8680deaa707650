// Frames as the Python module lends them: a buffer together with the pool
// that owns it and the generation it was lent under. Holding the pool keeps
// the buffer's memory alive however long Python keeps the object; the
// generation tells the frame apart from a later frame in the same buffer.
#pragma once

#include <cstdint>
#include <memory>

#include "core/FrameBuffer.h"
#include "core/FramePool.h"

namespace Norvane {
namespace python {

class FrameHandle {
public:
    FrameHandle(std::shared_ptr<FramePool> pool, NorvaneFrameBuffer* buffer, uint64_t generation);
    // A frame dropped while still lent gives its buffer back to its pool;
    // one released before, or of a retired pool, leaves everything alone.
    virtual ~FrameHandle();
    FrameHandle(const FrameHandle&) = delete;
    FrameHandle& operator=(const FrameHandle&) = delete;

    // Whether the buffer is still lent under this generation by a pool that
    // is still in use (not replaced, not closed with its camera).
    bool valid() const;
    // The buffer of a valid frame; throws std::runtime_error otherwise.
    NorvaneFrameBuffer& checked() const;
    NorvaneFrameBuffer* buffer() const { return frame; }
    const std::shared_ptr<FramePool>& framePool() const { return pool; }
    // Gives the buffer back while it is still lent under this generation by
    // a pool still in use: 0, else -1 with nothing changed.
    int release() const;

private:
    std::shared_ptr<FramePool> pool;
    NorvaneFrameBuffer* frame;
    uint64_t generation;
};

// The two kinds a pool lends, so that Python sees the frame's own class.
class RawFrame : public FrameHandle {
public:
    using FrameHandle::FrameHandle;
};

class DepthFrame : public FrameHandle {
public:
    using FrameHandle::FrameHandle;
};

// The oldest ready frame of `pool` within `timeoutMs` milliseconds (0: no
// wait, negative: without limit), wrapped as the handle of its kind; null
// on time-out or once the pool is closed.
std::unique_ptr<FrameHandle> takeFrame(const std::shared_ptr<FramePool>& pool, int timeoutMs);

}  // namespace python
}  // namespace Norvane
