#include "i2c/I2cBusses.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "i2c/I2cBus.h"
#include "kernel/Kernel.h"

namespace Norvane {

namespace {

constexpr size_t kListChunk = 8;         // the list grows by this many entries
constexpr size_t kProcLineSize = 120;    // 119 characters per /proc/bus/i2c line
constexpr size_t kMountsLineSize = 255;  // 254 characters per /proc/mounts line
constexpr size_t kPathSize = 255;        // longest sysfs path formatted: 254
constexpr size_t kClassPathSize = 256;   // mount point + "/class/i2c-dev": 255
constexpr size_t kNameSize = 120;        // 119 characters of an adapter name
constexpr size_t kDevNameSize = 20;      // "/dev/i2c-N"
constexpr unsigned long kSmbusFuncs = 0x7E0000;

enum AdapterType { ADT_DUMMY, ADT_ISA, ADT_I2C, ADT_SMBUS, ADT_UNKNOWN };

struct TypeText {
    const char* funcs;
    const char* algo;
};

constexpr TypeText kTypes[] = {
    {"dummy", "Dummy bus"}, {"isa", "ISA bus"}, {"i2c", "I2C adapter"}, {"smbus", "SMBus adapter"}, {"unknown", "N/A"},
};

void outOfMemory() { std::fprintf(stderr, "Error: Out of memory!\n"); }

// Line-by-line reading through the kernel seam with the semantics of fgets:
// at most size - 1 characters, the newline kept when it fits.
class LineReader {
public:
    explicit LineReader(int fd) : fd(fd) {}

    bool next(char* line, size_t size) {
        size_t used = 0;
        while (used + 1 < size) {
            if (pos == end && !fill()) break;
            char c = buf[pos++];
            line[used++] = c;
            if (c == '\n') break;
        }
        line[used] = '\0';
        return used > 0;
    }

private:
    bool fill() {
        for (;;) {
            ssize_t n = kernel().read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            pos = 0;
            end = size_t(n);
            return true;
        }
    }

    int fd;
    char buf[256];
    size_t pos = 0, end = 0;
};

// Descriptors and directory handles of the gathering, closed on every path.
class FileHandle {
public:
    explicit FileHandle(int fd) : fd(fd) {}
    ~FileHandle() {
        if (fd >= 0) kernel().close(fd);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

class DirHandle {
public:
    explicit DirHandle(const char* path) : dir(kernel().openDir(path)) {}
    ~DirHandle() {
        if (dir) kernel().closeDir(dir);
    }
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    explicit operator bool() const { return dir != nullptr; }
    // The next entry other than "." and "..", or null.
    const char* next() {
        while (const char* name = kernel().readDir(dir)) {
            if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) return name;
        }
        return nullptr;
    }

private:
    void* dir;
};

// The growing, null-terminated adapter array.
class AdapterList {
public:
    AdapterList() : entries(static_cast<I2cAdapter*>(std::calloc(kListChunk, sizeof(I2cAdapter)))) {
        if (!entries) outOfMemory();
    }
    ~AdapterList() { freeI2cBusses(entries); }
    AdapterList(const AdapterList&) = delete;
    AdapterList& operator=(const AdapterList&) = delete;

    bool ok() const { return entries != nullptr; }

    // Takes ownership of `name`. False (list freed) when the list cannot grow.
    bool append(int nr, char* name, const char* funcs, const char* algo) {
        entries[count] = I2cAdapter{nr, name, funcs, algo};
        ++count;
        if (count % kListChunk == 0) {
            // Room for the next chunk, the terminating entry included.
            auto* grown = static_cast<I2cAdapter*>(std::realloc(entries, (count + kListChunk) * sizeof(I2cAdapter)));
            if (!grown) {
                outOfMemory();
                freeI2cBusses(entries);
                entries = nullptr;
                return false;
            }
            entries = grown;
            std::memset(entries + count, 0, kListChunk * sizeof(I2cAdapter));
        }
        return true;
    }

