// The SiSDK interface over the VGA capture layout.
//
// The frequency mode is an atomic that any thread may read or switch; the
// session (geometry, calibration, limits, the mode being decoded) changes
// only between captures, under the context's mutex, which the decode also
// takes. That mutex is never held across anything but one decode.
#include "sdk/si4c/si4c.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "config/DefaultConfig.h"
#include "sdk/VgaCaptureLayout.h"
#include "sdk/si4c/AlgorithmConfig.h"
#include "sdk/si4c/PhaseDecode.h"

using Norvane::si4c::AlgorithmConfig;

struct SiSDKContext {
    std::atomic<bool> singleFreq{true};

    std::mutex mutex;
    int width = 0;  // 0 until SiSDKInit
    int height = 0;
    bool started = false;
    bool decodeDual = false;  // the mode fixed by SiSDKStart
    std::vector<float> calibration;
    bool calibrated = false;
    std::string configDir;
    AlgorithmConfig config;
};

namespace {

// Metadata fills the first samples of a row; the depth image is at most
// a few megapixels.
constexpr int kMinWidth = Norvane::vga::kMetaCounter + 1;
constexpr int kMaxSide = 4096;

std::string joinPath(const std::string& dir, const char* name) {
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

template <typename F>
bool guarded(F&& f) {
    try {
        return f();
    } catch (...) {
        return false;
    }
}

}  // namespace

extern "C" {

bool SiSDKCreate(SiSDKHandle* handle) {
    if (!handle) return false;
    *handle = new (std::nothrow) SiSDKContext;
    return *handle != nullptr;
}

bool SiSDKInit(SiSDKHandle handle, int width, int height) {
    if (!handle) return false;
    return guarded([&] {
        std::lock_guard<std::mutex> lock(handle->mutex);
        handle->started = false;
        handle->calibrated = false;
        handle->configDir.clear();
        if (width < kMinWidth || width > kMaxSide || height < 1 || height > kMaxSide) {
            handle->width = handle->height = 0;
            return false;
        }
        handle->width = width;
        handle->height = height;
        return true;
    });
}

bool SiSDKSetCaliData(SiSDKHandle handle, const void* data, size_t size) {
    if (!handle || !data) return false;
    return guarded([&] {
        std::lock_guard<std::mutex> lock(handle->mutex);
        const size_t pixels = size_t(handle->width) * size_t(handle->height);
        if (pixels == 0 || size != pixels * sizeof(float)) return false;
        handle->calibration.resize(pixels);
        std::memcpy(handle->calibration.data(), data, size);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        for (float& v : handle->calibration) {
            uint32_t u;
            std::memcpy(&u, &v, 4);
            u = __builtin_bswap32(u);
            std::memcpy(&v, &u, 4);
        }
#endif
        handle->calibrated = true;
        return true;
    });
}

bool SiSDKSetConfig(SiSDKHandle handle, const char* configDir) {
    if (!handle || !configDir) return false;
    return guarded([&] {
        std::lock_guard<std::mutex> lock(handle->mutex);
        handle->configDir = configDir;
        return true;
    });
}

bool SiSDKStart(SiSDKHandle handle) {
    if (!handle) return false;
    return guarded([&] {
        std::lock_guard<std::mutex> lock(handle->mutex);
        if (handle->width == 0) return false;
        AlgorithmConfig config;
        bool fromDir =
            !handle->configDir.empty() &&
            Norvane::si4c::readAlgorithmConfig(joinPath(handle->configDir, Norvane::kConfigAlgorithmFile), config);
        if (!fromDir) Norvane::si4c::readAlgorithmConfig(Norvane::kConfigAlgorithmFile, config);
        handle->config = config;
        handle->decodeDual = !handle->singleFreq.load();
        handle->started = true;
        return true;
    });
}

bool SiSDKIsSingleFreq(SiSDKHandle handle) { return handle ? handle->singleFreq.load() : true; }

bool SiSDKSetSingleFreq(SiSDKHandle handle, bool single) {
    if (!handle) return false;
    handle->singleFreq.store(single);
    return true;
}

bool SiSDKGetPhaseImage(SiSDKHandle handle, const uint8_t* frame, float* depth, float* amplitude, float* confidence) {
    if (!handle || !frame || !depth || !amplitude || !confidence) return false;
    return guarded([&] {
        std::lock_guard<std::mutex> lock(handle->mutex);
        if (!handle->started) return false;
        const int w = handle->width, h = handle->height;
        if (!Norvane::si4c::layoutMatches(frame, w, h, handle->decodeDual)) return false;
        const Norvane::si4c::DecodeLimits limits{handle->config.validDistMin, handle->config.validDistMax};
        Norvane::si4c::decodeCapture(frame, w, h, handle->decodeDual,
                                     handle->calibrated ? handle->calibration.data() : nullptr, limits, depth,
                                     amplitude, confidence);
        return true;
    });
}

void SiSDKDestroy(SiSDKHandle* handle) {
    if (!handle || !*handle) return;
    delete *handle;
    *handle = nullptr;
}

}  // extern "C"
