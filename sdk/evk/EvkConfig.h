// Settings of the simulated evaluation kit and the reader of its
// configuration file: `key = value` lines, `#` starts a comment.
#pragma once

#include <cstdint>
#include <string>

namespace Norvane {
namespace evk {

enum class Geometry { Hqvga, Vga };
enum class SceneKind { Room, Wall };

struct KitConfig {
    Geometry geometry = Geometry::Hqvga;
    bool dualFrequency = false;  // VGA capture layout with two frequencies
    int width = 640;             // VGA depth size
    int height = 480;
    double fps = 30.0;   // captures per second; 0 = as fast as possible
    double noise = 1.0;  // shot-noise scale; 0 = noise-free
    uint64_t seed = 1;
    SceneKind scene = SceneKind::Room;
    // Each pixel integrates the returns across its footprint (edge pixels
    // mix the phases of the surfaces they see) instead of its centre ray.
    bool mixedPixels = false;
};

// Applies the lines of `text` to `config`. On the first bad line returns
// false and sets `error` to a one-line message naming `fileName`, the line
// number and the key.
bool parseConfig(const std::string& text, const std::string& fileName, KitConfig& config, std::string& error);

// Reads the file at `path` and parses it; an unreadable file, or one larger
// than 64 KiB, is an error too.
bool loadConfig(const std::string& path, KitConfig& config, std::string& error);

}  // namespace evk
}  // namespace Norvane
