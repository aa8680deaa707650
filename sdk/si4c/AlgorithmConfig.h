// The settings of "ConfigAlgorithm.json" that the decode honours.
//
// The file is INI-style: "[Section]" lines, "key=value" lines, "//"
// comments, blank lines between sections. Unknown sections and keys, and
// values that are not finite numbers, are ignored.
#pragma once

#include <string>

namespace Norvane {
namespace si4c {

struct AlgorithmConfig {
    // [ConfidenceParams]: depths outside [ValidDistMin, ValidDistMax]
    // (millimetres) are marked invalid.
    float validDistMin = 0.0f;
    float validDistMax = 7000.0f;
};

// Applies the settings found in `text` to `config`.
void parseAlgorithmConfig(const std::string& text, AlgorithmConfig& config);

// Applies the settings of the file at `path`; false when it cannot be read.
bool readAlgorithmConfig(const std::string& path, AlgorithmConfig& config);

}  // namespace si4c
}  // namespace Norvane
