#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "i2c/I2cBus.h"
#include "i2c/I2cBusses.h"
#include "kernel/Kernel.h"
#include "tests/fakes/SimBoards.h"
#include "tests/fakes/SimI2c.h"
#include "tests/fakes/SimKernel.h"

extern "C" int c_caller_configure(int bus, unsigned long* funcs);

using namespace Norvane;

namespace {

class I2cTest : public ::testing::Test {
protected:
    sim::SimKernel k;
    ScopedKernel scope{k};

    void SetUp() override { testing::internal::CaptureStderr(); }
    std::string err() { return testing::internal::GetCapturedStderr(); }

    // Opens the adapter node of bus `nr` directly.
    int openBus(int nr) {
        char name[20];
        return i2c_open_i2c_dev(nr, name, sizeof name, 1);
    }

    struct Entry {
        int nr;
        std::string name, funcs, algo;
    };
    // The gathered list, checked to end with its terminating entry.
    std::vector<Entry> gather() {
        I2cAdapter* list = gatherI2cBusses();
        std::vector<Entry> out;
        if (!list) return out;
        for (I2cAdapter* a = list; a->name; ++a) out.push_back(Entry{a->nr, a->name, a->funcs, a->algo});
        freeI2cBusses(list);
        return out;
    }
};

std::string sysfsOnly() { return "sysfs /sys sysfs rw,nosuid 0 0\n"; }

}  // namespace

TEST_F(I2cTest, RetriesTimeoutAndAddressReachTheAdapter) {
    auto bus = sim::addI2cAdapter(k, 3, "adapter");
    int fd = openBus(3);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 0), 0);
    EXPECT_EQ(bus->retries(), 2);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 7), 0);
    EXPECT_EQ(bus->retries(), 7);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), 0);
    EXPECT_EQ(bus->timeout(), 3);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 25), 0);
    EXPECT_EQ(bus->timeout(), 25);
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x0c, 0), 0);
    EXPECT_EQ(bus->slaveAddress(), 0x0c);
    EXPECT_FALSE(bus->slaveForced());
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x1a, 1), 0);
    EXPECT_EQ(bus->slaveAddress(), 0x1a);
    EXPECT_TRUE(bus->slaveForced());
    unsigned long funcs = 0;
    EXPECT_EQ(i2c_get_functionality(fd, &funcs), 0);
    EXPECT_EQ(funcs, 0x1ul | 0xEFF0008ul);
    EXPECT_EQ(err(), "");
}

TEST_F(I2cTest, FailuresPrintTheirMessageAndReturnTheNegatedErrno) {
    auto bus = sim::addI2cAdapter(k, 3, "adapter");
    int fd = openBus(3);
    bus->failIoctl(I2C_RETRIES, EINVAL);
    bus->failIoctl(I2C_TIMEOUT, EIO);
    bus->failIoctl(I2C_SLAVE, EBUSY);
    bus->failIoctl(I2C_FUNCS, ENOTTY);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 0), -EINVAL);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), -EIO);
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x0c, 0), -EBUSY);
    unsigned long funcs = 0;
    EXPECT_EQ(i2c_get_functionality(fd, &funcs), -ENOTTY);
    EXPECT_EQ(err(),
              "Error: Could not set retries to 0: Invalid argument\n"
              "Error: Could not set timeout to 0: Input/output error\n"
              "Error: Could not set address to 0x0c: Device or resource busy\n"
              "Error: Could not get adapter functionality: Inappropriate ioctl for device\n");
}

TEST_F(I2cTest, OpeningAMissingOrForbiddenBus) {
    char name[20];
    EXPECT_EQ(i2c_open_i2c_dev(7, name, sizeof name, 0), -1);
    EXPECT_STREQ(name, "/dev/i2c-7");
    EXPECT_EQ(i2c_open_i2c_dev(7, name, sizeof name, 1), -1);
    auto bus = sim::addI2cAdapter(k, 8, "adapter");
    bus->openErrno = EACCES;
    EXPECT_EQ(i2c_open_i2c_dev(8, name, sizeof name, 0), -1);
    bus->openErrno = EBUSY;
    EXPECT_EQ(i2c_open_i2c_dev(8, name, sizeof name, 0), -1);
    EXPECT_EQ(err(),
              "Error: Could not open file `/dev/i2c-7': No such file or directory\n"
              "Error: Could not open file `/dev/i2c-8': Permission denied\n"
              "Run as root?\n"
              "Error: Could not open file `/dev/i2c-8': Device or resource busy\n");
    EXPECT_EQ(k.openDescriptors(), 0);
}

