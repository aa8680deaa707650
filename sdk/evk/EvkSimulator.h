// The simulated evaluation kit behind the C interface: renders the scene,
// paces the captures on a steady clock and lends out frame buffers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sdk/evk/EvkConfig.h"
#include "sdk/evk/EvkRender.h"
#include "sdk/evk/norvane_evk_sdk.h"

namespace Norvane {
namespace evk {

// HQVGA sensor: 240 x 180 samples, four phase frames per capture.
constexpr int kHqvgaWidth = 240;
constexpr int kHqvgaHeight = 180;
constexpr int kHqvgaPhases = 4;
constexpr int kSampleBits = 12;

// The range register sets: register 0x216C divides the 600 MHz modulation
// clock, 8 for 75 MHz (2000 mm unambiguous range), 16 for 37.5 MHz (4000 mm).
constexpr uint32_t kRegModulationDivider = 0x216C;
constexpr uint32_t kDividerShortRange = 0x08;
constexpr uint32_t kDividerLongRange = 0x10;
constexpr double kShortRangeMm = 2000.0;
constexpr double kLongRangeMm = 4000.0;
constexpr uint32_t kRegisterSpace = 0x10000;  // 16-bit register addresses

// Timestamps, in milliseconds: frames of one capture are kPhaseSpacingMs
// apart, consecutive captures at least kCaptureSpacingMs.
constexpr uint64_t kPhaseSpacingMs = 1;
constexpr uint64_t kCaptureSpacingMs = 10;

// Frame buffers the kit can lend out at once.
constexpr int kFrameSlots = 3;

class Simulator {
public:
    explicit Simulator(const KitConfig& config);

    const KitConfig& config() const { return cfg; }
    // Renders the noise-free scene for every modulation. 0 or an error code.
    int init();
    void describe(EvkCameraConfig* out) const;
    int start();
    int stop();
    int capture(EvkFrame* frame, int timeoutMs);
    int release(const EvkFrame& frame);
    // Lock-free: may run while another thread captures.
    int writeRegister(uint32_t reg, uint32_t value);

    int frameWidth() const;
    int frameHeight() const;
    size_t frameBytes() const { return size_t(frameWidth()) * size_t(frameHeight()) * 2; }
    int framesPerCapture() const { return cfg.geometry == Geometry::Hqvga ? kHqvgaPhases : 1; }

private:
    using Clock = std::chrono::steady_clock;

    struct Slot {
        std::vector<uint16_t> samples;
        bool lent = false;
    };
    // The noise-free samples of one modulation: signed values before
    // encoding (for the noise) and the encoded frames (copied as they are).
    struct Rendering {
        std::vector<int16_t> clean;
        std::vector<uint16_t> encoded;
    };

    void renderHqvga();
    void renderVga();
    void renderFrame(uint16_t* out);
    int freeSlot() const;
    // Waits until the next capture is due and sets `due`; 0 or an error
    // code. Called with the lock held (released while waiting).
    int awaitCapture(std::unique_lock<std::mutex>& lock, int timeoutMs, Clock::time_point& due);
    bool paced() const { return cfg.fps > 0.0; }

    const KitConfig cfg;
    const Clock::time_point opened;
    std::atomic<uint32_t> modulationDivider{kDividerLongRange};

    std::mutex mutex;
    std::condition_variable wake;
    bool initialised = false;
    bool started = false;
    ShotNoise noise;
    Rendering hqvga[2];        // [0] long range, [1] short range
    Rendering vga;             // the whole capture, metadata rows included
    std::vector<float> sigma;  // shot noise per pixel
    Slot slots[kFrameSlots];

    // Capture sequence.
    Clock::time_point streamStart;
    uint64_t sequence = 0;     // index of the next capture since open
    uint64_t streamFirst = 0;  // index of the first capture of this stream
    int phase = 0;             // next frame within the capture
    bool shortRange = false;   // modulation of the capture in progress
    uint64_t captureTs = 0;
    bool haveCaptureTs = false;
};

}  // namespace evk
}  // namespace Norvane
