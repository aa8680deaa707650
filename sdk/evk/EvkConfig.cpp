#include "sdk/evk/EvkConfig.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <utility>

namespace Norvane {
namespace evk {

namespace {

constexpr double kMaxFps = 10000.0;
constexpr double kMaxNoise = 100.0;
constexpr const char* kMessagePrefix = "evk: ";
// A configuration is a handful of lines. Reading stops past this size, so
// a path to a device such as /dev/zero, or a huge file, cannot exhaust the
// memory or hold the open forever.
constexpr size_t kMaxConfigBytes = 64 * 1024;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Whether a conversion ending at `end` used all of `v` (a NUL byte inside
// the value ends the C string early).
bool wholeText(const std::string& v, const char* end) { return end == v.c_str() + v.size(); }

bool parseNumber(const std::string& v, double lo, double hi, double& out) {
    if (v.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(v.c_str(), &end);
    if (errno != 0 || !wholeText(v, end) || !std::isfinite(d) || d < lo || d > hi) return false;
    out = d;
    return true;
}

bool parseUnsigned(const std::string& v, uint64_t& out) {
    if (v.empty() || v[0] < '0' || v[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (errno != 0 || !wholeText(v, end)) return false;
    out = n;
    return true;
}

// Sets `out` to the value paired with the text `v`; false if none is.
template <typename T>
bool choose(const std::string& v, std::initializer_list<std::pair<const char*, T>> choices, T& out) {
    for (const auto& c : choices) {
        if (v == c.first) {
            out = c.second;
            return true;
        }
    }
    return false;
}

enum class Applied { Yes, BadValue, UnknownKey };

Applied verdict(bool ok) { return ok ? Applied::Yes : Applied::BadValue; }

// Applies one key to `c`.
Applied applyValue(const std::string& key, const std::string& v, KitConfig& c) {
    if (key == "geometry") return verdict(choose(v, {{"hqvga", Geometry::Hqvga}, {"vga", Geometry::Vga}}, c.geometry));
    if (key == "frequency") return verdict(choose(v, {{"single", false}, {"dual", true}}, c.dualFrequency));
    if (key == "width") return verdict(choose(v, {{"640", 640}, {"320", 320}}, c.width));
    if (key == "height") return verdict(choose(v, {{"480", 480}, {"240", 240}}, c.height));
    if (key == "fps") return verdict(parseNumber(v, 0.0, kMaxFps, c.fps));
    if (key == "noise") return verdict(parseNumber(v, 0.0, kMaxNoise, c.noise));
    if (key == "seed") return verdict(parseUnsigned(v, c.seed));
    if (key == "scene") return verdict(choose(v, {{"room", SceneKind::Room}, {"wall", SceneKind::Wall}}, c.scene));
    if (key == "mixed_pixels") return verdict(choose(v, {{"0", false}, {"1", true}}, c.mixedPixels));
    return Applied::UnknownKey;
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
        Applied applied = applyValue(key, value, c);
        if (applied == Applied::UnknownKey) {
            error = where + "unknown key \"" + key + "\"";
            return false;
        }
        if (applied == Applied::BadValue) {
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
        while (text.size() <= kMaxConfigBytes && (n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            text.append(chunk, n);
        readable = !std::ferror(f);
        std::fclose(f);
    }
    if (!readable) {
        error = kMessagePrefix + path + ": cannot read the configuration file";
        return false;
    }
    // Refused whole rather than applied in part.
    if (text.size() > kMaxConfigBytes) {
        error = kMessagePrefix + path + ": the configuration file is larger than 64 KiB";
        return false;
    }
    return parseConfig(text, path, config, error);
}

}  // namespace evk
}  // namespace Norvane
