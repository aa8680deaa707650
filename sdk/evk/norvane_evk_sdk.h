/* C interface of the USB evaluation-kit library.
 *
 * The USB transport calls these ten functions. The build links either our
 * simulated kit (sdk/evk) or the vendor's library (NORVANE_EVK_LIBRARY).
 * Every function returns 0 on success and a negative NORVANE_EVK_* code on
 * failure. The record fields the transport reads or writes sit at fixed byte
 * offsets, on 32-bit and 64-bit boards alike; the asserts below hold them.
 */
#ifndef NORVANE_EVK_SDK_H
#define NORVANE_EVK_SDK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the simulated kit (the transport only tests for 0). */
enum {
    NORVANE_EVK_OK = 0,
    NORVANE_EVK_ERROR = -1,            /* generic failure, out of memory */
    NORVANE_EVK_INVALID_ARGUMENT = -2, /* null pointer, unknown frame, bad register */
    NORVANE_EVK_NOT_STARTED = -3,      /* not initialised or not streaming */
    NORVANE_EVK_TIMEOUT = -4,          /* no frame within the time-out */
    NORVANE_EVK_NO_BUFFER = -5,        /* every frame buffer is still held by the caller */
    NORVANE_EVK_BAD_CONFIG = -6        /* the configuration file was refused */
};

/* An opened kit; null when none is open. */
typedef struct EvkCamera* EvkHandle;

/* Pointers are 4-byte aligned inside the records and padded to 8 bytes, so
 * the offsets do not depend on the board's pointer size. */
#pragma pack(push, 4)

/* Open parameters, filled with defaults by NorvaneDefaultParam. */
typedef struct EvkParam {
    union {
        const char* config_path; /* NUL-terminated path of a configuration file, or null */
        uint64_t config_path_slot;
    };
    uint8_t bin_file; /* 1: config_path names a binary (".bin") file */
    uint8_t reserved[11];
} EvkParam;

/* Description of the opened sensor. */
typedef struct EvkCameraConfig {
    char model[32];    /* NUL-terminated model name */
    char serial[32];   /* NUL-terminated serial number */
    uint32_t width;    /* pixels per line */
    uint32_t height;   /* lines per frame */
    uint8_t bit_width; /* bits per sample */
    uint8_t reserved[7];
} EvkCameraConfig;

/* One frame handed out by NorvaneCaptureImage, returned by NorvaneFreeImage. */
typedef struct EvkFrame {
    uint32_t frame_index; /* capture counter */
    uint32_t sub_frame;   /* frame within the capture (phase) */
    uint64_t timestamp;   /* milliseconds */
    uint32_t width;
    uint32_t height;
    uint32_t size; /* bytes of sample data */
    union {
        uint8_t* data; /* sample data, owned by the kit until freed */
        uint64_t data_slot;
    };
    uint32_t bit_width;
    uint64_t kit_private; /* the kit's own bookkeeping */
} __attribute__((aligned(8))) EvkFrame;

#pragma pack(pop)

#ifdef __cplusplus
#define NORVANE_EVK_ASSERT(cond, text) static_assert(cond, text)
#else
#define NORVANE_EVK_ASSERT(cond, text) _Static_assert(cond, text)
#endif
NORVANE_EVK_ASSERT(offsetof(EvkParam, config_path) == 0, "EvkParam: configuration path at byte 0");
NORVANE_EVK_ASSERT(offsetof(EvkParam, bin_file) == 8, "EvkParam: bin-file flag at byte 8");
NORVANE_EVK_ASSERT(sizeof(EvkParam) == 20, "EvkParam is 20 bytes");
NORVANE_EVK_ASSERT(offsetof(EvkCameraConfig, width) == 64, "EvkCameraConfig: width at byte 64");
NORVANE_EVK_ASSERT(offsetof(EvkCameraConfig, height) == 68, "EvkCameraConfig: height at byte 68");
NORVANE_EVK_ASSERT(offsetof(EvkCameraConfig, bit_width) == 72, "EvkCameraConfig: bit width at byte 72");
NORVANE_EVK_ASSERT(sizeof(EvkCameraConfig) == 80, "EvkCameraConfig is 80 bytes");
NORVANE_EVK_ASSERT(offsetof(EvkFrame, timestamp) == 8, "EvkFrame: timestamp at byte 8");
NORVANE_EVK_ASSERT(offsetof(EvkFrame, size) == 24, "EvkFrame: size at byte 24");
NORVANE_EVK_ASSERT(offsetof(EvkFrame, data) == 28, "EvkFrame: data at byte 28");
NORVANE_EVK_ASSERT(sizeof(EvkFrame) == 48, "EvkFrame is 48 bytes");
#undef NORVANE_EVK_ASSERT

/* Fills every field of *param with the defaults. */
int NorvaneDefaultParam(EvkParam* param);
/* Opens a kit with *param; sets *handle on success. */
int NorvaneOpenCamera(EvkHandle* handle, const EvkParam* param);
/* Prepares the opened kit for streaming. */
int NorvaneInitCamera(EvkHandle handle);
/* Describes the sensor's frames. */
int NorvaneGetCameraConfig(EvkHandle handle, EvkCameraConfig* config);
int NorvaneStartCamera(EvkHandle handle);
int NorvaneStopCamera(EvkHandle handle);
/* Waits up to timeout_ms milliseconds (negative: without limit) for the next
 * frame. On success *frame holds a frame that must be given back with
 * NorvaneFreeImage. */
int NorvaneCaptureImage(EvkHandle handle, EvkFrame* frame, int timeout_ms);
int NorvaneFreeImage(EvkHandle handle, EvkFrame frame);
int NorvaneCloseCamera(EvkHandle handle);
/* Writes one sensor register (16-bit address). */
int NorvaneWriteSensorReg(EvkHandle handle, uint32_t reg, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* NORVANE_EVK_SDK_H */
