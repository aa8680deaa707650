// Helpers for tests of the simulated evaluation kit.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sdk/evk/norvane_evk_sdk.h"

namespace evktest {

// Writes `text` to a fresh file in the test's temporary directory.
inline std::string writeFile(const std::string& name, const std::string& text) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A kit opened (and initialised) on a configuration text; closed at the end.
class Kit {
public:
    explicit Kit(const std::string& configText = std::string(), bool start = true) {
        EvkParam p;
        NorvaneDefaultParam(&p);
        std::string path;
        if (!configText.empty()) {
            const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
            path = writeFile(std::string(t->test_suite_name()) + "_" + t->name() + ".conf", configText);
            p.config_path = path.c_str();
        }
        openResult = NorvaneOpenCamera(&handle, &p);
        if (openResult != 0) return;
        EXPECT_EQ(NorvaneInitCamera(handle), 0);
        std::memset(&config, 0, sizeof config);
        EXPECT_EQ(NorvaneGetCameraConfig(handle, &config), 0);
        if (start) {
            EXPECT_EQ(NorvaneStartCamera(handle), 0);
        }
    }
    ~Kit() {
        if (handle) NorvaneCloseCamera(handle);
    }
    Kit(const Kit&) = delete;
    Kit& operator=(const Kit&) = delete;

    size_t frameBytes() const { return size_t(config.width) * config.height * 2; }

    // Captures `frames` frames into `out` back to back, with their
    // timestamps; false if any capture fails.
    bool capture(int frames, std::vector<uint8_t>& out, std::vector<uint64_t>* stamps = nullptr, int timeoutMs = 2000) {
        out.resize(frameBytes() * frames);
        for (int k = 0; k < frames; ++k) {
            EvkFrame f;
            int rc = NorvaneCaptureImage(handle, &f, timeoutMs);
            EXPECT_EQ(rc, 0);
            if (rc != 0) return false;
            EXPECT_EQ(f.size, frameBytes());
            std::memcpy(out.data() + frameBytes() * k, f.data, frameBytes());
            if (stamps) stamps->push_back(f.timestamp);
            EXPECT_EQ(NorvaneFreeImage(handle, f), 0);
        }
        return true;
    }

    EvkHandle handle = nullptr;
    int openResult = -1;
    EvkCameraConfig config{};
};

}  // namespace evktest
