// The camera on a real kernel: runs inside the test VM against the
// norvane-test-sensor module, through the camera's public interface.
//
//   norvane-vmtest CASE [camera] [knob=value ...] [later:knob=value ...]
//
// Knobs go to the module's debugfs directory of the camera before the test
// opens it; "later:" knobs once the first frame has arrived. Prints one
// "ok:" or "FAIL:" line per check and exits 0 only when every check passed.
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/NorvaneTOFCamera.h"
#include "device/HqvgaKernel.h"
#include "sensor/Platform.h"
#include "sensor/TransportFactory.h"

using namespace Norvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kW = 240, kH = 180;
constexpr size_t kFrameBytes = size_t(kW) * kH * 2;
constexpr int kAmplitude = 500;          // in 11-bit sample units
constexpr float kToleranceMm = 3.0f;
constexpr short kFrameWaitMs = 8000;     // generous: the VM emulates its CPU
constexpr auto kStopLimit = std::chrono::milliseconds(2500);
constexpr const char* kDebugfs = "/sys/kernel/debug/norvane-test-sensor";
constexpr const char* kModuleParameters = "/sys/module/norvane_test_sensor/parameters/";
constexpr uint32_t kRangeControl = 0x00981901;
constexpr uint16_t kFrameRateRegister = 0x0633;

int failures = 0;
const char* volatile phase = "start";

void check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    if (!ok) ++failures;
}

void onAlarm(int) {
    // Async-signal-safe: the phase names are literals.
    const char* p = phase;
    (void)!write(1, "FAIL: timed out in ", 19);
    (void)!write(1, p, std::strlen(p));
    (void)!write(1, "\n", 1);
    _exit(2);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool writeFile(const std::string& path, const void* data, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, p + done, size - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    return done == size;
}

std::string camDir(int cam) { return std::string(kDebugfs) + "/cam" + std::to_string(cam); }

// A module parameter's value, as sysfs shows it ("" when unreadable).
std::string moduleParameter(const char* name) {
    char value[64] = {0};
    if (FILE* f = std::fopen((std::string(kModuleParameters) + name).c_str(), "r")) {
        if (std::fgets(value, sizeof value, f)) value[std::strcspn(value, "\n")] = '\0';
        std::fclose(f);
    }
    return value;
}

// The board family the module builds, whatever the camera detects: the
// tests shape their frames for it and check the detection against it.
PlatformType boardUnderTest() {
    const std::string b = moduleParameter("board");
    auto is = [&](const char* family) { return b.rfind(family, 0) == 0; };
    if (is("pi5")) return PLATFORM_RASPBERRY_PI_5;
    if (is("pi4")) return PLATFORM_RASPBERRY_PI;
    if (is("rock")) return PLATFORM_RADXA_ROCK;
    if (is("jetson")) return PLATFORM_JETSON;
    if (is("nano")) return PLATFORM_JETSON_NANO;
    return PLATFORM_UNKNOWN;
}

void checkDetection() {
    PlatformType want = boardUnderTest(), got = detectPlatform();
    check(got == want, "the board is detected as family " + std::to_string(int(want)) + " (got " +
                           std::to_string(int(got)) + ")");
}

// Where the sensor's register file answers.
uint16_t chipAddress() {
    std::string a = moduleParameter("chip_addr");
    return a.empty() ? 0x0c : uint16_t(std::stoul(a, nullptr, 0));
}

bool setKnob(int cam, const std::string& assignment) {
    size_t eq = assignment.find('=');
    if (eq == std::string::npos) return false;
    std::string value = assignment.substr(eq + 1) + "\n";
    return writeFile(camDir(cam) + "/" + assignment.substr(0, eq), value.data(), value.size());
}

// Depth of column c, the same on every row (so that the Jetson block layout
// can carry the frame), shifted per camera.
float targetDepth(int c, float offset) { return 300.0f + offset + float(c) * 14.0f; }

// Four long-range phase frames of 16-bit samples encoding targetDepth:
// y = S2 - S0, x = S3 - S1, shifted up by the board's shift.
std::vector<uint8_t> encodeCapture(float offset, unsigned shift) {
    const float scale = hqvga::depthScale(hqvga::kLongRangeHz) * hqvga::kMillimetresPerMetre;
    std::vector<uint8_t> capture(4 * kFrameBytes);
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c) {
            float phi = targetDepth(c, offset) / scale;
            int s[4] = {0, 0, int(std::lround(kAmplitude * std::sin(phi))), int(std::lround(kAmplitude * std::cos(phi)))};
            size_t i = size_t(r) * kW + size_t(c);
            for (size_t k = 0; k < 4; ++k) {
                uint16_t raw = uint16_t((unsigned(s[k]) & 0x7FFu) << shift);
                capture[k * kFrameBytes + 2 * i] = uint8_t(raw);
                capture[k * kFrameBytes + 2 * i + 1] = uint8_t(raw >> 8);
            }
        }
    return capture;
}

