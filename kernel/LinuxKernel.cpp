// Thin pass-through of the kernel seam to Linux.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "kernel/Kernel.h"

namespace Norvane {

namespace {

class LinuxKernel final : public Kernel {
public:
    int open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
    int close(int fd) override { return ::close(fd); }
    ssize_t read(int fd, void* buf, size_t count) override { return ::read(fd, buf, count); }
    int ioctl(int fd, unsigned long request, void* arg) override { return ::ioctl(fd, request, arg); }
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override {
        return ::mmap(addr, length, prot, flags, fd, offset);
    }
    int munmap(void* addr, size_t length) override { return ::munmap(addr, length); }
    int poll(struct pollfd* fds, nfds_t nfds, int timeoutMs) override { return ::poll(fds, nfds, timeoutMs); }
    int fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
    ssize_t readlink(const char* path, char* buf, size_t size) override { return ::readlink(path, buf, size); }
    void* openDir(const char* path) override { return ::opendir(path); }
    const char* readDir(void* dir) override {
        struct dirent* entry = ::readdir(static_cast<DIR*>(dir));
        return entry ? entry->d_name : nullptr;
    }
    int closeDir(void* dir) override { return ::closedir(static_cast<DIR*>(dir)); }
    int nanosleep(const struct timespec* request, struct timespec* remaining) override {
        return ::nanosleep(request, remaining);
    }
};

}  // namespace

Kernel& linuxKernel() {
    static LinuxKernel instance;
    return instance;
}

}  // namespace Norvane
