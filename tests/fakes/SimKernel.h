// A simulated kernel for tests: an in-memory tree of files, links and
// device nodes behind the library's kernel seam, with fault injection.
//
// Device models (V4L2 nodes, sub-devices, media controller, i2c-dev) derive
// from SimNode and override the calls they answer.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/Kernel.h"

namespace Norvane {
namespace sim {

class SimKernel;

// One node of the simulated tree. The default answers are those of a
// regular file; a device model overrides what it handles.
class SimNode {
public:
    virtual ~SimNode() = default;

    // Called for every open of the node; return 0 or an errno value.
    virtual int onOpen(int /*flags*/) { return openErrno; }
    virtual void onClose() {}
    // Reads at `offset`; returns bytes read or -errno.
    virtual ssize_t read(size_t offset, void* buf, size_t count);
    // Returns the ioctl result, or -errno.
    virtual int ioctl(unsigned long request, void* arg);
    // The ioctl as made on a descriptor opened with `openFlags`; models that
    // honour O_NONBLOCK override this one.
    virtual int fileIoctl(int openFlags, unsigned long request, void* arg) {
        (void)openFlags;
        return ioctl(request, arg);
    }
    // The ioctl as made on descriptor `fd`; models that keep state per open
    // file (sub-device TRY formats) override this one.
    virtual int handleIoctl(int fd, int openFlags, unsigned long request, void* arg) {
        (void)fd;
        return fileIoctl(openFlags, request, arg);
    }
    // Called when descriptor `fd` of this node is closed, before onClose.
    virtual void onFileClose(int /*fd*/) {}
    virtual void* mmap(size_t length, int prot, int flags, off_t offset);
    virtual int munmap(void* addr, size_t length);
    // Readiness for poll: the revents for the requested events.
    virtual short pollEvents(short requested) { return short(requested & (POLLIN | POLLOUT)); }
    // Waits up to `timeoutMs` (negative: for ever) for readiness; models with
    // blocking semantics override it. Returns the revents.
    virtual short waitEvents(short requested, int timeoutMs) {
        (void)timeoutMs;
        return pollEvents(requested);
    }

    bool isCharDevice() const { return charDevice; }

    // --- fault injection (thread-safe) --------------------------------------
    // The next `times` calls (negative: every call) fail with `err` before
    // the model sees them.
    void failIoctl(unsigned long request, int err, int times = -1);
    void failPoll(int err, int times = -1);
    void failMmap(int err, int times = -1);
    void failFstat(int err, int times = -1);
    void clearFaults();
    // Calls made on this node so far (failed and injected ones included).
    int ioctlCalls(unsigned long request) const;
    std::vector<unsigned long> ioctlLog() const;
    int openCount() const { return opens.load(); }

    // Used by SimKernel: an injected errno for this call, or 0.
    int takeIoctlFault(unsigned long request);
    int takePollFault();
    int takeMmapFault();
    int takeFstatFault();
    std::atomic<int> opens{0};

    std::string content;      // regular-file content
    int openErrno = 0;        // nonzero: every open fails with it
    int readErrno = 0;        // nonzero: every read fails with it
    size_t maxReadChunk = 0;  // nonzero: reads return at most this many bytes
    bool charDevice = false;
    unsigned devMajor = 0, devMinor = 0;

private:
    struct Fault {
        int err = 0;
        int times = 0;  // negative: for ever
    };
    static int take(Fault& f);
    mutable std::mutex faultMutex;
    std::map<unsigned long, Fault> ioctlFaults;
    Fault pollFault, mmapFault, fstatFault;
    std::vector<unsigned long> calls;
};

class SimKernel : public Kernel {
public:
    SimKernel();
    ~SimKernel() override;

    // --- building the tree -------------------------------------------------
    // A regular file with `content`; parent directories exist implicitly.
    std::shared_ptr<SimNode> addFile(const std::string& path, const std::string& content);
    // Any node (device models included) at `path`.
    void addNode(const std::string& path, std::shared_ptr<SimNode> node);
    // A symbolic link, answered by readlink (open does not follow it).
    void addLink(const std::string& path, const std::string& target);
    // An empty directory (directories holding nodes exist already).
    void addDirectory(const std::string& path);
    void remove(const std::string& path);
    std::shared_ptr<SimNode> node(const std::string& path) const;

    // --- observing ---------------------------------------------------------
    int openDescriptors() const;
    int openDirectories() const;
    // Mappings made through mmap and not yet unmapped.
    int openMappings() const;
    // Paths passed to open, in call order (failed opens included).
    std::vector<std::string> openedPaths() const;
    // Time asked of nanosleep so far.
    long long sleptNanoseconds() const { return slept.load(); }
    // false: nanosleep returns at once (fuzzing), still counting the time.
    std::atomic<bool> realSleep{true};
    // The node behind an open descriptor, or null.
    std::shared_ptr<SimNode> nodeOf(int fd) const;

    // --- the seam ------------------------------------------------------------
    int open(const char* path, int flags) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buf, size_t count) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* addr, size_t length) override;
    int poll(struct pollfd* fds, nfds_t nfds, int timeoutMs) override;
    int fstat(int fd, struct stat* st) override;
    ssize_t readlink(const char* path, char* buf, size_t size) override;
    void* openDir(const char* path) override;
    const char* readDir(void* dir) override;
    int closeDir(void* dir) override;
    int nanosleep(const struct timespec* request, struct timespec* remaining) override;

private:
    struct OpenFile {
        std::shared_ptr<SimNode> node;
        size_t offset = 0;
        int flags = 0;
    };
    struct Dir {
        std::vector<std::string> names;
        size_t next = 0;
    };
    std::shared_ptr<SimNode> fileOf(int fd, size_t** offset);
    bool isDirectory(const std::string& path) const;

    mutable std::mutex mutex;
    std::map<std::string, std::shared_ptr<SimNode>> nodes;
    std::map<std::string, std::string> links;
    std::vector<std::string> directories;
    std::map<int, OpenFile> files;
    std::map<Dir*, std::unique_ptr<Dir>> dirs;
    std::map<void*, std::shared_ptr<SimNode>> mappings;
    std::vector<std::string> opened;
    int nextFd = 3;
    std::atomic<long long> slept{0};
};

}  // namespace sim
}  // namespace Norvane
