// The one seam through which the library reaches the operating system.
//
// Production code calls kernel().open(...), kernel().ioctl(...) and so on;
// the default instance passes straight through to Linux. Tests install a
// simulated kernel for their duration with ScopedKernel. Every operation
// reports failure the way the system call does: -1 (or MAP_FAILED / null)
// with errno set.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

namespace Norvane {

class Kernel {
public:
    virtual ~Kernel() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual ssize_t read(int fd, void* buf, size_t count) = 0;
    // `arg` is the ioctl's third argument: a pointer to a structure, or an
    // integer value cast to a pointer for the requests that take one.
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* addr, size_t length) = 0;
    virtual int poll(struct pollfd* fds, nfds_t nfds, int timeoutMs) = 0;
    virtual int fstat(int fd, struct stat* st) = 0;
    virtual ssize_t readlink(const char* path, char* buf, size_t size) = 0;

    // Directory listing: an opaque handle, one entry name per call (null at
    // the end or on error), released by closeDir.
    virtual void* openDir(const char* path) = 0;
    virtual const char* readDir(void* dir) = 0;
    virtual int closeDir(void* dir) = 0;

    virtual int nanosleep(const struct timespec* request, struct timespec* remaining) = 0;
};

// The kernel in use: the Linux pass-through unless a test installed another.
Kernel& kernel();

// The Linux pass-through.
Kernel& linuxKernel();

// Installs `k` as the kernel for the lifetime of this object, then restores
// the previous one. Install before any thread uses the library.
class ScopedKernel {
public:
    explicit ScopedKernel(Kernel& k);
    ~ScopedKernel();
    ScopedKernel(const ScopedKernel&) = delete;
    ScopedKernel& operator=(const ScopedKernel&) = delete;

private:
    Kernel* previous;
};

}  // namespace Norvane
