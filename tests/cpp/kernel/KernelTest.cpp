#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "kernel/Kernel.h"
#include "kernel/KernelFiles.h"
#include "tests/fakes/SimKernel.h"

using namespace Norvane;

TEST(KernelSeam, ScopedKernelInstallsAndRestores) {
    EXPECT_EQ(&kernel(), &linuxKernel());
    {
        sim::SimKernel outer;
        ScopedKernel a(outer);
        EXPECT_EQ(&kernel(), &outer);
        {
            sim::SimKernel inner;
            ScopedKernel b(inner);
            EXPECT_EQ(&kernel(), &inner);
        }
        EXPECT_EQ(&kernel(), &outer);
    }
    EXPECT_EQ(&kernel(), &linuxKernel());
}

TEST(KernelSeam, LinuxPassThroughReadsRealFiles) {
    char path[] = "/tmp/norvane-kernel-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "first line\nsecond\n", 18), 18);
    ::close(fd);
    char buf[64];
    EXPECT_TRUE(readFirstLine(path, buf, sizeof buf));
    EXPECT_STREQ(buf, "first line");
    EXPECT_TRUE(readFirstLine(path, buf, 6)) << "a small buffer truncates";
    EXPECT_STREQ(buf, "first");
    unlink(path);
    EXPECT_FALSE(readFirstLine(path, buf, sizeof buf));
}

TEST(SimKernel, FilesMissingFilesAndDescriptors) {
    sim::SimKernel k;
    k.addFile("/sys/a/name", "adapter\n");
    ScopedKernel scope(k);
    char buf[32];
    EXPECT_TRUE(readFirstLine("/sys/a/name", buf, sizeof buf));
    EXPECT_STREQ(buf, "adapter");
    errno = 0;
    EXPECT_LT(kernel().open("/sys/a/missing", O_RDONLY), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(readFirstLine("/sys/a/missing", buf, sizeof buf));
    k.node("/sys/a/name")->openErrno = EACCES;
    EXPECT_LT(kernel().open("/sys/a/name", O_RDONLY), 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(k.openDescriptors(), 0);
    EXPECT_EQ(k.openedPaths().size(), 4u);
}

TEST(SimKernel, DirectoriesLinksAndFstat) {
    sim::SimKernel k;
    k.addFile("/sys/class/i2c-dev/i2c-1/name", "one");
    k.addFile("/sys/class/i2c-dev/i2c-2/name", "two");
    k.addLink("/sys/dev/char/81:3", "../../devices/platform/v4l-subdev3");
    k.addDirectory("/sys/empty");
    ScopedKernel scope(k);

    void* d = kernel().openDir("/sys/class/i2c-dev");
    ASSERT_NE(d, nullptr);
    std::set<std::string> names;
    while (const char* n = kernel().readDir(d)) names.insert(n);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "i2c-1", "i2c-2"}));
    EXPECT_EQ(k.openDirectories(), 1);
    EXPECT_EQ(kernel().closeDir(d), 0);
    EXPECT_EQ(k.openDirectories(), 0);
    EXPECT_EQ(kernel().openDir("/sys/none"), nullptr);
    void* e = kernel().openDir("/sys/empty");
    ASSERT_NE(e, nullptr);
    kernel().closeDir(e);

    char link[64];
    ssize_t n = kernel().readlink("/sys/dev/char/81:3", link, sizeof link);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(link, size_t(n)), "../../devices/platform/v4l-subdev3");

    int fd = kernel().open("/sys/class/i2c-dev/i2c-1/name", O_RDONLY);
    struct stat st;
    ASSERT_EQ(kernel().fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 3);
    kernel().close(fd);
    EXPECT_LT(kernel().close(fd), 0);
    EXPECT_EQ(errno, EBADF);
}
