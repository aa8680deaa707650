// USB frame assembly against a scripted kit library: geometries and bit
// widths the kit reports, frames of any size, timestamps in any order,
// failed and empty captures, stops in the middle. getFrame never writes
// outside the capture buffer (sized exactly as the camera sizes it), hands
// every frame it took back to the kit, and answers 0 or -1.
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "sensor/usb/NorvaneTOFUSBSensor.h"
#include "tests/fakes/ScriptedEvk.h"

using namespace Norvane;

namespace {

constexpr int kMaxFrames = 32;
constexpr int kMaxCaptures = 8;

uint8_t bitWidth(FuzzedDataProvider& in) {
    static constexpr uint8_t kUsual[] = {8, 10, 12, 14, 16};
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) return in.ConsumeIntegral<uint8_t>();
    return kUsual[in.ConsumeIntegralInRange<size_t>(0, sizeof kUsual - 1)];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fake::ScriptedEvk& kit = fake::scriptedEvk();
    kit.reset();
    kit.config.width = in.ConsumeIntegralInRange<uint32_t>(0, 48);
    kit.config.height = in.ConsumeIntegralInRange<uint32_t>(0, 24);
    kit.config.bit_width = bitWidth(in);
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) kit.initResult = -1;

    const std::string path = fuzz::wordOrRandom(in, {"", "kit.bin", "kit.conf", ".bin", "a"}, 12);
    NorvaneTOFUSBSensor sensor(path, 0);
    CameraInfo info{};
    if (sensor.open(info) != 0) {
        FUZZ_CHECK(!kit.open());
        kit.reset();
        return 0;
    }
    FUZZ_CHECK(info.bpp == (info.bit_width > 8 ? 2u : 1u));
    sensor.framesPerCapture = in.ConsumeIntegralInRange<int>(-1, 5);

    const size_t expected = size_t(info.width) * info.height * info.bpp;
    int frames = in.ConsumeIntegralInRange<int>(0, kMaxFrames);
    uint64_t ts = in.ConsumeIntegral<uint32_t>();
    for (int i = 0; i < frames && in.remaining_bytes(); ++i) {
        fake::ScriptedFrame f;
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) f.result = in.ConsumeIntegralInRange<int>(-5, 5);
        ts = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? in.ConsumeIntegral<uint64_t>()
                                                       : ts + in.ConsumeIntegralInRange<uint64_t>(0, 12);
        f.timestamp = ts;
        size_t bytes = in.ConsumeIntegralInRange<int>(0, 5) == 0
                           ? in.ConsumeIntegralInRange<size_t>(0, 2 * expected + 8)
                           : expected;
        f.data.assign(bytes, in.ConsumeIntegral<uint8_t>());
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
            f.sizeFromData = false;
            f.size = in.ConsumeIntegral<uint32_t>();
        }
        f.nullData = in.ConsumeIntegralInRange<int>(0, 15) == 0;
        kit.frames.push_back(std::move(f));
    }

    const bool started = in.ConsumeIntegralInRange<int>(0, 7) != 0;
    if (started) sensor.start();
    const int perCapture = sensor.framesPerCapture > 0 ? sensor.framesPerCapture : 0;
    // The camera's capture buffer: width x (height x frames per capture) 16-bit samples.
    const size_t capacity = size_t(info.width) * info.height * size_t(perCapture) * 2;
    // Samples the transport can put on the 12-bit scale in 16 bits.
    const bool convertible = (info.bit_width == 8 && info.bpp == 1) || (info.bpp == 2 && info.bit_width <= 16);
    bool streaming = started;
    int captures = in.ConsumeIntegralInRange<int>(1, kMaxCaptures);
    for (int c = 0; c < captures; ++c) {
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
            sensor.stop();
            streaming = false;
        }
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity ? capacity : 1]);
        int64_t stamp = 0;
        int r = sensor.getFrame(buffer.get(), &stamp);
        FUZZ_CHECK(r == 0 || r == -1);
        FUZZ_CHECK(kit.framesLent() == 0);
        // A capture reported whole was written.
        if (r == 0 && streaming && perCapture > 0 && expected > 0) FUZZ_CHECK(convertible);
    }
    sensor.stop();
    sensor.close();
    FUZZ_CHECK(!kit.open());
    FUZZ_CHECK(kit.badHandles == 0 && kit.badFrees == 0);
    kit.reset();  // nothing of this run left allocated: no leak check triggered
    return 0;
}
