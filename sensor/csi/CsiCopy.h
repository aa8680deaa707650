// The per-board routines that turn one driver buffer into one frame of
// 16-bit samples in the caller's capture buffer. Each reads at most
// `length` bytes of `src`, writes at most `capacity` bytes (one frame) from
// the start of `dst`, and returns the bytes it wrote: a frame is whole only
// when that is `capacity`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sensor/Platform.h"

namespace Norvane {
namespace csi {

using CopyRoutine = size_t (*)(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width);

// The buffer as it is.
size_t copyRaw(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width);
// 512-byte lines of which the first 480 bytes hold pixels.
size_t copyStride512(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width);
// 960-byte blocks: bytes 0-447, then 896-927, then 448-927 of each block.
size_t copyBlock960(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width);
// Packed 12-bit pixels, two in three bytes, lines padded to 16 bytes.
size_t unpackRaw12(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width);

// Packed 12-bit pixels, two in three bytes, rows `bytesPerLine` apart.
size_t unpackLines(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width,
                   size_t bytesPerLine);
// 16-bit samples, rows `bytesPerLine` apart.
size_t copyLines(const uint8_t* src, size_t length, uint8_t* dst, size_t capacity, uint32_t width,
                 size_t bytesPerLine);

// How a frame lies in a driver buffer, from the format the driver settled on.
struct FrameLayout {
    enum Kind : uint8_t {
        Samples16,  // 16-bit little-endian samples
        Packed12,   // two 12-bit samples in three bytes, as the CSI-2 link carries them
        Blocks960,  // the Jetson video input's 960-byte blocks
    };
    Kind kind = Samples16;
    uint32_t width = 0, height = 0;
    uint32_t bytesPerLine = 0;
};

// The format a video node reported, as far as the copy needs it.
struct NodeFormat {
    uint32_t pixelformat = 0, width = 0, height = 0, field = 0;
    uint32_t planes = 1, bytesPerLine = 0, sizeImage = 0;
};

// The layout of frames in `format`; false when this camera cannot read it.
bool layoutOf(const NodeFormat& format, PlatformType platform, FrameLayout& layout);
// Copies (or unpacks) one frame laid out as `layout` into 16-bit samples.
size_t copyFrame(const FrameLayout& layout, const uint8_t* src, size_t length, uint8_t* dst, size_t capacity);

}  // namespace csi
}  // namespace Norvane
