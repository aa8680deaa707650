// The simulated kit's configuration reader on any text: an accepted text
// gives settings within their documented values, written back and read
// again they are the same; a refused text leaves the settings untouched and
// gives one line naming the file.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "sdk/evk/EvkConfig.h"

using namespace Norvane::evk;

namespace {

const char kFile[] = "kit.conf";

bool same(const KitConfig& a, const KitConfig& b) {
    return a.geometry == b.geometry && a.dualFrequency == b.dualFrequency && a.width == b.width &&
           a.height == b.height && a.fps == b.fps && a.noise == b.noise && a.seed == b.seed && a.scene == b.scene;
}

std::string number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string write(const KitConfig& c) {
    std::string s;
    s += std::string("geometry = ") + (c.geometry == Geometry::Vga ? "vga" : "hqvga") + "\n";
    s += std::string("frequency = ") + (c.dualFrequency ? "dual" : "single") + "\n";
    s += "width = " + std::to_string(c.width) + "\n";
    s += "height = " + std::to_string(c.height) + "\n";
    s += "fps = " + number(c.fps) + "\n";
    s += "noise = " + number(c.noise) + "\n";
    s += "seed = " + std::to_string(c.seed) + "\n";
    s += std::string("scene = ") + (c.scene == SceneKind::Wall ? "wall" : "room") + "\n";
    return s;
}

// Whether every NUL byte of `text` lies in a comment: a value or key with
// one is not the text it looks like.
bool nulOnlyInComments(const std::string& text) {
    bool comment = false;
    for (char ch : text) {
        if (ch == '\n') comment = false;
        if (ch == '#') comment = true;
        if (ch == '\0' && !comment) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    KitConfig c;
    const KitConfig before = c;
    std::string error;
    if (!parseConfig(text, kFile, c, error)) {
        FUZZ_CHECK(same(c, before));
        const std::string prefix = std::string("evk: ") + kFile + ":";
        FUZZ_CHECK(error.compare(0, prefix.size(), prefix) == 0);
        FUZZ_CHECK(error.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(nulOnlyInComments(text));
    FUZZ_CHECK(c.geometry == Geometry::Hqvga || c.geometry == Geometry::Vga);
    FUZZ_CHECK(c.width == 640 || c.width == 320);
    FUZZ_CHECK(c.height == 480 || c.height == 240);
    FUZZ_CHECK(std::isfinite(c.fps) && c.fps >= 0.0 && c.fps <= 10000.0);
    FUZZ_CHECK(std::isfinite(c.noise) && c.noise >= 0.0 && c.noise <= 100.0);
    FUZZ_CHECK(c.scene == SceneKind::Room || c.scene == SceneKind::Wall);

    KitConfig again;
    std::string againError;
    FUZZ_CHECK(parseConfig(write(c), kFile, again, againError));
    FUZZ_CHECK(same(c, again));
    return 0;
}
