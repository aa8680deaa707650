// Frame buffers: the planes of one frame and the records that describe them.
//
// The frame pool creates them once and never resizes them. A caller reads a
// frame it received from requestFrame through getData and getFormat only,
// and hands the same pointer back to releaseFrame; it never deletes one.
#pragma once

#include <cstdint>
#include <memory>

#include "core/NorvaneTypes.h"

namespace Norvane {

class NorvaneFrameBuffer {
public:
    NorvaneFrameBuffer() = default;
    virtual ~NorvaneFrameBuffer() = default;
    NorvaneFrameBuffer(const NorvaneFrameBuffer&) = delete;
    NorvaneFrameBuffer& operator=(const NorvaneFrameBuffer&) = delete;

    // Stores the capture timestamp in every format record of the buffer.
    virtual void setTimestamp(uint64_t timestamp) = 0;
    // The plane holding `type`, or null when this buffer has none.
    virtual void* getData(FrameType type) = 0;
    // Copies the record describing `type` into `format` and returns 0;
    // -1 with `format` untouched when this buffer has no such plane.
    virtual int getFormat(FrameType type, FrameDataFormat& format) const = 0;

    // Stamped by the capture thread while it fills the buffer: the capture's
    // number since start (captures dropped on the way leave gaps) and the
    // steady-clock time, in nanoseconds, at which the frame was published.
    void setOrigin(uint64_t capture, int64_t publishedNs) {
        captureIndex = capture;
        receivedNs = publishedNs;
    }
    uint64_t getCaptureIndex() const { return captureIndex; }
    int64_t getReceivedNs() const { return receivedNs; }

private:
    uint64_t captureIndex = 0;
    int64_t receivedNs = 0;
};

// Decoded raw image: width x height signed 16-bit values.
class RawData : public NorvaneFrameBuffer {
public:
    explicit RawData(const FrameDataFormat& format);

    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat& out) const override;

private:
    std::unique_ptr<int16_t[]> data;
    FrameDataFormat format;
};

// Depth, confidence and amplitude planes of 32-bit floats. The amplitude
// plane shares the confidence plane's record (type CONFIDENCE). The invalid
// plane (bytes, the depth record's size) holds per pixel 0 or the
// InvalidReason (filter/FilterSettings.h) of a pixel without depth.
class DepthData : public NorvaneFrameBuffer {
public:
    DepthData(const FrameDataFormat& depthFormat, const FrameDataFormat& planeFormat);

    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat& out) const override;
    uint8_t* getInvalid() { return invalid.get(); }
    const uint8_t* getInvalid() const { return invalid.get(); }

private:
    // Declared in allocation order; freed in reverse (invalid first).
    std::unique_ptr<float[]> confidence;
    std::unique_ptr<float[]> amplitude;
    std::unique_ptr<float[]> depth;
    std::unique_ptr<uint8_t[]> invalid;
    FrameDataFormat depthFormat;
    FrameDataFormat planeFormat;
};

// The undecoded capture as the sensor wrote it: width x height bytes.
class CacheData : public NorvaneFrameBuffer {
public:
    explicit CacheData(const FrameDataFormat& format);

    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat& out) const override;

private:
    std::unique_ptr<uint8_t[]> data;
    FrameDataFormat format;
};

// Where a pool node is: on the free stack, being filled by the capture
// thread, on the ready queue, or lent to a consumer.
enum class NodeState : uint8_t {
    FREE,
    PRODUCER,
    READY,
    CONSUMER,
};

// One buffer of a frame pool, chained into the pool's lists. Nodes and
// their buffers live exactly as long as their pool.
struct LinkNode {
    LinkNode* next = nullptr;
    NorvaneFrameBuffer* buffer = nullptr;
    NodeState state = NodeState::FREE;
    // Bumped each time a consumer takes the node: tells a frame apart from
    // a later frame in the same buffer.
    uint64_t generation = 0;
};

}  // namespace Norvane
