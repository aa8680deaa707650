#include "sdk/evk/EvkSimulator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sdk/VgaCaptureLayout.h"
#include "sdk/evk/EvkScene.h"

namespace Norvane {
namespace evk {

namespace {

constexpr double kTwoPi = 6.28318530717958647692;
constexpr int kHqvgaPixels = kHqvgaWidth * kHqvgaHeight;
constexpr int kHqvgaSampleMin = -1024;  // signed 11-bit samples
constexpr int kHqvgaSampleMax = 1023;
constexpr uint16_t kSampleMask = (1u << kSampleBits) - 1;
constexpr uint16_t kNoMask = 0xFFFF;
constexpr const char* kModel = "Norvane EVK simulator";
constexpr const char* kSerial = "SIM-00000001";

// Phase of a distance for a modulation with the given unambiguous range.
double phaseOf(double distanceMm, double rangeMm) { return kTwoPi * std::fmod(distanceMm, rangeMm) / rangeMm; }

uint16_t encodeHqvga(int32_t s) { return uint16_t(uint16_t(s) & kSampleMask); }

// What a pixel receives at one modulation.
struct PixelReturn {
    double amplitude;  // of the modulation, DN
    double phase;      // radians, in [0, 2 pi)
    double lightDn;    // mean signal of each sample: ambient light plus the returns
};

// The rays of every pixel of a width x height image: the centre ray, or with
// `mixedPixels` the rays across its footprint.
class View {
public:
    View(const KitConfig& config, int width, int height);
    PixelReturn returnOf(size_t pixel, double rangeMm) const;

private:
    int raysPerPixel;
    std::vector<SurfaceHit> hits;
};

// Phase differences (x, y) of a pixel receiving `r`: on the lattice where
// the amplitude allows an exact phase, rounded where the signal is too low.
void phaseDifferences(const PixelReturn& r, int32_t* x, int32_t* y) {
    if (r.amplitude >= kMinAmplitude) {
        latticeDifferences(r.phase, 2.0 * r.amplitude, x, y);
        return;
    }
    *x = int32_t(std::lround(2.0 * r.amplitude * std::cos(r.phase)));
    *y = int32_t(std::lround(2.0 * r.amplitude * std::sin(r.phase)));
}

View::View(const KitConfig& config, int width, int height)
    : raysPerPixel(config.mixedPixels ? kRaysPerPixel : 1), hits(size_t(width) * size_t(height) * raysPerPixel) {
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            SurfaceHit* pixel = &hits[(size_t(r) * width + c) * raysPerPixel];
            if (config.mixedPixels)
                traceFootprint(config.scene, width, height, c, r, pixel);
            else
                *pixel = tracePixel(config.scene, width, height, c, r);
        }
    }
}

PixelReturn View::returnOf(size_t pixel, double rangeMm) const {
    const SurfaceHit* rays = &hits[pixel * raysPerPixel];
    if (raysPerPixel == 1) {
        const double a = amplitudeOf(rays[0]);
        return {a, phaseOf(rays[0].distanceMm, rangeMm), kAmbientLight + a};
    }
    // Each ray's return adds to the correlation samples as a phasor; the
    // pixel reads their sum, saturating as one.
    double re = 0.0, im = 0.0, sum = 0.0;
    for (int k = 0; k < raysPerPixel; ++k) {
        const double a = kActiveAmplitude * rays[k].albedo / (rays[k].distanceMm / 1000.0);
        const double phi = phaseOf(rays[k].distanceMm, rangeMm);
        re += a * std::cos(phi);
        im += a * std::sin(phi);
        sum += a;
    }
    const double amplitude = std::hypot(re, im) / raysPerPixel;
    const double phase = std::fmod(std::atan2(im, re) + kTwoPi, kTwoPi);
    return {std::min(kMaxAmplitude, amplitude), phase, kAmbientLight + std::min(kMaxAmplitude, sum / raysPerPixel)};
}

}  // namespace

