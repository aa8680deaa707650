#include "sensor/Platform.h"

#include <cstring>

#include "kernel/KernelFiles.h"

namespace Norvane {

namespace {
constexpr const char* kModelPath = "/sys/firmware/devicetree/base/model";
constexpr size_t kModelBufferSize = 100;  // one line of at most 99 characters

bool contains(const char* text, const char* word) { return std::strstr(text, word) != nullptr; }
}  // namespace

PlatformType platformFromModel(const char* model) {
    if (contains(model, "Jetson")) {
        if (contains(model, "Xavier")) return PLATFORM_JETSON;
        if (contains(model, "TX1") || contains(model, "Nano")) return PLATFORM_JETSON_NANO;
        return PLATFORM_JETSON;
    }
    if (contains(model, " Orin")) return PLATFORM_JETSON;
    if (contains(model, "Raspberry")) return contains(model, "Pi 5") ? PLATFORM_RASPBERRY_PI_5 : PLATFORM_RASPBERRY_PI;
    if (contains(model, "Radxa ROCK")) return PLATFORM_RADXA_ROCK;
    return PLATFORM_UNKNOWN;
}

PlatformType detectPlatform() {
    char model[kModelBufferSize];
    // The model text is NUL-terminated; the C string ends there.
    if (!readFirstLine(kModelPath, model, sizeof model)) return PLATFORM_UNKNOWN;
    return platformFromModel(model);
}

}  // namespace Norvane
