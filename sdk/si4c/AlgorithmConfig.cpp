#include "sdk/si4c/AlgorithmConfig.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>

namespace Norvane {
namespace si4c {

namespace {

// Far more than any configuration text; guards against a wrong path.
constexpr std::streamsize kMaxConfigBytes = 1 << 20;

std::string trim(const std::string& s) {
    const char* blanks = " \t\r";
    size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    size_t last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

bool parseNumber(const std::string& text, float* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    *value = float(v);
    return std::isfinite(*value);
}

}  // namespace

void parseAlgorithmConfig(const std::string& text, AlgorithmConfig& config) {
    std::string section;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.compare(0, 2, "//") == 0) continue;
        if (line.front() == '[') {
            section = line.back() == ']' ? trim(line.substr(1, line.size() - 2)) : std::string();
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos || section != "ConfidenceParams") continue;
        std::string key = trim(line.substr(0, eq));
        float value;
        if (!parseNumber(trim(line.substr(eq + 1)), &value)) continue;
        if (key == "ValidDistMin") config.validDistMin = value;
        if (key == "ValidDistMax") config.validDistMax = value;
    }
}

bool readAlgorithmConfig(const std::string& path, AlgorithmConfig& config) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string text;
    char chunk[4096];
    while (in && std::streamsize(text.size()) < kMaxConfigBytes) {
        in.read(chunk, sizeof chunk);
        text.append(chunk, size_t(in.gcount()));
    }
    if (in.bad()) return false;
    parseAlgorithmConfig(text, config);
    return true;
}

}  // namespace si4c
}  // namespace Norvane