TEST_F(I2cTest, TheFileNameIsBoundedByTheBuffer) {
    sim::addI2cAdapter(k, 12, "adapter");
    char name[8];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(i2c_open_i2c_dev(12, name, sizeof name, 1), -1) << "the cut name /dev/i2 names nothing";
    EXPECT_STREQ(name, "/dev/i2");
    EXPECT_EQ(k.openedPaths().back(), "/dev/i2");
    err();
}

TEST_F(I2cTest, CCallersUseTheExportedFunctions) {
    auto bus = sim::addI2cAdapter(k, 5, "adapter");
    unsigned long funcs = 0;
    int fd = c_caller_configure(5, &funcs);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(funcs & I2C_FUNC_I2C, 1ul);
    EXPECT_EQ(bus->slaveAddress(), 0x0c);
    EXPECT_TRUE(bus->slaveForced());
    EXPECT_EQ(bus->timeout(), 5);
    EXPECT_EQ(bus->retries(), 4);
    EXPECT_EQ(err(), "");
}

TEST_F(I2cTest, BusTextNumbers) {
    EXPECT_EQ(parseI2cBusText("10"), 10);
    EXPECT_EQ(parseI2cBusText("0x10"), 16);
    EXPECT_EQ(parseI2cBusText("010"), 8);
    EXPECT_EQ(parseI2cBusText("1048575"), 0xFFFFF);
    EXPECT_EQ(err(), "");
    testing::internal::CaptureStderr();
    EXPECT_LT(parseI2cBusText("1048576"), 0);
    EXPECT_EQ(err(), "Error: I2C bus out of range!\n");
    EXPECT_EQ(k.openedPaths().size(), 0u) << "a number needs no adapter list";
}

