// The CSI transport's kernel calls: the retrying form every V4L2 and media
// ioctl goes through, and the single attempt for the few that never retry.
#pragma once

#include <cerrno>

#include "kernel/Kernel.h"

namespace Norvane {
namespace csi {

constexpr int kIoctlAttempts = 5;

inline bool isTransient(int err) { return err == EAGAIN || err == EINTR || err == ETIMEDOUT; }

// Runs `call` (returning a result, negative with errno on failure) up to
// kIoctlAttempts times while it fails with a transient errno.
template <typename Call>
int retrying(Call call) {
    int r = -1;
    for (int attempt = 0; attempt < kIoctlAttempts; ++attempt) {
        r = call();
        if (r >= 0 || !isTransient(errno)) break;
    }
    return r;
}

// A descriptor that was never opened fails without reaching the kernel.
inline int ioctlOnce(int fd, unsigned long request, void* arg) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return kernel().ioctl(fd, request, arg);
}

inline int xioctl(int fd, unsigned long request, void* arg) {
    return retrying([&] { return ioctlOnce(fd, request, arg); });
}

}  // namespace csi
}  // namespace Norvane
