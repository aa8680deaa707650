#include "kernel/KernelFiles.h"

#include <fcntl.h>

#include <cerrno>

#include "kernel/Kernel.h"

namespace Norvane {

bool readFirstLine(const char* path, char* buf, size_t size, bool requireText) {
    if (size == 0) return false;
    buf[0] = '\0';
    int fd = kernel().open(path, O_RDONLY);
    if (fd < 0) return false;
    size_t used = 0;
    bool ok = true;
    // Byte-wise reads stop exactly at the newline; these files are tiny.
    while (used + 1 < size) {
        char c;
        ssize_t n = kernel().read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0 || c == '\n') break;
        buf[used++] = c;
    }
    buf[used] = '\0';
    kernel().close(fd);
    return ok && (!requireText || used > 0);
}

size_t readFileBytes(const char* path, char* buf, size_t size) {
    int fd = kernel().open(path, O_RDONLY);
    if (fd < 0) return 0;
    size_t used = 0;
    while (used < size) {
        ssize_t n = kernel().read(fd, buf + used, size - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) used = 0;
        if (n <= 0) break;
        used += size_t(n);
    }
    kernel().close(fd);
    return used;
}

}  // namespace Norvane