TEST_F(I2cTest, BusTextNamesAreLookedUpExactly) {
    k.addFile("/proc/mounts", sysfsOnly());
    k.addFile("/sys/class/i2c-dev/i2c-1/name", "sensor bus\n");
    k.addFile("/sys/class/i2c-dev/i2c-4/name", "twice\n");
    k.addFile("/sys/class/i2c-dev/i2c-6/name", "twice\n");
    EXPECT_EQ(parseI2cBusText("sensor bus"), 1);
    EXPECT_EQ(err(), "");
    testing::internal::CaptureStderr();
    EXPECT_LT(parseI2cBusText("twice"), 0);
    EXPECT_LT(parseI2cBusText("sensor"), 0);
    EXPECT_LT(parseI2cBusText(""), 0);
    EXPECT_EQ(err(),
              "Error: I2C bus name is not unique!\n"
              "Error: I2C bus name doesn't match any bus present!\n"
              "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(k.openDescriptors(), 0);
    EXPECT_EQ(k.openDirectories(), 0);
}

TEST_F(I2cTest, ANameListedTwiceIsNotUniqueWhateverItsNumbers) {
    // "i2c--2" reads as bus -2: the first match must still count.
    k.addFile("/proc/mounts", sysfsOnly());
    k.addFile("/sys/class/i2c-dev/i2c--2/name", "twice\n");
    k.addFile("/sys/class/i2c-dev/i2c-38/name", "twice\n");
    EXPECT_EQ(lookupI2cBusByName("twice"), -1);
    EXPECT_EQ(err(), "Error: I2C bus name is not unique!\n");
}

TEST_F(I2cTest, ANegativeBusNumberIsOutOfRangeNotMissing) {
    k.addFile("/proc/bus/i2c", "i2c--3\ti2c       \tsensor bus\tI2C adapter\n");
    EXPECT_EQ(lookupI2cBusByName("sensor bus"), -1);
    EXPECT_EQ(err(), "Error: I2C bus out of range!\n");
}

TEST_F(I2cTest, NoAdapterListMatchesNothing) {
    // Neither /proc/bus/i2c nor /proc/mounts.
    EXPECT_TRUE(gather().empty());
    EXPECT_LT(lookupI2cBusByName("any"), 0);
    // A mounts file without sysfs.
    k.addFile("/proc/mounts", "proc /proc proc rw 0 0\ntmpfs /run tmpfs rw 0 0\n");
    EXPECT_LT(lookupI2cBusByName("any"), 0);
    EXPECT_EQ(err(),
              "Error: I2C bus name doesn't match any bus present!\n"
              "Error: I2C bus name doesn't match any bus present!\n");
}

TEST_F(I2cTest, ChipAddresses) {
    EXPECT_EQ(parseChipAddress("0x0c"), 12);
    EXPECT_EQ(parseChipAddress("0x03"), 3);
    EXPECT_EQ(parseChipAddress("0x77"), 0x77);
    EXPECT_EQ(parseChipAddress("12"), 12);
    EXPECT_EQ(err(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseChipAddress("0x02"), -2);
    EXPECT_EQ(parseChipAddress("0x78"), -2);
    EXPECT_EQ(parseChipAddress("12z"), -1);
    EXPECT_EQ(err(),
              "Error: Chip address out of range (0x03-0x77)!\n"
              "Error: Chip address out of range (0x03-0x77)!\n"
              "Error: Chip address is not a number!\n");
}

TEST_F(I2cTest, ProcfsListSplitsFromTheRightAndSkipsShortLines) {
    k.addFile("/proc/bus/i2c",
              "i2c-0\tsmbus     \tSMBus I801 adapter at 3000\tSMBus adapter  \n"
              "i2c-3\ti2c       \tDesign Ware\twith\ttabs\tBit-shift algorithm\n"
              "i2c-5\tno fields here\n"
              "garbage line without a bus\ta\tb\tc\n"
              "i2c-9\ti2c\tlast\tAlgo");
    auto list = gather();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].nr, 0);
    EXPECT_EQ(list[0].name, "SMBus I801 adapter at 3000");
    EXPECT_EQ(list[0].funcs, "smbus");
    EXPECT_EQ(list[0].algo, "SMBus adapter");
    EXPECT_EQ(list[1].nr, 3);
    EXPECT_EQ(list[1].name, "tabs");
    EXPECT_EQ(list[1].funcs, "with");
    EXPECT_EQ(list[1].algo, "Bit-shift algorithm");
    EXPECT_EQ(list[2].nr, 9);
    EXPECT_EQ(list[2].name, "last");
    EXPECT_EQ(list[2].algo, "Algo");
    EXPECT_EQ(k.openDescriptors(), 0);
    // The procfs list wins: sysfs is not consulted.
    for (auto& p : k.openedPaths()) EXPECT_NE(p, "/proc/mounts");
    EXPECT_EQ(err(), "");
}

TEST_F(I2cTest, ProcfsReadInSmallChunks) {
    auto proc = k.addFile("/proc/bus/i2c", "i2c-1\ti2c\tfirst\tA\ni2c-2\ti2c\tsecond\tB\n");
    proc->maxReadChunk = 3;
    auto list = gather();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].name, "second");
    err();
}

TEST_F(I2cTest, SysfsNameFileVariants) {
    k.addFile("/proc/mounts", "proc /proc proc rw 0 0\nsys /mnt/sys SysFS rw 0 0\n");
    const std::string dir = "/mnt/sys/class/i2c-dev/";
    k.addFile(dir + "i2c-1/name", "direct\n");
    k.addFile(dir + "i2c-2/device/name", "through device\n");
    k.addDirectory(dir + "i2c-3/device/power");
    k.addFile(dir + "i2c-3/device/i2c-3/name", "in a sub-directory\n");
    k.addDirectory(dir + "i2c-4/device/nothing");  // no name file at all
    k.addFile(dir + "i2c-5/name", "");             // unreadable: nothing to read
    auto unreadable = k.addFile(dir + "i2c-6/name", "x\n");
    unreadable->readErrno = EIO;
    k.addFile(dir + "bogus/name", "no number\n");
    for (int nr : {1, 2, 3}) k.addNode("/dev/i2c-" + std::to_string(nr), std::make_shared<sim::SimI2cAdapter>());
    auto list = gather();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].nr, 1);
    EXPECT_EQ(list[0].name, "direct");
    EXPECT_EQ(list[1].nr, 2);
    EXPECT_EQ(list[1].name, "through device");
    EXPECT_EQ(list[2].nr, 3);
    EXPECT_EQ(list[2].name, "in a sub-directory");
    EXPECT_EQ(list[0].funcs, "i2c");
    EXPECT_EQ(list[0].algo, "I2C adapter");
    EXPECT_EQ(err(), dir + "i2c-5/name: read error\n" + dir + "i2c-6/name: read error\n");
    EXPECT_EQ(k.openDirectories(), 0) << "every scanned directory is closed, the fruitless one too";
    EXPECT_EQ(k.openDescriptors(), 0);
}

