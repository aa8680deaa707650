#include "sensor/csi/CsiCopy.h"

#include <algorithm>
#include <cstring>

#include "sensor/csi/V4l2Compat.h"

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
constexpr uint64_t kCompactLineAlign = 256;
}  // namespace

size_t copyRaw(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t) {
    size_t n = std::min(length, capacity);
    if (n) std::memcpy(dst, src, n);
    return n;
}

size_t copyStride512(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t) {
    size_t out = 0;
    for (size_t off = 0; off + kStridePixels <= length && out + kStridePixels <= capacity; off += kStrideLine) {
        std::memcpy(dst + out, src + off, kStridePixels);
        out += kStridePixels;
    }
    return out;
}

size_t copyBlock960(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t) {
    size_t off = 0, out = 0;
    for (; off + kBlock <= length && out + kBlock <= capacity; off += kBlock, out += kBlock) {
        const uint8_t* block = src + off;
        std::memcpy(dst + out, block, kBlockHead);
        std::memcpy(dst + out + kBlockHead, block + kBlockTail, kBlockTailBytes);
        std::memcpy(dst + out + kBlockHead + kBlockTailBytes, block + kBlockHead, kBlockBodyEnd - kBlockHead);
    }
    // A frame whose size is no multiple of 960 ends in a shorter block. The
    // reorder moves the 32 bytes that close a whole block; a short block has
    // no such close (below 928 bytes not even their place), so its bytes
    // stand as they came and are copied unchanged.
    const size_t rest = capacity - out;
    if (rest > 0 && rest < kBlock && length - off >= rest) {
        std::memcpy(dst + out, src + off, rest);
        out += rest;
    }
    return out;
}

size_t unpackRaw12(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width) {
    const size_t line = size_t(width) * 3 / 2;
    return unpackLines(src, length, dst, capacity, width, (line + kPackedLineAlign - 1) / kPackedLineAlign * kPackedLineAlign);
}

size_t unpackLines(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width,
                   size_t stride) {
    if (width == 0) return 0;
    const size_t pairs = (size_t(width) + 1) / 2;
    const size_t rowBytes = size_t(width) * 2;
    size_t out = 0;
    // Row by row: every sample of every whole row the source holds, however
    // much padding follows the last one.
    for (size_t row = 0; row * stride + pairs * 3 <= length && out + rowBytes <= capacity; ++row) {
        const uint8_t* in = src + row * stride;
        uint8_t* o = dst + out;
        for (size_t i = 0; i < width; i += 2, in += 3) {
            uint16_t p0 = uint16_t((in[0] << 4) | (in[2] & 0x0F));
            uint16_t p1 = uint16_t((in[1] << 4) | (in[2] >> 4));
            // Little-endian samples, as the sensor's unpacked formats carry them.
            o[2 * i] = uint8_t(p0);
            o[2 * i + 1] = uint8_t(p0 >> 8);
            if (i + 1 < width) {
                o[2 * i + 2] = uint8_t(p1);
                o[2 * i + 3] = uint8_t(p1 >> 8);
            }
        }
        out += rowBytes;
    }
    return out;
}

size_t copyLines(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width,
                 size_t stride) {
    const size_t rowBytes = size_t(width) * 2;
    if (stride == rowBytes) return copyRaw(src, std::min(length, capacity), dst, capacity, width);
    size_t out = 0;
    for (size_t off = 0; rowBytes && off + rowBytes <= length && out + rowBytes <= capacity; off += stride) {
        std::memcpy(dst + out, src + off, rowBytes);
        out += rowBytes;
    }
    return out;
}

bool layoutOf(const NodeFormat& f, PlatformType platform, FrameLayout& layout) {
    const uint64_t samplesLine = uint64_t(f.width) * 2;
    const uint64_t packedLine = (uint64_t(f.width) * 3 + 1) / 2;
    // One progressive plane of whole lines, as many as the frame has.
    if (f.planes != 1 || (f.field != V4L2_FIELD_NONE && f.field != V4L2_FIELD_ANY) || f.width == 0 ||
        f.height == 0 || uint64_t(f.sizeImage) < uint64_t(f.bytesPerLine) * f.height)
        return false;
    layout.width = f.width;
    layout.height = f.height;
    layout.bytesPerLine = f.bytesPerLine;
    if (f.pixelformat == V4L2_PIX_FMT_Y12) {
        // The Rockchip receiver's compact memory mode keeps the format's name
        // and packs the samples into lines rounded to 256 bytes, which at some
        // widths (240) are longer than 16-bit lines would be.
        const uint64_t compactLine = (packedLine + kCompactLineAlign - 1) / kCompactLineAlign * kCompactLineAlign;
        if (platform == PLATFORM_RADXA_ROCK && f.bytesPerLine == compactLine) {
            layout.kind = FrameLayout::Packed12;
        } else if (f.bytesPerLine == samplesLine && platform == PLATFORM_JETSON) {
            layout.kind = FrameLayout::Blocks960;
        } else if (f.bytesPerLine >= samplesLine) {
            layout.kind = FrameLayout::Samples16;
        } else if (f.bytesPerLine >= packedLine) {
            // Lines too short for 16-bit samples: the receiver stores the
            // samples as they came, packed (a compact memory mode).
            layout.kind = FrameLayout::Packed12;
        } else {
            return false;
        }
        return true;
    }
    if (f.pixelformat == V4L2_PIX_FMT_Y12P && f.bytesPerLine >= packedLine) {
        layout.kind = FrameLayout::Packed12;
        return true;
    }
    return false;
}

size_t copyFrame(const FrameLayout& layout, const uint8_t* src, size_t length, uint8_t* dst, size_t capacity) {
    switch (layout.kind) {
        case FrameLayout::Blocks960:
            return copyBlock960(src, length, dst, capacity, layout.width);
        case FrameLayout::Packed12:
            return unpackLines(src, length, dst, capacity, layout.width, layout.bytesPerLine);
        case FrameLayout::Samples16:
            break;
    }
    return copyLines(src, length, dst, capacity, layout.width, layout.bytesPerLine);
}

}  // namespace csi
}  // namespace Norvane
