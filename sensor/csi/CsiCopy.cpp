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
    if (width == 0) return;
    const size_t line = size_t(width) * 3 / 2;
    const size_t stride = (line + kPackedLineAlign - 1) / kPackedLineAlign * kPackedLineAlign;
    const size_t pairs = (size_t(width) + 1) / 2;
    // Row by row: every sample of every whole row the source holds, however
    // much padding follows the last one.
    for (size_t row = 0; row * stride + pairs * 3 <= length && (pos + width) * 2 <= capacity; ++row) {
        const uint8_t* in = src + row * stride;
        uint8_t* out = dst + pos * 2;
        for (size_t i = 0; i < width; i += 2, in += 3) {
            uint16_t p0 = uint16_t((in[0] << 4) | (in[2] & 0x0F));
            uint16_t p1 = uint16_t((in[1] << 4) | (in[2] >> 4));
            // Little-endian samples, as the sensor's unpacked formats carry them.
            out[2 * i] = uint8_t(p0);
            out[2 * i + 1] = uint8_t(p0 >> 8);
            if (i + 1 < width) {
                out[2 * i + 2] = uint8_t(p1);
                out[2 * i + 3] = uint8_t(p1 >> 8);
            }
        }
        pos += width;
    }
}

}  // namespace csi
}  // namespace Norvane
