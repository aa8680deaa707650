// Layout of one VGA-class capture, shared by the simulated evaluation kit
// (which renders it) and the phase-processing library (which decodes it).
//
// A capture is `width` columns of 16-bit samples and a run of sub-frames of
// height + 1 rows each: 5 sub-frames in single-frequency mode, 10 in
// dual-frequency mode. Row 0 of a sub-frame is metadata, rows 1..height hold
// 12-bit samples. Per frequency the sub-frames are the four phases (0, 90,
// 180, 270 degrees) followed by one grey (intensity) sub-frame.
//
// Phase k of a frequency carries B + A cos(phi - k pi / 2), so
// phi = atan2(P1 - P3, P0 - P2) and the distance is phi / (2 pi) times the
// frequency's unambiguous range.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Norvane {
namespace vga {

constexpr int kPhasesPerFrequency = 4;
constexpr int kSubFramesPerFrequency = 5;  // four phases and one grey
constexpr int kGreyPhaseIndex = 4;
constexpr int kMetadataRows = 1;
constexpr uint16_t kSampleMax = 4095;      // 12-bit samples

// Metadata row, sample by sample (the rest of the row is zero).
constexpr int kMetaSubFrame = 0;   // 0 .. 9
constexpr int kMetaFrequency = 1;  // 0 or 1
constexpr int kMetaPhase = 2;      // 0 .. 3, or kGreyPhaseIndex
constexpr int kMetaCounter = 3;    // capture counter, low 16 bits

// Unambiguous ranges in millimetres.
constexpr double kSingleRangeMm = 1250.0;
constexpr double kDualRangeMm[2] = {1500.0, 2250.0};  // unwrapped together up to 4500
constexpr double kDualCombinedRangeMm = 4500.0;

inline int frequencies(bool dual) { return dual ? 2 : 1; }
inline int subFrameRows(int height) { return height + kMetadataRows; }
inline int captureRows(int height, bool dual) { return subFrameRows(height) * kSubFramesPerFrequency * frequencies(dual); }
inline size_t captureBytes(int width, int height, bool dual) { return size_t(width) * size_t(captureRows(height, dual)) * 2; }
inline double rangeMm(bool dual, int frequency) { return dual ? kDualRangeMm[frequency] : kSingleRangeMm; }

// Sample offset of row `row` (0 = metadata) of sub-frame `subFrame`.
inline size_t rowOffset(int width, int height, int subFrame, int row) {
    return (size_t(subFrame) * size_t(subFrameRows(height)) + size_t(row)) * size_t(width);
}

}  // namespace vga
}  // namespace Norvane
