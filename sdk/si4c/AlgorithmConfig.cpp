#include "sdk/si4c/AlgorithmConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdlib>

namespace Norvane {
namespace si4c {

namespace {

// Far more than any configuration text; guards against a wrong path.
constexpr size_t kMaxConfigBytes = 1 << 20;

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
    // Opened without waiting: a FIFO in the file's place would otherwise
    // hold the start until a writer came. Only a regular file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::string text;
    char chunk[4096];
    while (ok && text.size() < kMaxConfigBytes) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, size_t(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
        }
    }
    ::close(fd);
    if (!ok) return false;
    parseAlgorithmConfig(text, config);
    return true;
}

}  // namespace si4c
}  // namespace Norvane