    I2cAdapter* release() {
        I2cAdapter* out = entries;
        entries = nullptr;
        return out;
    }

private:
    I2cAdapter* entries;
    size_t count = 0;
};

void trimRight(char* s) {
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == ' ')) s[--n] = '\0';
}

// Cuts `line` at its last tab and returns the (trimmed) text after it, or
// null when the line holds no tab.
char* splitLastField(char* line) {
    char* tab = std::strrchr(line, '\t');
    if (!tab) return nullptr;
    *tab = '\0';
    trimRight(tab + 1);
    return tab + 1;
}

// Reads /proc/bus/i2c; false when an allocation failed.
bool gatherFromProc(int fd, AdapterList& list) {
    LineReader reader(fd);
    char line[kProcLineSize];
    while (reader.next(line, sizeof line)) {
        // "i2c-N <tab> funcs <tab> name <tab> algo": a line without all three
        // fields is skipped.
        char* algo = splitLastField(line);
        char* name = algo ? splitLastField(line) : nullptr;
        char* funcs = name ? splitLastField(line) : nullptr;
        int nr;
        if (!funcs || std::sscanf(line, "i2c-%d", &nr) != 1) continue;
        size_t nameLen = std::strlen(name) + 1, funcsLen = std::strlen(funcs) + 1, algoLen = std::strlen(algo) + 1;
        char* block = static_cast<char*>(std::malloc(nameLen + funcsLen + algoLen));
        if (!block) {
            outOfMemory();
            return false;
        }
        std::memcpy(block, name, nameLen);
        std::memcpy(block + nameLen, funcs, funcsLen);
        std::memcpy(block + nameLen + funcsLen, algo, algoLen);
        if (!list.append(nr, block, block + nameLen, block + nameLen + funcsLen)) return false;
    }
    return true;
}

// The sysfs mount point from /proc/mounts, or false.
bool findSysfs(char* mountPoint) {
    FileHandle mounts(kernel().open("/proc/mounts", O_RDONLY));
    if (mounts.get() < 0) return false;
    LineReader reader(mounts.get());
    char line[kMountsLineSize];
    char type[kMountsLineSize];
    while (reader.next(line, sizeof line)) {
        if (std::sscanf(line, "%*[^ ] %254[^ ] %254[^ ] %*s\n", mountPoint, type) != 2) continue;
        if (strcasecmp(type, "sysfs") == 0) return true;
    }
    return false;
}

// Formats into a path buffer; false when the result does not fit.
template <typename... Args>
bool formatPath(char* out, const char* format, Args... args) {
    int n = std::snprintf(out, kPathSize, format, args...);
    return n >= 0 && size_t(n) < kPathSize;
}

// Opens the name file of one adapter entry; -1 when there is none. `path`
// receives the file's path.
int openAdapterNameFile(const char* classDir, const char* entry, char* path) {
    if (!formatPath(path, "%s/%s/name", classDir, entry)) return -1;
    int fd = kernel().open(path, O_RDONLY);
    if (fd >= 0) return fd;
    if (!formatPath(path, "%s/%s/device/name", classDir, entry)) return -1;
    fd = kernel().open(path, O_RDONLY);
    if (fd >= 0) return fd;
    char devDir[kPathSize];
    if (!formatPath(devDir, "%s/%s/device", classDir, entry)) return -1;
    DirHandle dir(devDir);
    if (!dir) return -1;
    while (const char* sub = dir.next()) {
        if (std::strncmp(sub, "i2c-", 4) != 0) continue;
        if (!formatPath(path, "%s/%s/device/%s/name", classDir, entry, sub)) return -1;
        fd = kernel().open(path, O_RDONLY);
        if (fd >= 0) return fd;
    }
    return -1;
}

AdapterType probeAdapterType(int nr, const char* name) {
    if (std::strncmp(name, "ISA ", 4) == 0) return ADT_ISA;
    char devName[kDevNameSize];
    FileHandle bus(i2c_open_i2c_dev(nr, devName, sizeof devName, 1));
    if (bus.get() < 0) return ADT_UNKNOWN;
    unsigned long funcs = 0;
    if (kernel().ioctl(bus.get(), I2C_FUNCS, &funcs) < 0) return ADT_UNKNOWN;
    if (funcs & I2C_FUNC_I2C) return ADT_I2C;
    if (funcs & kSmbusFuncs) return ADT_SMBUS;
    return ADT_DUMMY;
}

// Reads the sysfs i2c-dev class; false when an allocation failed.
bool gatherFromSysfs(AdapterList& list) {
    char mountPoint[kMountsLineSize];
    if (!findSysfs(mountPoint)) return true;
    char classDir[kClassPathSize];
    int n = std::snprintf(classDir, sizeof classDir, "%s/class/i2c-dev", mountPoint);
    if (n < 0 || size_t(n) >= sizeof classDir) return true;
    DirHandle dir(classDir);
    if (!dir) return true;
    while (const char* entry = dir.next()) {
        char path[kPathSize];
        FileHandle nameFile(openAdapterNameFile(classDir, entry, path));
        if (nameFile.get() < 0) continue;
        char name[kNameSize];
        LineReader reader(nameFile.get());
        if (!reader.next(name, sizeof name)) {
            std::fprintf(stderr, "%s: read error\n", path);
            continue;
        }
        name[std::strcspn(name, "\n")] = '\0';
        int nr;
        if (std::sscanf(entry, "i2c-%d", &nr) != 1) continue;
        const TypeText& type = kTypes[probeAdapterType(nr, name)];
        char* copy = strdup(name);
        if (!copy) {
            outOfMemory();
            return false;
        }
        if (!list.append(nr, copy, type.funcs, type.algo)) return false;
    }
    return true;
}

}  // namespace

