// Planes as recordings store them: depth in float32 metres (REP 118), with
// the pixels whose metres do not give the float32 millimetres back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Norvane {
namespace python {

// Writes depthMm[i] / 1000 (one float32 division, rounded once) to the
// `count` float32 values at `metres` (any alignment), and lists in `exact`
// the indices whose metres times 1000 are not depthMm[i] bit for bit (NaN
// payloads, infinities and values that do not round trip included).
void metresInto(const float* depthMm, size_t count, unsigned char* metres, std::vector<uint32_t>& exact);

}  // namespace python
}  // namespace Norvane