Simulator::Simulator(const KitConfig& config) : cfg(config), opened(Clock::now()), noise(config.seed) {}

int Simulator::frameWidth() const { return cfg.geometry == Geometry::Hqvga ? kHqvgaWidth : cfg.width; }

int Simulator::frameHeight() const {
    return cfg.geometry == Geometry::Hqvga ? kHqvgaHeight : vga::captureRows(cfg.height, cfg.dualFrequency);
}

void Simulator::renderHqvga() {
    const View view(cfg, kHqvgaWidth, kHqvgaHeight);
    sigma.resize(kHqvgaPixels);
    // Phase frame k samples offset + a cos(phi - theta_k). Long range:
    // y = S2 - S0, x = S3 - S1; short range: y = S1 - S3, x = S2 - S0.
    struct Order {
        double rangeMm;
        int yPlus, yMinus, xPlus, xMinus;
    };
    const Order orders[2] = {{kLongRangeMm, 2, 0, 3, 1}, {kShortRangeMm, 1, 3, 2, 0}};
    for (int m = 0; m < 2; ++m) {
        Rendering& out = hqvga[m];
        out.clean.assign(size_t(kHqvgaPhases) * kHqvgaPixels, 0);
        out.encoded.assign(out.clean.size(), 0);
        const Order& o = orders[m];
        for (int i = 0; i < kHqvgaPixels; ++i) {
            const PixelReturn ret = view.returnOf(size_t(i), o.rangeMm);
            if (m == 0) sigma[i] = shotSigma(ret.lightDn);
            int32_t x, y, s[kHqvgaPhases];
            phaseDifferences(ret, &x, &y);
            splitDifference(kHqvgaAmbientOffset, y, &s[o.yPlus], &s[o.yMinus]);
            splitDifference(kHqvgaAmbientOffset, x, &s[o.xPlus], &s[o.xMinus]);
            for (int k = 0; k < kHqvgaPhases; ++k) {
                size_t at = size_t(k) * kHqvgaPixels + i;
                out.clean[at] = int16_t(s[k]);
                out.encoded[at] = encodeHqvga(s[k]);
            }
        }
    }
}

void Simulator::renderVga() {
    const int w = cfg.width, h = cfg.height;
    const bool dual = cfg.dualFrequency;
    const View view(cfg, w, h);
    sigma.resize(size_t(w) * h);
    vga.clean.assign(size_t(w) * vga::captureRows(h, dual), 0);
    const int subFrames = vga::kSubFramesPerFrequency * vga::frequencies(dual);
    for (int j = 0; j < subFrames; ++j) {
        int16_t* meta = &vga.clean[vga::rowOffset(w, h, j, 0)];
        meta[vga::kMetaSubFrame] = int16_t(j);
        meta[vga::kMetaFrequency] = int16_t(j / vga::kSubFramesPerFrequency);
        meta[vga::kMetaPhase] = int16_t(j % vga::kSubFramesPerFrequency);
    }
    // Phase k carries B + a cos(phi - k pi / 2): x = P0 - P2, y = P1 - P3.
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const size_t pixel = size_t(r) * w + c;
            for (int f = 0; f < vga::frequencies(dual); ++f) {
                const PixelReturn ret = view.returnOf(pixel, vga::rangeMm(dual, f));
                if (f == 0) sigma[pixel] = shotSigma(ret.lightDn);
                int32_t x, y, p[vga::kPhasesPerFrequency];
                phaseDifferences(ret, &x, &y);
                // The offset follows the amplitude the phase pair ended up with,
                // so no sample drops below the ambient light.
                const int32_t base = int32_t(std::lround(kAmbientLight + 0.5 * std::hypot(double(x), double(y))));
                splitDifference(base, x, &p[0], &p[2]);
                splitDifference(base, y, &p[1], &p[3]);
                const int first = f * vga::kSubFramesPerFrequency;
                for (int k = 0; k < vga::kPhasesPerFrequency; ++k)
                    vga.clean[vga::rowOffset(w, h, first + k, 1 + r) + c] = int16_t(p[k]);
                vga.clean[vga::rowOffset(w, h, first + vga::kGreyPhaseIndex, 1 + r) + c] = int16_t(base);
            }
        }
    }
    vga.encoded.assign(vga.clean.begin(), vga.clean.end());
}

