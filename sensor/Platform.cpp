#include "sensor/Platform.h"

#include <cstring>
#include <string>

#include "kernel/Kernel.h"
#include "kernel/KernelFiles.h"

namespace Norvane {

namespace {
constexpr const char* kModelPath = "/sys/firmware/devicetree/base/model";
constexpr const char* kCompatiblePath = "/sys/firmware/devicetree/base/compatible";
constexpr const char* kMediaDevices = "/sys/bus/media/devices";
constexpr size_t kModelBufferSize = 100;  // one line of at most 99 characters
constexpr size_t kCompatibleSize = 512;   // a board's list is a few dozen characters
constexpr size_t kNameSize = 64;

struct Clue {
    const char* name;
    PlatformType platform;
};

// The systems-on-chip whose camera receiver we know: the last strings of a
// board's compatible list. A Compute Module or an Orin Nano names its SoC
// here whatever its marketing name says.
constexpr Clue kSocs[] = {
    {"brcm,bcm2712", PLATFORM_RASPBERRY_PI_5},     // RP1 front end
    {"brcm,bcm2711", PLATFORM_RASPBERRY_PI},       // unicam, as on every earlier Pi
    {"brcm,bcm2837", PLATFORM_RASPBERRY_PI},
    {"brcm,bcm2836", PLATFORM_RASPBERRY_PI},
    {"brcm,bcm2835", PLATFORM_RASPBERRY_PI},
    {"nvidia,tegra210", PLATFORM_JETSON_NANO},     // Nano, TX1
    {"nvidia,tegra186", PLATFORM_JETSON},          // TX2
    {"nvidia,tegra194", PLATFORM_JETSON},          // Xavier
    {"nvidia,tegra234", PLATFORM_JETSON},          // every Orin, the Orin Nano too
    {"rockchip,rk3588", PLATFORM_RADXA_ROCK},
    {"rockchip,rk3588s", PLATFORM_RADXA_ROCK},
    {"rockchip,rk3568", PLATFORM_RADXA_ROCK},
    {"rockchip,rk3566", PLATFORM_RADXA_ROCK},
};

// Receiver drivers, by the start of their media device's model or of their
// driver's name. The Tegra video input serves both Jetson families.
constexpr Clue kReceivers[] = {
    {"rp1-cfe", PLATFORM_RASPBERRY_PI_5},
    {"unicam", PLATFORM_RASPBERRY_PI},
    {"rkcif", PLATFORM_RADXA_ROCK},
    {"NVIDIA Tegra Video Input Device", PLATFORM_JETSON},
};

bool contains(const char* text, const char* word) { return std::strstr(text, word) != nullptr; }
bool startsWith(const char* text, const char* word) { return std::strncmp(text, word, std::strlen(word)) == 0; }

PlatformType fromCompatible() {
    char list[kCompatibleSize];
    size_t n = readFileBytes(kCompatiblePath, list, sizeof list - 1);
    list[n] = '\0';
    // NUL-separated strings, the board's first, its SoC's last.
    for (size_t at = 0; at < n; at += std::strlen(list + at) + 1)
        for (const Clue& c : kSocs)
            if (std::strcmp(list + at, c.name) == 0) return c.platform;
    return PLATFORM_UNKNOWN;
}

PlatformType receiverClue(const char* name) {
    for (const Clue& c : kReceivers)
        if (startsWith(name, c.name)) return c.platform;
    return PLATFORM_UNKNOWN;
}

// The receivers registered now: each media device's model, then the name
// of the driver behind it.
PlatformType fromReceivers() {
    void* dir = kernel().openDir(kMediaDevices);
    if (!dir) return PLATFORM_UNKNOWN;
    PlatformType found = PLATFORM_UNKNOWN;
    while (const char* entry = kernel().readDir(dir)) {
        if (!startsWith(entry, "media")) continue;
        const std::string base = std::string(kMediaDevices) + "/" + entry;
        char text[kNameSize];
        if (readFirstLine((base + "/model").c_str(), text, sizeof text)) found = receiverClue(text);
        if (found != PLATFORM_UNKNOWN) break;
        ssize_t n = kernel().readlink((base + "/device/driver").c_str(), text, sizeof text - 1);
        if (n <= 0) continue;
        text[n] = '\0';
        const char* last = std::strrchr(text, '/');
        found = receiverClue(last ? last + 1 : text);
        if (found != PLATFORM_UNKNOWN) break;
    }
    kernel().closeDir(dir);
    return found;
}
}  // namespace

PlatformType platformFromModel(const char* model) {
    if (contains(model, "Jetson")) {
        // Every Orin is a tegra234, the Orin Nano too.
        if (contains(model, "Xavier") || contains(model, "Orin")) return PLATFORM_JETSON;
        if (contains(model, "TX1") || contains(model, "Nano")) return PLATFORM_JETSON_NANO;
        return PLATFORM_JETSON;
    }
    if (contains(model, " Orin")) return PLATFORM_JETSON;
    if (contains(model, "Raspberry"))
        return contains(model, "Pi 5") || contains(model, "Compute Module 5") ? PLATFORM_RASPBERRY_PI_5
                                                                               : PLATFORM_RASPBERRY_PI;
    if (contains(model, "Radxa ROCK")) return PLATFORM_RADXA_ROCK;
    return PLATFORM_UNKNOWN;
}

PlatformType detectPlatform() {
    char model[kModelBufferSize];
    // The model text is NUL-terminated; the C string ends there.
    PlatformType byModel = readFirstLine(kModelPath, model, sizeof model) ? platformFromModel(model) : PLATFORM_UNKNOWN;
    PlatformType bySoc = fromCompatible();
    PlatformType byReceiver = fromReceivers();
    // The receiver decides the capture path; the Tegra one leaves the two
    // Jetson families to the SoC, or to the model text.
    if (isJetsonFamily(byReceiver)) {
        if (isJetsonFamily(bySoc)) return bySoc;
        return isJetsonFamily(byModel) ? byModel : byReceiver;
    }
    if (byReceiver != PLATFORM_UNKNOWN) return byReceiver;
    return bySoc != PLATFORM_UNKNOWN ? bySoc : byModel;
}

}  // namespace Norvane