// What the capture node would settle on for the sensor's frames: its pixel
// format and line length, asked with VIDIOC_TRY_FMT as the camera asks.
struct NodeLayout {
    uint32_t pixelformat = 0, bytesPerLine = 0;
};

std::string readKnob(int cam, const std::string& name) {
    char value[32] = {0};
    if (FILE* f = std::fopen((camDir(cam) + "/" + name).c_str(), "r")) {
        if (!std::fgets(value, sizeof value, f)) value[0] = '\0';
        std::fclose(f);
    }
    value[std::strcspn(value, "\n")] = '\0';
    return value;
}

NodeLayout nodeLayout(PlatformType p, int cam, int node, uint32_t w = kW, uint32_t h = kH) {
    // Natural lines, should the node not answer.
    NodeLayout out{p == PLATFORM_RASPBERRY_PI_5 ? v4l2_fourcc('Y', '1', '2', 'P') : V4L2_PIX_FMT_Y12,
                   p == PLATFORM_RASPBERRY_PI_5 ? (w * 3 / 2 + 15) / 16 * 16 : w * 2};
    int fd = ::open(("/dev/video" + std::to_string(node)).c_str(), O_RDWR);
    if (fd < 0) return out;
    // The faults a test sets are the camera's, not this question's.
    const std::string faults = readKnob(cam, "ioctl_faults");
    setKnob(cam, "ioctl_faults=0");
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    ioctl(fd, VIDIOC_QUERYCAP, &cap);
    const bool mp = (cap.device_caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) != 0;
    v4l2_format f;
    std::memset(&f, 0, sizeof f);
    f.type = mp ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const uint32_t want = p == PLATFORM_RASPBERRY_PI_5 ? v4l2_fourcc('Y', '1', '2', 'P') : V4L2_PIX_FMT_Y12;
    if (mp) {
        f.fmt.pix_mp.width = w, f.fmt.pix_mp.height = h, f.fmt.pix_mp.pixelformat = want, f.fmt.pix_mp.num_planes = 1;
    } else {
        f.fmt.pix.width = w, f.fmt.pix.height = h, f.fmt.pix.pixelformat = want;
    }
    if (ioctl(fd, VIDIOC_TRY_FMT, &f) == 0) {
        out.pixelformat = mp ? f.fmt.pix_mp.pixelformat : f.fmt.pix.pixelformat;
        out.bytesPerLine = mp ? f.fmt.pix_mp.plane_fmt[0].bytesperline : f.fmt.pix.bytesperline;
    }
    ::close(fd);
    if (!faults.empty()) setKnob(cam, "ioctl_faults=" + faults);
    return out;
}

// Whether the node's lines carry packed 12-bit samples: the packed format,
// or the ROCK receiver's compact mode (lines of ALIGN(width x 1.5, 256)).
bool packedLines(PlatformType p, const NodeLayout& l, uint32_t w) {
    return l.pixelformat == v4l2_fourcc('Y', '1', '2', 'P') ||
           (p == PLATFORM_RADXA_ROCK && l.bytesPerLine == (w * 3 / 2 + 255) / 256 * 256);
}

// One phase frame as the board's receiver writes it into a buffer.
std::vector<uint8_t> driverFrame(PlatformType p, const uint8_t* f, const NodeLayout& l) {
    const size_t stride = l.bytesPerLine;
    if (packedLines(p, l, kW)) {  // 12-bit packed
        std::vector<uint8_t> out(stride * kH, 0x5A);
        for (size_t r = 0; r < size_t(kH); ++r)
            for (size_t c = 0; c < size_t(kW); c += 2) {
                size_t i = r * kW + c;
                uint16_t p0 = uint16_t(f[2 * i] | f[2 * i + 1] << 8);
                uint16_t p1 = uint16_t(f[2 * i + 2] | f[2 * i + 3] << 8);
                uint8_t* o = &out[r * stride + c / 2 * 3];
                o[0] = uint8_t(p0 >> 4);
                o[1] = uint8_t(p1 >> 4);
                o[2] = uint8_t((p0 & 0xF) | (p1 & 0xF) << 4);
            }
        return out;
    }
    if (p == PLATFORM_JETSON) {  // 960-byte blocks, a 32-byte trailer moved in
        std::vector<uint8_t> out(kFrameBytes, 0x3C);
        for (size_t b = 0; b + 960 <= kFrameBytes; b += 960) {
            std::memcpy(&out[b], f + b, 448);
            std::memcpy(&out[b + 448], f + b + 480, 480);
        }
        return out;
    }
    // 16-bit samples in lines as long as the node says (the Nano's: 512 bytes).
    std::vector<uint8_t> out(stride * kH, 0x3C);
    for (size_t r = 0; r < size_t(kH); ++r) std::memcpy(&out[r * stride], f + r * kW * 2, size_t(kW) * 2);
    return out;
}

