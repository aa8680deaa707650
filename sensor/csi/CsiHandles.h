// Owners of the CSI transport's descriptors and buffer mappings: each is
// released exactly once, through the kernel seam.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

#include "kernel/Kernel.h"

namespace Norvane {
namespace csi {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    void reset(int next = -1) {
        if (fd >= 0) kernel().close(fd);
        fd = next;
    }
    int release() {
        int out = fd;
        fd = -1;
        return out;
    }

private:
    int fd = -1;
};

// One shared mapping of a driver buffer.
class Mapping {
public:
    Mapping() = default;
    ~Mapping() { reset(); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    // Maps `length` bytes at `offset` of `fd`; false (nothing held) on failure.
    bool map(int fd, size_t length, off_t offset) {
        reset();
        void* p = kernel().mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        if (p == MAP_FAILED) return false;
        addr = static_cast<uint8_t*>(p);
        size = length;
        return true;
    }
    // Unmaps; false when munmap failed (the mapping is forgotten either way).
    bool reset() {
        if (!addr) return true;
        bool ok = kernel().munmap(addr, size) == 0;
        addr = nullptr;
        size = 0;
        return ok;
    }

    const uint8_t* data() const { return addr; }
    size_t length() const { return size; }
    bool mapped() const { return addr != nullptr; }

private:
    uint8_t* addr = nullptr;
    size_t size = 0;
};

}  // namespace csi
}  // namespace Norvane