TEST_F(I2cTest, AdapterTypes) {
    k.addFile("/proc/mounts", sysfsOnly());
    auto add = [&](int nr, const std::string& name) {
        k.addFile("/sys/class/i2c-dev/i2c-" + std::to_string(nr) + "/name", name + "\n");
    };
    add(1, "ISA main");
    add(2, "plain i2c");
    add(3, "smbus only");
    add(4, "dummy");
    add(5, "no node");
    add(6, "funcs fail");
    add(7, "ISAbus");
    k.addNode("/dev/i2c-1", std::make_shared<sim::SimI2cAdapter>(I2C_FUNC_I2C));
    k.addNode("/dev/i2c-2", std::make_shared<sim::SimI2cAdapter>(I2C_FUNC_I2C));
    k.addNode("/dev/i2c-3", std::make_shared<sim::SimI2cAdapter>(I2C_FUNC_SMBUS_READ_BYTE));
    k.addNode("/dev/i2c-4", std::make_shared<sim::SimI2cAdapter>(I2C_FUNC_10BIT_ADDR));
    auto failing = std::make_shared<sim::SimI2cAdapter>(I2C_FUNC_I2C);
    failing->failIoctl(I2C_FUNCS, EIO);
    k.addNode("/dev/i2c-6", failing);
    k.addNode("/dev/i2c-7", std::make_shared<sim::SimI2cAdapter>(I2C_FUNC_SMBUS_QUICK));
    auto list = gather();
    ASSERT_EQ(list.size(), 7u);
    std::vector<std::string> funcs, algos;
    for (auto& e : list) {
        funcs.push_back(e.funcs);
        algos.push_back(e.algo);
    }
    EXPECT_EQ(funcs, (std::vector<std::string>{"isa", "i2c", "smbus", "dummy", "unknown", "unknown", "dummy"}));
    EXPECT_EQ(algos, (std::vector<std::string>{"ISA bus", "I2C adapter", "SMBus adapter", "Dummy bus", "N/A", "N/A",
                                               "Dummy bus"}));
    auto opened = k.openedPaths();
    EXPECT_EQ(std::count(opened.begin(), opened.end(), "/dev/i2c-1"), 0) << "an ISA adapter is not opened";
    EXPECT_EQ(std::count(opened.begin(), opened.end(), "/dev/i2c-2"), 1);
    EXPECT_EQ(k.openDescriptors(), 0);
    EXPECT_EQ(err(), "") << "probing is quiet";
}

TEST_F(I2cTest, ListsGrowPastEightAndSixteenEntries) {
    for (int count : {8, 9, 16, 17, 40}) {
        sim::SimKernel kk;
        ScopedKernel s(kk);
        std::string proc;
        for (int i = 0; i < count; ++i)
            proc += "i2c-" + std::to_string(i) + "\ti2c\tbus " + std::to_string(i) + "\tA\n";
        kk.addFile("/proc/bus/i2c", proc);
        auto list = gather();
        ASSERT_EQ(int(list.size()), count);
        for (int i = 0; i < count; ++i) EXPECT_EQ(list[size_t(i)].name, "bus " + std::to_string(i));
        EXPECT_EQ(lookupI2cBusByName(("bus " + std::to_string(count - 1)).c_str()), count - 1);

        sim::SimKernel ks;
        ScopedKernel s2(ks);
        ks.addFile("/proc/mounts", sysfsOnly());
        for (int i = 0; i < count; ++i)
            ks.addFile("/sys/class/i2c-dev/i2c-" + std::to_string(i) + "/name", "bus " + std::to_string(i) + "\n");
        EXPECT_EQ(int(gather().size()), count);
    }
    EXPECT_EQ(err(), "");
}