int Simulator::init() {
    std::lock_guard<std::mutex> lock(mutex);
    if (initialised) return NORVANE_EVK_OK;
    if (cfg.geometry == Geometry::Hqvga)
        renderHqvga();
    else
        renderVga();
    for (Slot& s : slots) s.samples.assign(frameBytes() / 2, 0);
    initialised = true;
    return NORVANE_EVK_OK;
}

void Simulator::describe(EvkCameraConfig* out) const {
    std::memset(out, 0, sizeof *out);
    std::strncpy(out->model, kModel, sizeof out->model - 1);
    std::strncpy(out->serial, kSerial, sizeof out->serial - 1);
    out->width = uint32_t(frameWidth());
    out->height = uint32_t(frameHeight());
    out->bit_width = kSampleBits;
}

int Simulator::start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!initialised) return NORVANE_EVK_NOT_STARTED;
    if (started) return NORVANE_EVK_OK;
    started = true;
    streamStart = Clock::now();
    streamFirst = sequence;
    phase = 0;
    return NORVANE_EVK_OK;
}

int Simulator::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        started = false;
        phase = 0;  // a capture cut short is not resumed
    }
    wake.notify_all();
    return NORVANE_EVK_OK;
}

int Simulator::freeSlot() const {
    for (int i = 0; i < kFrameSlots; ++i)
        if (!slots[i].lent) return i;
    return -1;
}

int Simulator::awaitCapture(std::unique_lock<std::mutex>& lock, int timeoutMs, Clock::time_point& due) {
    if (!paced()) {
        due = Clock::now();
        return NORVANE_EVK_OK;
    }
    const std::chrono::duration<double> period(1.0 / cfg.fps);
    auto notStreaming = [this] { return !started; };
    for (;;) {
        const Clock::time_point now = Clock::now();
        due = streamStart + std::chrono::duration_cast<Clock::duration>(period * double(sequence - streamFirst));
        if (now >= due) {
            // A camera streams on whether or not it is read: captures the
            // reader missed are gone.
            uint64_t onTime = uint64_t(std::chrono::duration<double>(now - streamStart) / period);
            if (streamFirst + onTime > sequence) {
                sequence = streamFirst + onTime;
                due = streamStart + std::chrono::duration_cast<Clock::duration>(period * double(onTime));
            }
            return NORVANE_EVK_OK;
        }
        if (timeoutMs >= 0 && due > now + std::chrono::milliseconds(timeoutMs)) {
            wake.wait_until(lock, now + std::chrono::milliseconds(timeoutMs), notStreaming);
            return started ? NORVANE_EVK_TIMEOUT : NORVANE_EVK_NOT_STARTED;
        }
        if (wake.wait_until(lock, due, notStreaming)) return NORVANE_EVK_NOT_STARTED;
    }
}

