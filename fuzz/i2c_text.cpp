// Bus texts and chip-address texts: any text gives a bus number within the
// limit or -1, and a chip address within 0x03-0x77, -1 or -2. A name that
// matches exactly one adapter gives its number.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "i2c/I2cBusses.h"
#include "tests/fakes/SimKernel.h"

namespace {

constexpr int kMaxBus = 0xFFFFF;

struct Adapter {
    int nr;
    const char* name;
};
constexpr Adapter kAdapters[] = {
    {1, "bcm2835 (i2c@7e804000)"}, {10, "i2c-22-mux (chan_id 0)"}, {4, "1f00088000.i2c"}, {7, "twin"}, {8, "twin"},
};

std::string procText() {
    std::string s;
    for (const Adapter& a : kAdapters)
        s += "i2c-" + std::to_string(a.nr) + "\ti2c       \t" + a.name + "\tI2C adapter\n";
    return s;
}

bool isNumberText(const std::string& t) {
    if (t.empty()) return false;
    char* end;
    (void)std::strtoul(t.c_str(), &end, 0);
    return *end == '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));

    Norvane::sim::SimKernel k;
    k.addFile("/proc/bus/i2c", procText());
    Norvane::ScopedKernel scope(k);

    int address = Norvane::parseChipAddress(text.c_str());
    FUZZ_CHECK(address == -1 || address == -2 || (address >= 0x03 && address <= 0x77));
    if (address >= 0) FUZZ_CHECK(isNumberText(text));

    int bus = Norvane::parseI2cBusText(text.c_str());
    FUZZ_CHECK(bus == -1 || (bus >= 0 && bus <= kMaxBus));
    if (!isNumberText(text)) {
        int matches = 0, nr = -1;
        for (const Adapter& a : kAdapters) {
            if (text == a.name) {
                ++matches;
                nr = a.nr;
            }
        }
        FUZZ_CHECK(bus == (matches == 1 ? nr : -1));
    }
    FUZZ_CHECK(k.openDescriptors() == 0);
    return 0;
}
