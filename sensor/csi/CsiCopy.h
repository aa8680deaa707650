// The per-board routines that turn one driver buffer into one frame of
// 16-bit samples in the caller's capture buffer. Each reads at most
// `length` bytes of `src`, writes at most `capacity` bytes (one frame) from
// the start of `dst`, and returns the bytes it wrote: a frame is whole only
// when that is `capacity`.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace csi
}  // namespace Norvane
