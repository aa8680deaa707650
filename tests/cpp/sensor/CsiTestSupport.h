// Shared pieces of the CSI transport tests: a simulated board with a
// transport on it, and driver buffers built from the frames they must yield.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "kernel/Kernel.h"
#include "sensor/csi/NorvaneTOFCSISensor.h"
#include "tests/fakes/SimBoards.h"

namespace csitest {

using Norvane::CameraInfo;
using Norvane::NorvaneTOFCSISensor;
using Norvane::PlatformType;
using BoardBuilder = Norvane::sim::SimBoard (*)(Norvane::sim::SimKernel&, const Norvane::sim::BoardOptions&);

constexpr uint32_t kW = 240, kH = 180;
constexpr size_t kFrameBytes = size_t(kW) * kH * 2;

// A 240 x 180 frame of 12-bit little-endian samples, different per seed.
std::vector<uint8_t> makeFrame(int seed, uint32_t w = kW, uint32_t h = kH);
// The driver buffer content that the board's copy routine turns into `frame`.
std::vector<uint8_t> driverContent(PlatformType p, const std::vector<uint8_t>& frame, uint32_t w = kW);
// Frames the Jetson block reorder can produce: in every 960-byte block the
// last 32 bytes repeat bytes 448-479.
std::vector<uint8_t> jetsonShaped(std::vector<uint8_t> frame);
// A frame of 16-bit samples packed two samples in three bytes (as the CSI-2
// link carries 12-bit grey), in lines `stride` bytes apart.
std::vector<uint8_t> packedLines(const std::vector<uint8_t>& frame, uint32_t w, size_t stride);
// The same frame in lines `stride` bytes apart.
std::vector<uint8_t> paddedLines(const std::vector<uint8_t>& frame, uint32_t w, size_t stride);
// Lays a frame out in 512-byte lines (92160 bytes for 240 x 180).
std::vector<uint8_t> strided512(const std::vector<uint8_t>& frame);

class CsiRig {
public:
    Norvane::sim::SimKernel k;
    Norvane::ScopedKernel scope{k};
    Norvane::sim::SimBoard board;
    std::unique_ptr<NorvaneTOFCSISensor> sensor;
    CameraInfo info{};

    explicit CsiRig(BoardBuilder build, Norvane::sim::BoardOptions o = Norvane::sim::BoardOptions());
    // Queues a frame with the given timestamp (microseconds since boot).
    void push(const std::vector<uint8_t>& content, int64_t usec, int reportIndex = -1);
    // getFrame into a buffer of exactly framesPerCapture frames (plus a guard
    // checked untouched); returns the result.
    int capture(std::vector<uint8_t>& out, int64_t& ts);
};

}  // namespace csitest
