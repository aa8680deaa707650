// Default configuration files of the VGA phase-processing library and the
// calibration file it may be handed, all in the working directory.
#pragma once

namespace Norvane {

constexpr const char* kConfigAlgorithmFile = "ConfigAlgorithm.json";
constexpr const char* kConfigCameraFile = "ConfigCamera.json";
constexpr const char* kRegisterFile = "register.json";
constexpr const char* kCalibrationFile = "cali.bin";

// Writes the three default configuration files into the current working
// directory, replacing what is there. Returns false as soon as one of them
// cannot be written whole (not opened, not a regular file, a short write or
// a failed close, as on a full disk); the files after it are then left
// alone.
bool writeDefaultConfigFiles();

}  // namespace Norvane
