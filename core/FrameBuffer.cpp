#include "core/FrameBuffer.h"

#include <cstddef>

namespace Norvane {

namespace {

size_t elements(const FrameDataFormat& f) { return size_t(f.width) * size_t(f.height); }

// Planes start zeroed so that a frame read before its first capture holds
// defined values.
template <typename T>
std::unique_ptr<T[]> plane(const FrameDataFormat& f) {
    return std::unique_ptr<T[]>(new T[elements(f)]());
}

}  // namespace

RawData::RawData(const FrameDataFormat& format) : data(plane<int16_t>(format)), format(format) {}

void RawData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void* RawData::getData(FrameType type) { return type == FrameType::RAW ? data.get() : nullptr; }

int RawData::getFormat(FrameType type, FrameDataFormat& out) const {
    if (type != FrameType::RAW) return -1;
    out = format;
    return 0;
}

DepthData::DepthData(const FrameDataFormat& depthFormat, const FrameDataFormat& planeFormat)
    : confidence(plane<float>(planeFormat)),
      amplitude(plane<float>(planeFormat)),
      depth(plane<float>(depthFormat)),
      invalid(plane<uint8_t>(depthFormat)),
      depthFormat(depthFormat),
      planeFormat(planeFormat) {}

void DepthData::setTimestamp(uint64_t timestamp) {
    depthFormat.timestamp = timestamp;
    planeFormat.timestamp = timestamp;
}

void* DepthData::getData(FrameType type) {
    switch (type) {
        case FrameType::CONFIDENCE:
            return confidence.get();
        case FrameType::DEPTH:
            return depth.get();
        case FrameType::AMPLITUDE:
            return amplitude.get();
        default:
            return nullptr;
    }
}

int DepthData::getFormat(FrameType type, FrameDataFormat& out) const {
    switch (type) {
        case FrameType::DEPTH:
            out = depthFormat;
            return 0;
        case FrameType::CONFIDENCE:
        case FrameType::AMPLITUDE:
            out = planeFormat;
            return 0;
        default:
            return -1;
    }
}

CacheData::CacheData(const FrameDataFormat& format) : data(plane<uint8_t>(format)), format(format) {}

void CacheData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void* CacheData::getData(FrameType type) { return type == FrameType::CACHE ? data.get() : nullptr; }

int CacheData::getFormat(FrameType type, FrameDataFormat& out) const {
    if (type != FrameType::CACHE) return -1;
    out = format;
    return 0;
}

}  // namespace Norvane
