#include "sensor/csi/CsiCopy.h"

#include <algorithm>
#include <cstring>

namespace Norvane {
namespace csi {

namespace {
constexpr size_t kStrideLine = 512;
constexpr size_t kStridePixels = 480;
constexpr size_t kBlock = 960;
constexpr size_t kBlockHead = 448;  // bytes 0-447 first
constexpr size_t kBlockTail = 896;  // then bytes 896-927
constexpr size_t kBlockTailBytes = 32;
constexpr size_t kBlockBodyEnd = 928;  // then bytes 448-927
constexpr size_t kPackedLineAlign = 16;
constexpr size_t kPackedTrailer = 8;  // unpacking stops this far before the end
}  // namespace

void copyRaw(const uint8_t* src, uint8_t* dst, size_t length, uint32_t, size_t& pos, size_t capacity) {
    if (pos >= capacity) return;
    size_t n = std::min(length, capacity - pos);
    std::memcpy(dst + pos, src, n);
    pos += n;
}

void copyStride512(const uint8_t* src, uint8_t* dst, size_t length, uint32_t, size_t& pos, size_t capacity) {
    for (size_t off = 0; off + kStridePixels <= length && pos + kStridePixels <= capacity; off += kStrideLine) {
        std::memcpy(dst + pos, src + off, kStridePixels);
        pos += kStridePixels;
    }
}

void copyBlock960(const uint8_t* src, uint8_t* dst, size_t length, uint32_t, size_t& pos, size_t capacity) {
    for (size_t off = 0; off + kBlock <= length && pos + kBlock <= capacity; off += kBlock) {
        const uint8_t* block = src + off;
        uint8_t* out = dst + pos;
        std::memcpy(out, block, kBlockHead);
        std::memcpy(out + kBlockHead, block + kBlockTail, kBlockTailBytes);
        std::memcpy(out + kBlockHead + kBlockTailBytes, block + kBlockHead, kBlockBodyEnd - kBlockHead);
        pos += kBlock;
    }
}

void unpackRaw12(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& pos, size_t capacity) {
    if (length < kPackedTrailer || width == 0) return;
    size_t line = size_t(width) * 3 / 2;
    size_t padding = (line + kPackedLineAlign - 1) / kPackedLineAlign * kPackedLineAlign - line;
    size_t end = length - kPackedTrailer;
    for (size_t s = 0; s < end && (pos + 2) * 2 <= capacity; s += 3) {
        uint8_t b0 = src[s], b1 = src[s + 1], b2 = src[s + 2];
        uint16_t p0 = uint16_t((b0 << 4) | (b2 & 0x0F));
        uint16_t p1 = uint16_t((b1 << 4) | (b2 >> 4));
        // Little-endian samples, as the sensor's unpacked formats carry them.
        uint8_t* out = dst + pos * 2;
        out[0] = uint8_t(p0);
        out[1] = uint8_t(p0 >> 8);
        out[2] = uint8_t(p1);
        out[3] = uint8_t(p1 >> 8);
        pos += 2;
        if (pos % width == 0) s += padding;
    }
}

}  // namespace csi
}  // namespace Norvane