unsigned boardShift(PlatformType p) { return p == PLATFORM_JETSON ? 4 : 0; }

struct Stream {
    int cam;
    float offset;
    std::vector<float> reference;
};

// Gives the module the four phase frames of camera `cam` and returns the
// depth the library's own decode makes of them.
Stream loadPattern(PlatformType board, int cam, float offset, int node = -1) {
    std::vector<uint8_t> capture = encodeCapture(offset, boardShift(board));
    std::vector<uint8_t> pattern;
    const NodeLayout layout = nodeLayout(board, cam, node >= 0 ? node : cam);
    for (size_t k = 0; k < 4; ++k) {
        std::vector<uint8_t> f = driverFrame(board, &capture[k * kFrameBytes], layout);
        pattern.insert(pattern.end(), f.begin(), f.end());
    }
    check(writeFile(camDir(cam) + "/frames", pattern.data(), pattern.size()), "pattern written to the module");
    Stream s{cam, offset, std::vector<float>(hqvga::kPixels)};
    std::vector<float> amp(hqvga::kPixels), conf(hqvga::kPixels);
    hqvga::decodeDepthScalar(capture.data(), hqvga::DecodeParams{hqvga::kLongRangeHz, false, boardShift(board)},
                             s.reference.data(), amp.data(), conf.data());
    return s;
}

// Pixels of a depth frame off the encoded depth.
int pixelsOff(const float* depth, const Stream& s) {
    int off = 0;
    for (int i = 0; i < hqvga::kPixels; ++i) {
        float want = targetDepth(i % kW, s.offset);
        if (!(std::fabs(depth[i] - want) <= kToleranceMm) ||
            !(std::fabs(depth[i] - s.reference[size_t(i)]) <= 1e-3f * s.reference[size_t(i)]))
            ++off;
    }
    return off;
}

// Receives `frames` depth frames and checks each one against the pattern.
bool receiveDepth(NorvaneTOFCamera& cam, const Stream& s, int frames, const std::vector<std::string>& later) {
    bool all = true;
    for (int n = 0; n < frames; ++n) {
        phase = "requestFrame";
        NorvaneFrameBuffer* frame = cam.requestFrame(kFrameWaitMs);
        if (!frame) {
            check(false, "camera " + std::to_string(s.cam) + ": depth frame " + std::to_string(n) + " arrived");
            return false;
        }
        const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        int off = depth ? pixelsOff(depth, s) : hqvga::kPixels;
        if (off) {
            char what[160];
            std::snprintf(what, sizeof what, "camera %d: frame %d decodes to the encoded depth (%d pixels off; pixel 100: %.1f mm, want %.1f)",
                          s.cam, n, off, depth ? double(depth[100]) : -1.0, double(targetDepth(100, s.offset)));
            check(false, what);
            all = false;
        }
        cam.releaseFrame(frame);
        if (n == 0)
            for (auto& k : later) check(setKnob(s.cam, k), "knob " + k + " set while streaming");
    }
    if (all) check(true, "camera " + std::to_string(s.cam) + ": " + std::to_string(frames) + " depth frames decode to the encoded depth");
    return all;
}

void timedStop(NorvaneTOFCamera& cam, const std::string& who) {
    phase = "stop";
    auto t0 = Clock::now();
    TofErrorCode r = cam.stop();
    auto took = Clock::now() - t0;
    char what[120];
    std::snprintf(what, sizeof what, "%s: stop returns success within %.1f s (took %.2f s)", who.c_str(),
                  seconds(kStopLimit), seconds(took));
    check(r == NorvaneSuccess && took < kStopLimit, what);
}

struct Args {
    int cam = 0;
    int video = -1;  // "@N": the camera's video node, when not /dev/video<cam>
    int node() const { return video >= 0 ? video : cam; }
    std::vector<std::string> before, later;
};

