// The adapter list from /proc/bus/i2c lines or from a sysfs i2c-dev tree:
// whatever the files hold, the list is well formed, every descriptor and
// directory handle is closed again, and a lookup by a listed name agrees
// with the list.
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "i2c/I2cBusses.h"
#include "tests/fakes/SimBoards.h"
#include "tests/fakes/SimI2c.h"
#include "tests/fakes/SimKernel.h"

using Norvane::sim::SimKernel;

namespace {

constexpr size_t kMaxNameLength = 119;
constexpr int kMaxEntries = 10;

// A procfs text of adapter lines, mostly well formed.
std::string procLines(FuzzedDataProvider& in) {
    std::string s;
    int lines = in.ConsumeIntegralInRange<int>(0, 12);
    for (int i = 0; i < lines && in.remaining_bytes(); ++i) {
        if (in.ConsumeBool()) {
            s += in.ConsumeRandomLengthString(160);
            continue;
        }
        s += "i2c-" + std::to_string(in.ConsumeIntegral<int32_t>()) + "\t" + fuzz::cText(in, 20) + "\t" +
             fuzz::cText(in, 140) + "\t" + fuzz::cText(in, 40) + (in.ConsumeBool() ? "\n" : "");
    }
    return s;
}

void buildProc(SimKernel& k, FuzzedDataProvider& in) {
    auto file = k.addFile("/proc/bus/i2c", procLines(in));
    file->maxReadChunk = in.ConsumeIntegralInRange<size_t>(0, 300);
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) file->readErrno = EIO;
}

void buildSysfs(SimKernel& k, FuzzedDataProvider& in) {
    std::string mount = "/sys";
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            break;  // no /proc/mounts at all
        case 1:
            k.addFile("/proc/mounts", in.ConsumeRandomLengthString(300));
            break;
        case 2:
            mount = "/" + fuzz::cText(in, 250);
            k.addFile("/proc/mounts", "proc /proc proc rw 0 0\nsysfs " + mount + " sysfs rw 0 0\n");
            break;
        default:
            k.addFile("/proc/mounts", "sysfs /sys sysfs rw,nosuid,nodev,noexec,relatime 0 0\n");
            break;
    }
    const std::string cls = mount + "/class/i2c-dev";
    k.addDirectory(cls);
    int entries = in.ConsumeIntegralInRange<int>(0, kMaxEntries);
    for (int i = 0; i < entries && in.remaining_bytes(); ++i) {
        int nr = in.ConsumeIntegralInRange<int>(-2, 40);
        std::string entry = in.ConsumeBool() ? "i2c-" + std::to_string(nr) : fuzz::cText(in, 24);
        std::string dir = cls + "/" + entry;
        std::string content = in.ConsumeBool() ? fuzz::cText(in, 200) + "\n" : in.ConsumeRandomLengthString(200);
        std::shared_ptr<Norvane::sim::SimNode> name;
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                name = k.addFile(dir + "/name", content);
                break;
            case 1:
                name = k.addFile(dir + "/device/name", content);
                break;
            case 2:
                k.addDirectory(dir + "/device/driver");
                name =
                    k.addFile(dir + "/device/" + fuzz::wordOrRandom(in, {"i2c-3", "i2c-dev"}, 30) + "/name", content);
                break;
            default:
                k.addDirectory(dir);
                break;
        }
        if (name) {
            name->maxReadChunk = in.ConsumeIntegralInRange<size_t>(0, 8);
            if (in.ConsumeIntegralInRange<int>(0, 15) == 0) name->readErrno = EIO;
        }
        if (in.ConsumeBool()) {
            auto bus = std::make_shared<Norvane::sim::SimI2cAdapter>(in.ConsumeIntegral<unsigned long>());
            if (in.ConsumeIntegralInRange<int>(0, 7) == 0) bus->failIoctl(I2C_FUNCS, EIO);
            k.addNode("/dev/i2c-" + std::to_string(nr), bus);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SimKernel k;
    Norvane::ScopedKernel scope(k);
    const bool fromProc = in.ConsumeBool();
    if (fromProc) {
        buildProc(k, in);
    } else {
        buildSysfs(k, in);
    }

    Norvane::I2cAdapter* list = Norvane::gatherI2cBusses();
    FUZZ_CHECK(list != nullptr);
    size_t count = 0;
    for (Norvane::I2cAdapter* a = list; a->name; ++a, ++count) {
        FUZZ_CHECK(a->funcs && a->algo);
        FUZZ_CHECK(std::strlen(a->name) <= kMaxNameLength);
        if (!fromProc) FUZZ_CHECK(std::strchr(a->name, '\n') == nullptr);
        FUZZ_CHECK(count <= size);
    }
    FUZZ_CHECK(k.openDescriptors() == 0 && k.openDirectories() == 0);

    if (count > 0) {
        // A name listed once names its bus; a name listed twice names none.
        const std::string name = list[0].name;
        int listed = 0;
        for (Norvane::I2cAdapter* a = list; a->name; ++a) listed += name == a->name;
        int bus = Norvane::lookupI2cBusByName(name.c_str());
        FUZZ_CHECK(bus == (listed == 1 && list[0].nr >= 0 ? list[0].nr : -1));
        FUZZ_CHECK(k.openDescriptors() == 0 && k.openDirectories() == 0);
    }
    Norvane::freeI2cBusses(list);
    return 0;
}
