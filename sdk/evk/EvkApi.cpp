// The C interface of the evaluation kit, answered by the simulator. No
// exception leaves these functions.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "sdk/evk/EvkConfig.h"
#include "sdk/evk/EvkSimulator.h"
#include "sdk/evk/norvane_evk_sdk.h"

struct EvkCamera {
    explicit EvkCamera(const Norvane::evk::KitConfig& config) : sim(config) {}
    Norvane::evk::Simulator sim;
};

namespace {

using Norvane::evk::KitConfig;

// Runs `body` on an open kit, turning a null handle and any exception into
// an error code.
template <typename Body>
int withKit(EvkHandle handle, Body body) {
    if (!handle) return NORVANE_EVK_INVALID_ARGUMENT;
    try {
        return body(handle->sim);
    } catch (...) {
        return NORVANE_EVK_ERROR;
    }
}

}  // namespace

extern "C" {

int NorvaneDefaultParam(EvkParam* param) {
    if (!param) return NORVANE_EVK_INVALID_ARGUMENT;
    std::memset(param, 0, sizeof *param);
    param->config_path = nullptr;
    return NORVANE_EVK_OK;
}

int NorvaneOpenCamera(EvkHandle* handle, const EvkParam* param) {
    if (!handle || !param) return NORVANE_EVK_INVALID_ARGUMENT;
    try {
        KitConfig config;
        if (param->config_path && param->config_path[0] != '\0') {
            std::string error;
            if (param->bin_file) {
                error = std::string("evk: ") + param->config_path +
                        ": binary configuration files need the vendor's library";
            } else {
                Norvane::evk::loadConfig(param->config_path, config, error);
            }
            if (!error.empty()) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return NORVANE_EVK_BAD_CONFIG;
            }
        }
        *handle = new EvkCamera(config);
        return NORVANE_EVK_OK;
    } catch (...) {
        return NORVANE_EVK_ERROR;
    }
}

int NorvaneInitCamera(EvkHandle handle) {
    return withKit(handle, [](Norvane::evk::Simulator& sim) { return sim.init(); });
}

int NorvaneGetCameraConfig(EvkHandle handle, EvkCameraConfig* config) {
    if (!config) return NORVANE_EVK_INVALID_ARGUMENT;
    return withKit(handle, [config](Norvane::evk::Simulator& sim) {
        sim.describe(config);
        return int(NORVANE_EVK_OK);
    });
}

int NorvaneStartCamera(EvkHandle handle) {
    return withKit(handle, [](Norvane::evk::Simulator& sim) { return sim.start(); });
}

int NorvaneStopCamera(EvkHandle handle) {
    return withKit(handle, [](Norvane::evk::Simulator& sim) { return sim.stop(); });
}

int NorvaneCaptureImage(EvkHandle handle, EvkFrame* frame, int timeout_ms) {
    return withKit(handle,
                   [frame, timeout_ms](Norvane::evk::Simulator& sim) { return sim.capture(frame, timeout_ms); });
}

int NorvaneFreeImage(EvkHandle handle, EvkFrame frame) {
    return withKit(handle, [&frame](Norvane::evk::Simulator& sim) { return sim.release(frame); });
}

int NorvaneCloseCamera(EvkHandle handle) {
    if (!handle) return NORVANE_EVK_INVALID_ARGUMENT;
    delete handle;
    return NORVANE_EVK_OK;
}

int NorvaneWriteSensorReg(EvkHandle handle, uint32_t reg, uint32_t value) {
    return withKit(handle, [reg, value](Norvane::evk::Simulator& sim) { return sim.writeRegister(reg, value); });
}

}  // extern "C"