Args parseArgs(int argc, char** argv) {
    Args a;
    for (int i = 2; i < argc; ++i) {
        std::string s = argv[i];
        if (s.rfind("later:", 0) == 0)
            a.later.push_back(s.substr(6));
        else if (s[0] == '@')
            a.video = std::atoi(s.c_str() + 1);
        else if (s.find('=') != std::string::npos)
            a.before.push_back(s);
        else
            a.cam = std::atoi(s.c_str());
    }
    return a;
}

bool openCamera(NorvaneTOFCamera& cam, int index) {
    phase = "open";
    TofErrorCode r = cam.open(Connection::CSI, index);
    check(r == NorvaneSuccess, "open(CSI, " + std::to_string(index) + ") succeeds (" + std::to_string(int(r)) + ")");
    return r == NorvaneSuccess;
}

// Every board: the depth the phase frames encode comes out of the camera.
int caseDepth(const Args& a) {
    PlatformType board = boardUnderTest();
    checkDetection();
    for (auto& k : a.before) check(setKnob(a.cam, k), "knob " + k + " set");
    Stream s = loadPattern(board, a.cam, 0.0f, a.node());
    NorvaneTOFCamera cam;
    if (!openCamera(cam, a.node())) return 1;
    CameraInfo info = cam.getCameraInfo();
    check(info.width == unsigned(kW) && info.height == unsigned(kH) && info.device_type == HQVGA,
          "the camera reports the sensor's 240 x 180 phase frames");
    phase = "start";
    TofErrorCode r = cam.start(FrameType::DEPTH);
    check(r == NorvaneSuccess, "start(DEPTH) succeeds (" + std::to_string(int(r)) + ")");
    if (r != NorvaneSuccess) return 1;
    receiveDepth(cam, s, 4, a.later);
    timedStop(cam, "camera " + std::to_string(a.cam));
    check(cam.close() == NorvaneSuccess, "close succeeds");
    return 0;
}

// A device whose first node carries metadata: the camera refuses that node
// and streams from the capture node.
int caseMeta(Args a) {
    NorvaneTOFCamera meta;
    phase = "open";
    TofErrorCode r = meta.open(Connection::CSI, 0);
    check(r != NorvaneSuccess, "open(CSI, 0) refuses the metadata node (" + std::to_string(int(r)) + ")");
    meta.close();
    a.video = 1;
    return caseDepth(a);
}

// Two cameras on one platform device, each with its own media device and bus.
int caseTwo(const Args&) {
    PlatformType board = boardUnderTest();
    Stream s0 = loadPattern(board, 0, 0.0f), s1 = loadPattern(board, 1, 200.0f);
    NorvaneTOFCamera cam0, cam1;
    if (!openCamera(cam0, 0) || !openCamera(cam1, 1)) return 1;
    check(cam0.start(FrameType::DEPTH) == NorvaneSuccess, "camera 0 starts");
    check(cam1.start(FrameType::DEPTH) == NorvaneSuccess, "camera 1 starts");
    receiveDepth(cam0, s0, 3, {});
    receiveDepth(cam1, s1, 3, {});
    timedStop(cam0, "camera 0");
    timedStop(cam1, "camera 1");
    cam0.close();
    cam1.close();
    return 0;
}

// Reads `n` bytes of the chip's register file through i2c-dev.
bool readRegisters(int bus, uint16_t reg, uint8_t* out, uint16_t n) {
    std::string path = "/dev/i2c-" + std::to_string(bus);
    int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    uint8_t address[2] = {uint8_t(reg >> 8), uint8_t(reg)};
    const uint16_t chip = chipAddress();
    i2c_msg msgs[2] = {{chip, 0, 2, address}, {chip, I2C_M_RD, n, out}};
    i2c_rdwr_ioctl_data transfer{msgs, 2};
    int r = ioctl(fd, I2C_RDWR, &transfer);
    ::close(fd);
    return r == 2;
}

// The sensor sub-device's node: /dev/v4l-subdevN whose name ends in the
// bus and chip address, "<bus>-000c".
std::string sensorNode(int bus) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%04x", chipAddress());
    std::string want = " " + std::to_string(bus) + suffix;
    std::string found;
    if (DIR* d = opendir("/sys/class/video4linux")) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind("v4l-subdev", 0) != 0) continue;
            char name[64] = {0};
            FILE* f = std::fopen(("/sys/class/video4linux/" + n + "/name").c_str(), "r");
            if (!f) continue;
            if (std::fgets(name, sizeof name, f)) name[std::strcspn(name, "\n")] = '\0';
            std::fclose(f);
            std::string s = name;
            if (s.size() >= want.size() && s.compare(s.size() - want.size(), want.size(), want) == 0) found = "/dev/" + n;
        }
        closedir(d);
    }
    return found;
}