I2cAdapter* gatherI2cBusses() {
    AdapterList list;
    if (!list.ok()) return nullptr;
    FileHandle proc(kernel().open("/proc/bus/i2c", O_RDONLY));
    bool ok = proc.get() >= 0 ? gatherFromProc(proc.get(), list) : gatherFromSysfs(list);
    if (!ok) return nullptr;
    return list.release();
}

void freeI2cBusses(I2cAdapter* list) {
    if (!list) return;
    for (I2cAdapter* a = list; a->name; ++a) std::free(a->name);
    std::free(list);
}

int lookupI2cBusByName(const char* name) {
    I2cAdapter* list = gatherI2cBusses();
    if (!list) return -1;
    int found = -1;
    int matches = 0;  // counted apart: a listed number may itself be negative
    for (I2cAdapter* a = list; a->name && matches < 2; ++a) {
        if (std::strcmp(a->name, name) != 0) continue;
        found = a->nr;
        ++matches;
    }
    freeI2cBusses(list);
    if (matches > 1) {
        std::fprintf(stderr, "Error: I2C bus name is not unique!\n");
        return -1;
    }
    if (matches == 0) {
        std::fprintf(stderr, "Error: I2C bus name doesn't match any bus present!\n");
        return -1;
    }
    if (found < 0) {
        // The name is there, but its line gives no usable bus number.
        std::fprintf(stderr, "Error: I2C bus out of range!\n");
        return -1;
    }
    return found;
}

int parseI2cBusText(const char* text) {
    char* end;
    unsigned long bus = std::strtoul(text, &end, 0);
    if (*text && !*end) {
        if (bus > 0xFFFFF) {
            std::fprintf(stderr, "Error: I2C bus out of range!\n");
            return -1;
        }
        return int(bus);
    }
    return lookupI2cBusByName(text);
}

int parseChipAddress(const char* text) {
    char* end;
    long address = std::strtol(text, &end, 0);
    if (*end) {
        std::fprintf(stderr, "Error: Chip address is not a number!\n");
        return -1;
    }
    if (address < 0x03 || address > 0x77) {
        std::fprintf(stderr, "Error: Chip address out of range (0x03-0x77)!\n");
        return -2;
    }
    return int(address);
}

}  // namespace Norvane
