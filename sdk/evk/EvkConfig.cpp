#include "sdk/evk/EvkConfig.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <sstream>

namespace Norvane {
namespace evk {

namespace {

constexpr double kMaxFps = 10000.0;
constexpr double kMaxNoise = 100.0;
constexpr const char* kMessagePrefix = "evk: ";

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool parseNumber(const std::string& v, double lo, double hi, double& out) {
    if (v.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(v.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(d) || d < lo || d > hi) return false;
    out = d;
    return true;
}

bool parseUnsigned(const std::string& v, uint64_t& out) {
    if (v.empty() || v[0] < '0' || v[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = n;
    return true;
}

// Applies one key; false for a value the key does not take.
bool applyValue(const std::string& key, const std::string& v, KitConfig& c) {
    if (key == "geometry") {
        if (v == "hqvga") c.geometry = Geometry::Hqvga;
        else if (v == "vga") c.geometry = Geometry::Vga;
        else return false;
    } else if (key == "frequency") {
        if (v == "single") c.dualFrequency = false;
        else if (v == "dual") c.dualFrequency = true;
        else return false;
    } else if (key == "width") {
        if (v == "640") c.width = 640;
        else if (v == "320") c.width = 320;
        else return false;
    } else if (key == "height") {
        if (v == "480") c.height = 480;
        else if (v == "240") c.height = 240;
        else return false;
    } else if (key == "fps") {
        return parseNumber(v, 0.0, kMaxFps, c.fps);
    } else if (key == "noise") {
        return parseNumber(v, 0.0, kMaxNoise, c.noise);
    } else if (key == "seed") {
        return parseUnsigned(v, c.seed);
    } else if (key == "scene") {
        if (v == "room") c.scene = SceneKind::Room;
        else if (v == "wall") c.scene = SceneKind::Wall;
        else return false;
    }
    return true;
}

bool knownKey(const std::string& key) {
    static const char* const kKeys[] = {"geometry", "frequency", "width", "height", "fps", "noise", "seed", "scene"};
    for (const char* k : kKeys)
        if (key == k) return true;
    return false;
}

}  // namespace

bool parseConfig(const std::string& text, const std::string& fileName, KitConfig& config, std::string& error) {
    KitConfig c = config;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string where = kMessagePrefix + fileName + ":" + std::to_string(number) + ": ";
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trim(line);
        if (line.empty()) continue;
        size_t eq = line.find('=');
        std::string key = trim(line.substr(0, eq));
        if (eq == std::string::npos || key.empty()) {
            error = where + "no value for key \"" + key + "\"";
            return false;
        }
        std::string value = trim(line.substr(eq + 1));
        if (!knownKey(key)) {
            error = where + "unknown key \"" + key + "\"";
            return false;
        }
        if (!applyValue(key, value, c)) {
            error = where + "bad value \"" + value + "\" for key \"" + key + "\"";
            return false;
        }
    }
    config = c;
    return true;
}

bool loadConfig(const std::string& path, KitConfig& config, std::string& error) {
    std::string text;
    bool readable = false;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        readable = !std::ferror(f);
        std::fclose(f);
    }
    if (!readable) {
        error = kMessagePrefix + path + ": cannot read the configuration file";
        return false;
    }
    return parseConfig(text, path, config, error);
}

}  // namespace evk
}  // namespace Norvane