int sensorControl(int bus, uint32_t id) {
    int fd = ::open(sensorNode(bus).c_str(), O_RDWR);
    v4l2_control c{id, -1};
    if (fd < 0 || ioctl(fd, VIDIOC_G_CTRL, &c) < 0) c.value = -1;
    if (fd >= 0) ::close(fd);
    return c.value;
}

// The controls the transport sets land where the sensor keeps them; with
// two cameras, each on its own sensor. RANGE goes through the camera; the
// depth camera passes neither EXPOSURE nor FRAME_RATE on, so those are set
// on the transport itself.
int caseControls(int cameras, int bus) {
    PlatformType board = boardUnderTest();
    checkDetection();
    std::unique_ptr<NorvaneTOFCamera[]> cams(new NorvaneTOFCamera[size_t(cameras)]);
    for (int i = 0; i < cameras; ++i)
        if (!openCamera(cams[i], i)) return 1;
    for (int i = 0; i < cameras; ++i) {
        std::string who = "camera " + std::to_string(i) + ": ";
        check(cams[i].setControl(CameraCtrl::RANGE, 2000) == NorvaneSuccess, who + "RANGE 2000 accepted");
        check(sensorControl(bus + i, kRangeControl) == 1, who + "its sensor's range control reads 1");
    }
    for (int i = 0; i < cameras; ++i) cams[i].close();

    for (int i = 0; i < cameras; ++i) {
        int rate = 30 + i * 7, exposure = 1234 + i;
        std::string who = "transport " + std::to_string(i) + ": ";
        std::string node = "/dev/video" + std::to_string(i);
        std::unique_ptr<NorvaneTOFSensor> sensor = createCsiSensor(node.c_str(), board);
        CameraInfo info{};
        phase = "transport open";
        if (!sensor || sensor->open(info) != 0) {
            check(false, who + "opens " + node);
            continue;
        }
        check(sensor->setControl(int(CameraCtrl::FRAME_RATE), rate) == 0, who + "FRAME_RATE accepted");
        uint8_t regs[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        check(readRegisters(bus + i, kFrameRateRegister, regs, 4), who + "registers read back over I2C");
        uint8_t want[4] = {0, 0, 0, uint8_t(rate)};
        check(std::memcmp(regs, want, 4) == 0, who + "frame rate " + std::to_string(rate) +
                                                   " in registers 0x0633-0x0636 of its own chip (last byte " +
                                                   std::to_string(regs[3]) + ")");
        check(sensor->setControl(int(CameraCtrl::EXPOSURE), exposure) == 0, who + "EXPOSURE accepted");
        check(sensorControl(bus + i, V4L2_CID_EXPOSURE) == exposure, who + "its sensor's exposure reads " + std::to_string(exposure));
        sensor->close();
    }
    return 0;
}

// A sensor configured (ACTIVE) to another of its sizes before the camera
// opens: the camera reports and streams that size.
int caseSize(const Args&, int bus) {
    std::string node = sensorNode(bus);
    int fd = ::open(node.c_str(), O_RDWR);
    check(fd >= 0, "sensor sub-device " + node + " opened");
    if (fd < 0) return 1;
    v4l2_subdev_format f;
    std::memset(&f, 0, sizeof f);
    f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    f.format.width = 640;
    f.format.height = 480;
    f.format.code = 0x2013;
    f.format.field = V4L2_FIELD_NONE;
    check(ioctl(fd, VIDIOC_SUBDEV_S_FMT, &f) == 0 && f.format.width == 640, "sensor set to 640 x 480");
    ::close(fd);
    NorvaneTOFCamera cam;
    if (!openCamera(cam, 0)) return 1;
    CameraInfo info = cam.getCameraInfo();
    check(info.width == 640 && info.height == 480, "open reports 640 x 480 (got " + std::to_string(info.width) + " x " +
                                                       std::to_string(info.height) + ")");
    phase = "start";
    TofErrorCode r = cam.start(FrameType::RAW);
    check(r == NorvaneSuccess, "start(RAW) at 640 x 480 succeeds (" + std::to_string(int(r)) + ")");
    if (r == NorvaneSuccess) timedStop(cam, "640 x 480");
    cam.close();
    return 0;
}

// A VGA-class sensor (its size at power-up, e.g. 320 x 240) streaming raw
// captures: every sample of every row arrives, in the board's format.
int caseRaw(const Args& a, int bus) {
    check(setKnob(a.cam, "stall=1"), "the sensor held until the pattern is known");
    for (auto& k : a.before) check(setKnob(a.cam, k), "knob " + k + " set");
    NorvaneTOFCamera cam;
    if (!openCamera(cam, a.cam)) return 1;
    CameraInfo info = cam.getCameraInfo();
    check(info.device_type != HQVGA, "a VGA-class camera (" + std::to_string(info.width) + " x " + std::to_string(info.height) + ")");
    // The VGA device starts at 640 x 480 unless told the sensor's size.
    check(cam.setControl(CameraCtrl::FMT_WIDTH, int(info.width)) == NorvaneSuccess &&
              cam.setControl(CameraCtrl::FMT_HEIGHT, int(info.height)) == NorvaneSuccess,
          "the camera set to the sensor's size");
    phase = "start";
    TofErrorCode r = cam.start(FrameType::RAW);
    check(r == NorvaneSuccess, "start(RAW) succeeds (" + std::to_string(int(r)) + ")");
    if (r != NorvaneSuccess) return 1;

    // The geometry the transport negotiated, from the node itself.
    std::string node = "/dev/video" + std::to_string(a.cam);
    int fd = ::open(node.c_str(), O_RDWR);
    v4l2_format f;
    std::memset(&f, 0, sizeof f);
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    bool got = fd >= 0 && ioctl(fd, VIDIOC_G_FMT, &f) == 0;
    // The node lists the format it streams, described (the kernel's own
    // table may not know the packed one, and would warn).
    v4l2_fmtdesc desc;
    std::memset(&desc, 0, sizeof desc);
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    bool listed = fd >= 0 && ioctl(fd, VIDIOC_ENUM_FMT, &desc) == 0;
    if (fd >= 0) ::close(fd);
    check(got, "the node's format read back");
    check(listed && desc.pixelformat == f.fmt.pix.pixelformat && desc.description[0] != '\0',
          std::string("the node lists it as \"") + reinterpret_cast<const char*>(desc.description) + "\"");
    if (!got) return 1;
    const uint32_t w = f.fmt.pix.width, h = f.fmt.pix.height, bpl = f.fmt.pix.bytesperline;
    const bool packed = packedLines(detectPlatform(), NodeLayout{f.fmt.pix.pixelformat, bpl}, w);
    // Samples by index; on the Jetson every 960-byte block repeats bytes
    // 448-479 in its last 32, which the receiver's block layout loses.
    const bool jetson = boardUnderTest() == PLATFORM_JETSON;
    std::vector<uint16_t> want(size_t(w) * h);
    for (size_t i = 0; i < want.size(); ++i) want[i] = uint16_t(((i / w) * 7 + (i % w) * 13 + 5) & 0xFFF);
    if (jetson)
        for (size_t b = 0; b + 480 <= want.size(); b += 480)
            std::copy_n(&want[b + 224], 16, &want[b + 464]);
    std::vector<uint8_t> frame(size_t(bpl) * h, 0x5A);
    for (uint32_t row = 0; row < h; ++row)
        for (uint32_t col = 0; col < w; col += 2) {
            uint16_t p0 = want[size_t(row) * w + col], p1 = want[size_t(row) * w + col + 1];
            uint8_t* o = &frame[size_t(row) * bpl];
            if (packed) {
                o += col / 2 * 3;
                o[0] = uint8_t(p0 >> 4);
                o[1] = uint8_t(p1 >> 4);
                o[2] = uint8_t((p0 & 0xF) | (p1 & 0xF) << 4);
            } else {
                o += col * 2;
                o[0] = uint8_t(p0), o[1] = uint8_t(p0 >> 8), o[2] = uint8_t(p1), o[3] = uint8_t(p1 >> 8);
            }
        }
    if (jetson) {  // whole blocks in the receiver's layout; a short last block as it is
        std::vector<uint8_t> plain = frame;
        for (size_t b = 0; b + 960 <= plain.size(); b += 960) {
            std::memcpy(&frame[b + 448], &plain[b + 480], 480);
            std::memset(&frame[b + 928], 0x3C, 32);
        }
    }
    check(writeFile(camDir(a.cam) + "/frames", frame.data(), frame.size()), "pattern of " + std::to_string(w) + " x " +
                                                                                std::to_string(h) + " written");
    check(setKnob(a.cam, "stall=0"), "the sensor streams");

    phase = "requestFrame";
    NorvaneFrameBuffer* fb = cam.requestFrame(kFrameWaitMs);
    check(fb != nullptr, "a raw capture arrived");
    if (fb) {
        const int16_t* raw = static_cast<const int16_t*>(fb->getData(FrameType::RAW));
        size_t wrong = 0, first = SIZE_MAX;
        for (uint32_t row = 0; raw && row < h; ++row)
            for (uint32_t col = 0; col < w; ++col)
                if (uint16_t(raw[size_t(row) * w + col]) != want[size_t(row) * w + col]) {
                    ++wrong;
                    if (first == SIZE_MAX) first = size_t(row) * w + col;
                }
        check(raw && wrong == 0, "every sample of the " + std::to_string(w) + " x " + std::to_string(h) + " capture as sent (" +
                                     std::to_string(wrong) + " wrong, first at " + std::to_string(first == SIZE_MAX ? 0 : first) + ")");
        cam.releaseFrame(fb);
    }
    // The VGA device passes FRAME_RATE on: the write lands in the chip.
    check(cam.setControl(CameraCtrl::FRAME_RATE, 5) == NorvaneSuccess, "FRAME_RATE 5 accepted by the camera");
    uint8_t regs[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    check(readRegisters(bus + a.cam, kFrameRateRegister, regs, 4) && regs[0] == 0 && regs[1] == 0 && regs[2] == 0 && regs[3] == 5,
          "frame rate 5 in registers 0x0633-0x0636 of the chip");
    timedStop(cam, "raw");
    cam.close();
    return 0;
}

// Sub-frames never close enough to form a capture: no frame, and stop
// still returns promptly.
int caseFarApart(const Args& a) {
    for (auto& k : a.before) check(setKnob(a.cam, k), "knob " + k + " set");
    loadPattern(boardUnderTest(), a.cam, 0.0f);
    NorvaneTOFCamera cam;
    if (!openCamera(cam, a.cam)) return 1;
    check(cam.start(FrameType::DEPTH) == NorvaneSuccess, "start(DEPTH) succeeds");
    phase = "requestFrame";
    NorvaneFrameBuffer* frame = cam.requestFrame(1000);
    check(frame == nullptr, "no capture is assembled from sub-frames not shown to be close (6 ms apart, or unstamped)");
    if (frame) cam.releaseFrame(frame);
    timedStop(cam, "sub-frames too far apart");
    cam.close();
    return 0;
}

// The driver puts its queue in error (streaming ended from outside): the
// capture thread must not spin, and stop returns promptly.
int caseOutside(const Args& a) {
    PlatformType board = boardUnderTest();
    Stream s = loadPattern(board, a.cam, 0.0f);
    NorvaneTOFCamera cam;
    if (!openCamera(cam, a.cam)) return 1;
    check(cam.start(FrameType::DEPTH) == NorvaneSuccess, "start(DEPTH) succeeds");
    receiveDepth(cam, s, 1, {});
    check(writeFile(camDir(a.cam) + "/queue_error", "1\n", 2), "the driver's queue put in error");
    phase = "watching the capture thread";
    timespec c0, c1;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
    double cpu = double(c1.tv_sec - c0.tv_sec) + double(c1.tv_nsec - c0.tv_nsec) / 1e9;
    double wall = seconds(Clock::now() - t0);
    char what[120];
    std::snprintf(what, sizeof what, "the capture thread waits instead of spinning (%.0f%% of a CPU)", 100.0 * cpu / wall);
    check(cpu < 0.3 * wall, what);
    timedStop(cam, "queue in error");
    cam.close();
    return 0;
}

// A format the node substituted for the one asked: start refuses it and
// says what the driver returned.
int caseRefused(const Args& a) {
    for (auto& k : a.before) check(setKnob(a.cam, k), "knob " + k + " set");
    NorvaneTOFCamera cam;
    if (!openCamera(cam, a.node())) return 1;
    // The message goes to standard error: catch it in a file.
    std::fflush(stderr);
    int saved = dup(2);
    int file = ::open("/tmp/stderr", O_RDWR | O_CREAT | O_TRUNC, 0600);
    dup2(file, 2);
    phase = "start";
    TofErrorCode r = cam.start(FrameType::DEPTH);
    std::fflush(stderr);
    dup2(saved, 2);
    ::close(saved);
    char said[400] = {0};
    (void)!pread(file, said, sizeof said - 1, 0);
    ::close(file);
    said[std::strcspn(said, "\n")] = '\0';
    check(r != NorvaneSuccess, "start refuses the substituted format (" + std::to_string(int(r)) + ")");
    check(std::strstr(said, "'GREY' 240x180") != nullptr, std::string("the message names it: \"") + said + "\"");
    if (r == NorvaneSuccess) cam.stop();
    cam.close();
    return 0;
}

// The capture node unregistered while streaming (driver unbound): the
// camera stops asking, a waiting request ends with null at once, and the
// caller can tell the camera is gone.
int caseGone(const Args& a) {
    Stream s = loadPattern(detectPlatform(), a.cam, 0.0f);
    NorvaneTOFCamera cam;
    if (!openCamera(cam, a.cam)) return 1;
    check(cam.start(FrameType::DEPTH) == NorvaneSuccess, "start(DEPTH) succeeds");
    receiveDepth(cam, s, 1, {});
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        check(writeFile(camDir(a.cam) + "/unplug", "1\n", 2), "the capture node unregistered");
    });
    phase = "requestFrame after unplug";
    // Frames before the unplug may still come; then null, well before the wait ends.
    auto t0 = Clock::now();
    NorvaneFrameBuffer* frame;
    while ((frame = cam.requestFrame(kFrameWaitMs)) != nullptr) cam.releaseFrame(frame);
    double took = seconds(Clock::now() - t0);
    unplug.join();
    char what[120];
    std::snprintf(what, sizeof what, "the waiting request ends with null within 2 s of the unplug (%.2f s)", took);
    check(took < 2.3, what);
    check(cam.isDisconnected(), "the camera says its device is gone");
    t0 = Clock::now();
    check(cam.requestFrame(kFrameWaitMs) == nullptr && seconds(Clock::now() - t0) < 0.1,
          "a later request returns null at once");
    phase = "stop";
    t0 = Clock::now();
    TofErrorCode r = cam.stop();
    std::snprintf(what, sizeof what, "stop reports the failure (%d) promptly (%.2f s)", int(r), seconds(Clock::now() - t0));
    check(r != NorvaneSuccess && seconds(Clock::now() - t0) < 1.0, what);
    check(cam.close() == NorvaneSuccess, "close succeeds");
    return 0;
}

