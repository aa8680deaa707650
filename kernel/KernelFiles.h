// Small file helpers over the kernel seam, for the short text files of
// /sys and /proc.
#pragma once

#include <cstddef>

namespace Norvane {

// Reads the first line of `path` into `buf` (at most size - 1 characters,
// stopping before a newline), NUL-terminated. Returns false when the file
// cannot be opened or read, or holds nothing before the first newline/EOF
// and `requireText` is set.
bool readFirstLine(const char* path, char* buf, size_t size, bool requireText = false);

// Reads up to `size` bytes of `path` (binary: device-tree lists hold NULs);
// the count read, 0 when the file cannot be opened or read.
size_t readFileBytes(const char* path, char* buf, size_t size);

}  // namespace Norvane
