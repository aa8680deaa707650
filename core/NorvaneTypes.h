// Shared vocabulary of the library: result codes, frame kinds, controls,
// work modes and the two records that describe a camera and a frame plane.
#pragma once

#include <cstdint>

namespace Norvane {

// Result of every camera operation; sensors and devices return the same
// numbers as plain int. Plain enumeration: converts to int implicitly.
enum TofErrorCode : int32_t {
    NorvaneSuccess = 0,
    NorvaneInvalidParameter = 1,
    NorvaneNoCache = 2,
    NorvaneUnkownDevice = 3,
    NorvaneNotImplemented = 4,
    NorvaneSkipFrame = 240,
    NorvaneSystemError = -2,
    NorvaneUnkownError = -1,
};

// Kind of frame data: the camera's output selection and the key of a plane
// inside a frame buffer.
enum class FrameType : int32_t {
    RAW = 0,
    CONFIDENCE = 1,
    DEPTH = 2,
    AMPLITUDE = 3,
    CACHE = 4,
};

enum class Connection : int32_t {
    CSI = 0,
    USB = 1,
};

// Depth-processing device chosen after open. Plain enumeration.
enum DeviceType : uint32_t {
    VGA = 0,
    HQVGA = 1,
};

enum class CameraCtrl : int32_t {
    RANGE = 0,
    FMT_WIDTH = 1,
    FMT_HEIGHT = 2,
    MODE = 3,
    FRAME_MODE = 4,
    EXPOSURE = 5,
    FRAME_RATE = 6,
    SKIP_FRAME = 7,
    SKIP_FRAME_LOOP = 8,
    AUTO_FRAME_RATE = 9,
    CONFIG_DIR_EXT = 256,
};

// Value space of the MODE control.
enum class TofWorkMode : int32_t {
    SINGLE_FREQ = 0,
    DOUBLE_FREQ = 1,
    TRIPLE_FREQ = 2,
    QUAD_FREQ = 3,
    DISTANCE = 4,
    HDR = 5,
    AE = 6,
    BG_OUTDOOR = 7,
    GRAY_ONLY = 8,
    CUSTOM1 = 9,
    CUSTOM2 = 10,
    CUSTOM3 = 11,
};

// Value space of the FRAME_MODE control.
enum class TofFrameWorkMode : int32_t {
    SINGLE_FREQ_2PHASE = 0,
    SINGLE_FREQ_4PHASE = 1,
    SINGLE_FREQ_4PHASE_GRAY = 2,
    SINGLE_FREQ_4PHASE_BG = 3,
    SINGLE_FREQ_4PHASE_4BG = 4,
    SINGLE_FREQ_4PHASE_GRAY_5BG = 5,
    SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG = 6,
    SINGLE_FREQ_GRAY_BG_4PHASE_BG = 7,
    SINGLE_FREQ_BG_GRAY_BG_4PHASE = 8,
    SINGLE_FREQ_BG_4PHASE_BG_GRAY = 9,
    DOUBLE_FREQ_4PHASE = 10,
    DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG = 11,
    DOUBLE_FREQ_4PHASE_4BG = 12,
    DOUBLE_FREQ_4PHASE_GRAY_5BG = 13,
    TRIPLE_FREQ_4PHASE = 14,
    TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG = 15,
    QUAD_FREQ_4PHASE = 16,
    QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG = 17,
    BG_OUTDOOR = 18,
    GRAY_ONLY = 19,
    CUSTOM = 20,
};

// Description of an opened camera; sensors fill the geometry fields.
struct CameraInfo {
    uint32_t index;
    Connection connect;
    DeviceType device_type;
    FrameType type;
    uint32_t width;
    uint32_t height;  // one sub-frame
    uint32_t bit_width;
    uint32_t bpp;
};

// Description of one plane of a frame.
struct FrameDataFormat {
    uint32_t width;
    uint32_t height;
    FrameType type;
    uint64_t timestamp;
};

// Text of an error code; a static string, never null.
const char* to_str(TofErrorCode code);

}  // namespace Norvane