// A STREAMOFF that fails: stop frees the buffers anyway, so that the next
// start can set its format and stream again.
int caseRestart(const Args& a) {
    Stream s = loadPattern(detectPlatform(), a.cam, 0.0f);
    NorvaneTOFCamera cam;
    if (!openCamera(cam, a.cam)) return 1;
    check(cam.start(FrameType::DEPTH) == NorvaneSuccess, "start(DEPTH) succeeds");
    receiveDepth(cam, s, 1, {});
    check(setKnob(a.cam, "streamoff_error=1"), "the next STREAMOFF fails");
    phase = "stop";
    TofErrorCode r = cam.stop();
    check(r != NorvaneSuccess, "stop reports the failed STREAMOFF (" + std::to_string(int(r)) + ")");
    phase = "start again";
    r = cam.start(FrameType::DEPTH);
    check(r == NorvaneSuccess, "start after it succeeds (" + std::to_string(int(r)) + ")");
    if (r == NorvaneSuccess) {
        receiveDepth(cam, s, 2, {});
        timedStop(cam, "restarted");
    }
    cam.close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s depth|meta|two|controls|controls2|size|raw|faraway|outside|refused|gone|restart [camera] [knob=value ...]\n", argv[0]);
        return 64;
    }
    std::signal(SIGALRM, onAlarm);
    alarm(30);  // a hang (stop waiting for ever) fails the case, not the whole VM
    std::string name = argv[1];
    Args a = parseArgs(argc, argv);
    int bus = isJetsonFamily(boardUnderTest()) ? 30 : 10;
    int r;
    if (name == "depth")
        r = caseDepth(a);
    else if (name == "two")
        r = caseTwo(a);
    else if (name == "controls")
        r = caseControls(1, bus);
    else if (name == "controls2")
        r = caseControls(2, bus);
    else if (name == "size")
        r = caseSize(a, bus);
    else if (name == "meta")
        r = caseMeta(a);
    else if (name == "raw")
        r = caseRaw(a, bus);
    else if (name == "faraway")
        r = caseFarApart(a);
    else if (name == "outside")
        r = caseOutside(a);
    else if (name == "refused")
        r = caseRefused(a);
    else if (name == "gone")
        r = caseGone(a);
    else if (name == "restart")
        r = caseRestart(a);
    else {
        std::fprintf(stderr, "unknown case %s\n", name.c_str());
        return 64;
    }
    return r || failures ? 1 : 0;
}
