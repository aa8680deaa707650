// The per-board routines that copy one driver buffer into the caller's
// capture buffer of 16-bit samples. Each copies from `src` (`length` bytes)
// to `dst` at the shared write position `pos` and advances it, never
// writing at or past `capacity` bytes of `dst`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Norvane {
namespace csi {

// `pos` is a byte offset, except for unpackRaw12 where it counts 16-bit
// samples.
using CopyRoutine = void (*)(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& pos,
                             size_t capacity);

// The whole buffer as it is.
void copyRaw(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& pos, size_t capacity);
// 512-byte lines of which the first 480 bytes hold pixels.
void copyStride512(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& pos, size_t capacity);
// 960-byte blocks: bytes 0-447, then 896-927, then 448-927 of each block.
void copyBlock960(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& pos, size_t capacity);
// Packed 12-bit pixels, two in three bytes, lines padded to 16 bytes.
void unpackRaw12(const uint8_t* src, uint8_t* dst, size_t length, uint32_t width, size_t& pos, size_t capacity);

}  // namespace csi
}  // namespace Norvane
