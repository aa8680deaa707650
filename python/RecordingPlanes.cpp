#include "python/RecordingPlanes.h"

#include <cstring>

namespace Norvane {
namespace python {

namespace {

inline uint32_t bitsOf(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

}  // namespace

void metresInto(const float* depthMm, size_t count, unsigned char* metres, std::vector<uint32_t>& exact) {
    exact.clear();
    constexpr size_t kBlock = 1024;  // metres kept on the stack for the check
    constexpr size_t kGroup = 16;    // values checked at once; few groups hold a miss
    float block[kBlock];
    uint32_t misses[kBlock];  // nonzero where the metres do not give the millimetres back
    for (size_t start = 0; start < count; start += kBlock) {
        const size_t n = count - start < kBlock ? count - start : kBlock;
        const float* mm = depthMm + start;
        for (size_t i = 0; i < n; ++i) block[i] = mm[i] / 1000.0f;
        std::memcpy(metres + start * sizeof(float), block, n * sizeof(float));
        for (size_t i = 0; i < n; ++i) misses[i] = bitsOf(block[i] * 1000.0f) ^ bitsOf(mm[i]);
        for (size_t group = 0; group < n; group += kGroup) {
            const size_t end = group + kGroup < n ? group + kGroup : n;
            uint32_t any = 0;
            for (size_t i = group; i < end; ++i) any |= misses[i];
            if (any == 0) continue;
            for (size_t i = group; i < end; ++i) {
                if (misses[i] != 0) exact.push_back(uint32_t(start + i));
            }
        }
    }
}

}  // namespace python
}  // namespace Norvane
