// Figures of the frame path, one per line as "name value unit": the camera on
// the simulated kit through the USB transport, the capture thread and a
// consumer thread, unpaced and at 30 captures per second; and the wake-up of
// a consumer waiting in requestFrame when the capture thread publishes.
//
// Each figure comes with a baseline measured in the same run: the HQVGA
// decode of one capture, and a bare condition-variable hand-over.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/NorvaneTOFCamera.h"
#include "device/HqvgaKernel.h"
#include "device/NorvaneDeviceHQVGA.h"

using namespace Norvane;

namespace {

using Clock = std::chrono::steady_clock;

constexpr short kRequestTimeoutMs = 1000;
constexpr double kWarmUpSeconds = 0.3;
constexpr double kUnpacedSeconds = 2.0;
constexpr double kPacedSeconds = 3.0;
constexpr int kDecodeRounds = 301;
// Captures of the wake-up figures, one every kWakeupPeriod: long enough
// that the consumer is always waiting again when the next one is published.
constexpr int kWakeupSamples = 800;
constexpr int kWakeupBlocks = 20;
constexpr std::chrono::microseconds kWakeupPeriod{2000};

void print(const char* name, double value, const char* unit) { std::printf("%s %.6g %s\n", name, value, unit); }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "pipeline bench: %s\n", what);
    std::exit(1);
}

// A configuration file for the simulated kit, removed with the object.
class KitFile {
public:
    explicit KitFile(const std::string& text) {
        char name[] = "/tmp/norvane-bench-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) fail("cannot create the kit configuration file");
        path = name;
        const ssize_t n = write(fd, text.data(), text.size());
        ::close(fd);
        if (n != ssize_t(text.size())) fail("cannot write the kit configuration file");
    }
    ~KitFile() { unlink(path.c_str()); }
    KitFile(const KitFile&) = delete;
    KitFile& operator=(const KitFile&) = delete;

    std::string path;
};

// A consumer thread taking and giving back every frame it can get.
class Consumer {
public:
    explicit Consumer(NorvaneTOFCamera& cam)
        : worker([this, &cam] {
              while (!done.load()) {
                  if (NorvaneFrameBuffer* f = cam.requestFrame(kRequestTimeoutMs)) {
                      frames.fetch_add(1);
                      cam.releaseFrame(f);
                  }
              }
          }) {}
    ~Consumer() {
        done.store(true);
        worker.join();
    }
    Consumer(const Consumer&) = delete;
    Consumer& operator=(const Consumer&) = delete;

    long delivered() const { return frames.load(); }

private:
    std::atomic<bool> done{false};
    std::atomic<long> frames{0};
    std::thread worker;
};

struct PipelineFigures {
    double fps;
    double cpuUsPerFrame;
};

// The camera on the kit described by `kitText`, streaming depth to a
// consumer thread: delivered frames per second and process CPU time per
// delivered frame over `windowSeconds`.
PipelineFigures runPipeline(const std::string& kitText, double windowSeconds) {
    KitFile kit(kitText);
    NorvaneTOFCamera cam;
    if (cam.openWithFile(kit.path.c_str(), 0) != NorvaneSuccess) fail("the kit did not open");
    if (cam.start(FrameType::DEPTH) != NorvaneSuccess) fail("the kit did not start");
    PipelineFigures out{};
    {
        Consumer consumer(cam);
        std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
        const long f0 = consumer.delivered();
        const double cpu0 = processCpuSeconds();
        const Clock::time_point t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
        const long f1 = consumer.delivered();
        const double cpu1 = processCpuSeconds();
        const Clock::time_point t1 = Clock::now();
        if (f1 <= f0) fail("no frame delivered");
        out.fps = double(f1 - f0) / seconds(t1 - t0);
        out.cpuUsPerFrame = (cpu1 - cpu0) * 1e6 / double(f1 - f0);
    }
    cam.stop();
    cam.close();
    return out;
}

// The decode the device runs, on one capture of random samples.
double decodeMicroseconds() {
    std::mt19937 rng(42);
    std::vector<uint8_t> capture(hqvga::kCaptureBytes);
    for (auto& b : capture) b = uint8_t(rng());
    std::vector<float> depth(hqvga::kPixels), amplitude(hqvga::kPixels), confidence(hqvga::kPixels);
    const hqvga::DecodeParams params{hqvga::kLongRangeHz, false, 0};
    std::vector<double> us;
    for (int i = 0; i < kDecodeRounds; ++i) {
        const Clock::time_point t0 = Clock::now();
        hqvga::decodeDepth(capture.data(), params, depth.data(), amplitude.data(), confidence.data());
        us.push_back(seconds(Clock::now() - t0) * 1e6);
    }
    return median(us);
}

