#include "tests/cpp/sensor/CsiTestSupport.h"

#include <cstring>

namespace csitest {

using namespace Norvane;

std::vector<uint8_t> makeFrame(int seed, uint32_t w, uint32_t h) {
    std::vector<uint8_t> f(size_t(w) * h * 2);
    for (size_t i = 0; i < size_t(w) * h; ++i) {
        uint16_t v = uint16_t((i * 37 + size_t(seed) * 1009 + (i >> 5)) & 0x0FFF);
        f[2 * i] = uint8_t(v);
        f[2 * i + 1] = uint8_t(v >> 8);
    }
    return f;
}

std::vector<uint8_t> jetsonShaped(std::vector<uint8_t> frame) {
    for (size_t b = 0; b + 960 <= frame.size(); b += 960) std::memcpy(&frame[b + 928], &frame[b + 448], 32);
    return frame;
}

std::vector<uint8_t> strided512(const std::vector<uint8_t>& frame) {
    size_t lines = frame.size() / 480;
    std::vector<uint8_t> out(lines * 512, 0xA5);
    for (size_t l = 0; l < lines; ++l) std::memcpy(&out[l * 512], &frame[l * 480], 480);
    return out;
}

std::vector<uint8_t> packedLines(const std::vector<uint8_t>& frame, uint32_t w, size_t stride) {
    size_t h = frame.size() / 2 / w;
    std::vector<uint8_t> out(stride * h, 0x5A);
    for (size_t r = 0; r < h; ++r)
        for (size_t c = 0; c < w; c += 2) {
            size_t i = r * w + c;
            uint16_t p0 = uint16_t(frame[2 * i] | frame[2 * i + 1] << 8);
            uint16_t p1 = uint16_t(frame[2 * i + 2] | frame[2 * i + 3] << 8);
            uint8_t* o = &out[r * stride + c / 2 * 3];
            o[0] = uint8_t(p0 >> 4);
            o[1] = uint8_t(p1 >> 4);
            o[2] = uint8_t((p0 & 0xF) | (p1 & 0xF) << 4);
        }
    return out;
}

std::vector<uint8_t> paddedLines(const std::vector<uint8_t>& frame, uint32_t w, size_t stride) {
    size_t h = frame.size() / 2 / w;
    std::vector<uint8_t> out(stride * h, 0x5A);
    for (size_t r = 0; r < h; ++r) std::memcpy(&out[r * stride], &frame[r * w * 2], size_t(w) * 2);
    return out;
}

std::vector<uint8_t> driverContent(PlatformType p, const std::vector<uint8_t>& frame, uint32_t w) {
    if (p == PLATFORM_RASPBERRY_PI_5) return packedLines(frame, w, (size_t(w) * 3 / 2 + 15) / 16 * 16);
    if (p == PLATFORM_JETSON) {
        std::vector<uint8_t> out(frame.size(), 0x3C);
        for (size_t b = 0; b + 960 <= frame.size(); b += 960) {
            std::memcpy(&out[b], &frame[b], 448);
            std::memcpy(&out[b + 448], &frame[b + 480], 480);
        }
        return out;
    }
    return frame;
}

CsiRig::CsiRig(BoardBuilder build, sim::BoardOptions o) {
    board = build(k, o);
    sensor = std::make_unique<NorvaneTOFCSISensor>(board.devicePath.c_str(), board.platform);
}

void CsiRig::push(const std::vector<uint8_t>& content, int64_t usec, int reportIndex) {
    board.video->pushFrame({content, usec / 1000000, usec % 1000000, reportIndex});
}

int CsiRig::capture(std::vector<uint8_t>& out, int64_t& ts) {
    constexpr size_t kGuard = 64;
    CameraInfo ci = sensor->getCameraInfo();
    size_t bytes = size_t(sensor->framesPerCapture > 0 ? sensor->framesPerCapture : 0) * ci.width * ci.height * 2;
    std::vector<uint8_t> buf(bytes + kGuard, 0xC7);
    int r = sensor->getFrame(buf.data(), &ts);
    for (size_t i = bytes; i < buf.size(); ++i) {
        if (buf[i] != 0xC7) {
            ADD_FAILURE() << "getFrame wrote past the capture buffer at byte " << i;
            break;
        }
    }
    out.assign(buf.begin(), buf.begin() + long(bytes));
    return r;
}

}  // namespace csitest
