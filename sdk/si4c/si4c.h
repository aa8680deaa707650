/* Phase-processing library for VGA-class captures: turns one capture of
 * phase sub-frames into depth (millimetres), amplitude and confidence.
 *
 * Call order: SiSDKCreate, then per session SiSDKInit, SiSDKSetCaliData
 * (optional), SiSDKSetConfig (optional), SiSDKStart, then
 * SiSDKGetPhaseImage per capture; SiSDKDestroy at the end. The frequency
 * mode may be read and switched at any time after SiSDKCreate, from any
 * thread; a switch reaches the decoding at the next SiSDKStart, together
 * with the capture geometry the sensor is configured for.
 *
 * SiSDKDestroy clears the caller's handle; every function accepts a null
 * handle and then does nothing (SiSDKIsSingleFreq answers true). */
#ifndef NORVANE_SI4C_H
#define NORVANE_SI4C_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SiSDKContext* SiSDKHandle;

/* Creates a handle in single-frequency mode. */
bool SiSDKCreate(SiSDKHandle* handle);

/* Starts a session for depth images of width x height pixels; forgets the
 * calibration and configuration directory of the previous session. */
bool SiSDKInit(SiSDKHandle handle, int width, int height);

/* Per-pixel calibration: width x height little-endian float32 depth offsets
 * in millimetres, row-major, subtracted from the measured depth. Data of
 * any other size is ignored (false). The bytes are copied. */
bool SiSDKSetCaliData(SiSDKHandle handle, const void* data, size_t size);

/* Directory whose "ConfigAlgorithm.json", when present, is read at
 * SiSDKStart instead of the one in the working directory. */
bool SiSDKSetConfig(SiSDKHandle handle, const char* configDir);

/* Reads the algorithm configuration and fixes the frequency mode of the
 * session. */
bool SiSDKStart(SiSDKHandle handle);

bool SiSDKIsSingleFreq(SiSDKHandle handle);
bool SiSDKSetSingleFreq(SiSDKHandle handle, bool single);

/* Decodes one capture into the three planes (width x height floats each).
 * False when the session is not started, an argument is null or the
 * capture's sub-frames are not where the layout puts them. */
bool SiSDKGetPhaseImage(SiSDKHandle handle, const uint8_t* frame, float* depth, float* amplitude, float* confidence);

/* Releases the handle and sets *handle to null; harmless on a null or
 * already destroyed handle. */
void SiSDKDestroy(SiSDKHandle* handle);

#ifdef __cplusplus
}
#endif

#endif