// A 240 x 180 sensor delivering one capture every kWakeupPeriod.
class PacedSensor : public NorvaneTOFSensor {
public:
    int open(CameraInfo& info) override {
        info.width = hqvga::kWidth;
        info.height = hqvga::kHeight;
        info.bit_width = 12;
        info.bpp = 2;
        description = info;
        return 0;
    }
    int close() override { return 0; }
    int start() override {
        next = Clock::now();
        return 0;
    }
    int stop() override { return 0; }
    CameraInfo getCameraInfo() override { return description; }
    int getFrame(uint8_t*, int64_t* timestamp) override {
        next += kWakeupPeriod;
        std::this_thread::sleep_until(next);
        *timestamp = ++count;
        return 0;
    }
    int setControl(int, int) override { return NorvaneInvalidParameter; }
    int getControl(int, int*) override { return NorvaneNotImplemented; }

private:
    CameraInfo description{};
    Clock::time_point next{};
    int64_t count = 0;
};

// The HQVGA device, writing the steady-clock time at the end of each decode
// into the first two confidence values: the capture thread publishes the
// frame right after.
class StampingDevice : public NorvaneDeviceHQVGA {
public:
    StampingDevice() : NorvaneDeviceHQVGA(PLATFORM_UNKNOWN, false) {}
    bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) override {
        const bool ok = NorvaneDeviceHQVGA::getPhaseImage(frame, depth, amplitude, confidence);
        const int64_t now = steadyNanoseconds();
        std::memcpy(confidence, &now, sizeof now);
        return ok;
    }
};

// A camera on the paced sensor with the stamping device.
class WakeupCamera {
public:
    WakeupCamera() {
        if (cam.openWithSensor(std::make_unique<PacedSensor>(), Connection::USB, 0) != NorvaneSuccess)
            fail("the paced sensor did not open");
        if (cam.installDevice(std::make_unique<StampingDevice>()) != NorvaneSuccess) fail("no device");
        cam.setControl(CameraCtrl::AUTO_FRAME_RATE, 0);
    }
    ~WakeupCamera() { cam.close(); }
    WakeupCamera(const WakeupCamera&) = delete;
    WakeupCamera& operator=(const WakeupCamera&) = delete;

    // Adds `n` samples: microseconds from the end of a decode (the publish)
    // to the return of the consumer's requestFrame.
    void sample(int n, std::vector<double>& us) {
        if (cam.start(FrameType::DEPTH) != NorvaneSuccess) fail("the paced sensor did not start");
        for (int i = 0; i < n; ++i) {
            NorvaneFrameBuffer* f = cam.requestFrame(kRequestTimeoutMs);
            const int64_t now = steadyNanoseconds();
            if (!f) fail("no frame from the paced sensor");
            int64_t stamp;
            std::memcpy(&stamp, f->getData(FrameType::CONFIDENCE), sizeof stamp);
            us.push_back(double(now - stamp) * 1e-3);
            cam.releaseFrame(f);
        }
        cam.stop();
    }

private:
    NorvaneTOFCamera cam;
};

// The same hand-over with nothing but a mutex, a condition variable and a
// flag: a thread sets the flag every kWakeupPeriod and notifies; the waiter
// notes how long after the notification it woke. Adds `n` samples.
void bareWakeup(int n, std::vector<double>& us) {
    std::mutex mutex;
    std::condition_variable cond;
    bool ready = false;
    int64_t stamp = 0;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        Clock::time_point next = Clock::now();
        while (!done.load()) {
            next += kWakeupPeriod;
            std::this_thread::sleep_until(next);
            {
                std::lock_guard<std::mutex> lock(mutex);
                ready = true;
                stamp = steadyNanoseconds();
            }
            cond.notify_all();
        }
    });
    for (int i = 0; i < n; ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait(lock, [&] { return ready; });
        const int64_t now = steadyNanoseconds();
        ready = false;
        us.push_back(double(now - stamp) * 1e-3);
    }
    done.store(true);
    producer.join();
}

}  // namespace

int main() {
    const double decodeUs = decodeMicroseconds();
    const PipelineFigures unpaced = runPipeline("geometry = hqvga\nfps = 0\nnoise = 0\n", kUnpacedSeconds);
    const PipelineFigures paced = runPipeline("geometry = hqvga\nfps = 30\nnoise = 0\n", kPacedSeconds);
    // The two wake-ups in alternating blocks, so that a busy stretch of the
    // machine falls on both alike.
    std::vector<double> wake, bare;
    {
        WakeupCamera camera;
        for (int b = 0; b < kWakeupBlocks; ++b) {
            camera.sample(kWakeupSamples / kWakeupBlocks, wake);
            bareWakeup(kWakeupSamples / kWakeupBlocks, bare);
        }
    }
    const double wakeUs = median(wake), bareUs = median(bare);

    print("pipeline_decode_us", decodeUs, "us");
    print("pipeline_fps_unpaced", unpaced.fps, "fps");
    print("pipeline_us_per_frame_over_decode", 1e6 / unpaced.fps / decodeUs, "x");
    print("pipeline_cpu_us_per_frame_unpaced", unpaced.cpuUsPerFrame, "us");
    print("pipeline_cpu_ms_per_frame", paced.cpuUsPerFrame * 1e-3, "ms");
    print("pipeline_cpu_per_frame_over_decode", paced.cpuUsPerFrame / decodeUs, "x");
    print("request_wakeup_us", wakeUs, "us");
    print("bare_wakeup_us", bareUs, "us");
    print("request_wakeup_over_bare", wakeUs / bareUs, "x");
    return 0;
}