void Simulator::renderFrame(uint16_t* out) {
    const float scale = float(cfg.noise);
    if (cfg.geometry == Geometry::Hqvga) {
        const Rendering& r = hqvga[shortRange ? 1 : 0];
        const size_t offset = size_t(phase) * kHqvgaPixels;
        if (cfg.noise == 0.0)
            std::memcpy(out, r.encoded.data() + offset, size_t(kHqvgaPixels) * 2);
        else
            noise.apply(r.clean.data() + offset, sigma.data(), kHqvgaPixels, scale, kHqvgaSampleMin, kHqvgaSampleMax,
                        kSampleMask, out);
        return;
    }
    const int w = cfg.width, h = cfg.height;
    const int subFrames = vga::kSubFramesPerFrequency * vga::frequencies(cfg.dualFrequency);
    if (cfg.noise == 0.0) {
        std::memcpy(out, vga.encoded.data(), vga.encoded.size() * 2);
    } else {
        for (int j = 0; j < subFrames; ++j) {
            size_t meta = vga::rowOffset(w, h, j, 0), image = vga::rowOffset(w, h, j, 1);
            std::memcpy(out + meta, vga.encoded.data() + meta, size_t(w) * 2);
            noise.apply(vga.clean.data() + image, sigma.data(), size_t(w) * h, scale, 0, vga::kSampleMax, kNoMask,
                        out + image);
        }
    }
    for (int j = 0; j < subFrames; ++j)
        out[vga::rowOffset(w, h, j, 0) + vga::kMetaCounter] = uint16_t(sequence & 0xFFFF);
}

int Simulator::capture(EvkFrame* frame, int timeoutMs) {
    if (!frame) return NORVANE_EVK_INVALID_ARGUMENT;
    std::unique_lock<std::mutex> lock(mutex);
    if (!initialised || !started) return NORVANE_EVK_NOT_STARTED;
    if (freeSlot() < 0) return NORVANE_EVK_NO_BUFFER;
    Clock::time_point due{};
    if (phase == 0) {
        int rc = awaitCapture(lock, timeoutMs, due);
        if (rc != NORVANE_EVK_OK) return rc;
    }
    const int slot = freeSlot();  // the lock was released while waiting
    if (slot < 0) return NORVANE_EVK_NO_BUFFER;
    if (phase == 0) {
        // The modulation register is read once per capture, so a register
        // write during a capture takes effect with the next one.
        uint32_t divider = modulationDivider.load(std::memory_order_relaxed);
        if (divider == kDividerShortRange) shortRange = true;
        if (divider == kDividerLongRange) shortRange = false;
        uint64_t ts = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(due - opened).count());
        if (haveCaptureTs && ts < captureTs + kCaptureSpacingMs) ts = captureTs + kCaptureSpacingMs;
        captureTs = ts;
        haveCaptureTs = true;
    }
    Slot& s = slots[slot];
    renderFrame(s.samples.data());
    s.lent = true;

    std::memset(frame, 0, sizeof *frame);
    frame->frame_index = uint32_t(sequence);
    frame->sub_frame = uint32_t(phase);
    frame->timestamp = captureTs + uint64_t(phase) * kPhaseSpacingMs;
    frame->width = uint32_t(frameWidth());
    frame->height = uint32_t(frameHeight());
    frame->size = uint32_t(frameBytes());
    frame->data = reinterpret_cast<uint8_t*>(s.samples.data());
    frame->bit_width = kSampleBits;
    frame->kit_private = uint64_t(slot) + 1;

    if (++phase == framesPerCapture()) {
        phase = 0;
        ++sequence;
    }
    return NORVANE_EVK_OK;
}

int Simulator::release(const EvkFrame& frame) {
    std::lock_guard<std::mutex> lock(mutex);
    uint64_t slot = frame.kit_private - 1;
    if (frame.kit_private == 0 || slot >= uint64_t(kFrameSlots)) return NORVANE_EVK_INVALID_ARGUMENT;
    Slot& s = slots[slot];
    if (!s.lent || frame.data != reinterpret_cast<const uint8_t*>(s.samples.data()))
        return NORVANE_EVK_INVALID_ARGUMENT;
    s.lent = false;
    return NORVANE_EVK_OK;
}

int Simulator::writeRegister(uint32_t reg, uint32_t value) {
    if (reg >= kRegisterSpace) return NORVANE_EVK_INVALID_ARGUMENT;
    if (reg == kRegModulationDivider) modulationDivider.store(value, std::memory_order_relaxed);
    return NORVANE_EVK_OK;
}

}  // namespace evk
}  // namespace Norvane
