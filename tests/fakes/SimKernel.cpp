#include "tests/fakes/SimKernel.h"

#include <sys/mman.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

namespace Norvane {
namespace sim {

namespace {
// The entry name of `path` directly under `dir`, or empty.
std::string childName(const std::string& dir, const std::string& path) {
    std::string prefix = dir == "/" ? "/" : dir + "/";
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return {};
    std::string rest = path.substr(prefix.size());
    return rest.substr(0, rest.find('/'));
}
}  // namespace

ssize_t SimNode::read(size_t offset, void* buf, size_t count) {
    if (readErrno) return -readErrno;
    if (offset >= content.size()) return 0;
    size_t n = std::min(count, content.size() - offset);
    if (maxReadChunk) n = std::min(n, maxReadChunk);
    std::memcpy(buf, content.data() + offset, n);
    return ssize_t(n);
}

int SimNode::ioctl(unsigned long, void*) { return -ENOTTY; }

int SimNode::take(Fault& f) {
    if (f.times == 0) return 0;
    if (f.times > 0) --f.times;
    return f.err;
}

void SimNode::failIoctl(unsigned long request, int err, int times) {
    std::lock_guard<std::mutex> lock(faultMutex);
    ioctlFaults[request] = Fault{err, times};
}

void SimNode::failPoll(int err, int times) {
    std::lock_guard<std::mutex> lock(faultMutex);
    pollFault = Fault{err, times};
}

void SimNode::failMmap(int err, int times) {
    std::lock_guard<std::mutex> lock(faultMutex);
    mmapFault = Fault{err, times};
}

void SimNode::failFstat(int err, int times) {
    std::lock_guard<std::mutex> lock(faultMutex);
    fstatFault = Fault{err, times};
}

void SimNode::clearFaults() {
    std::lock_guard<std::mutex> lock(faultMutex);
    ioctlFaults.clear();
    pollFault = mmapFault = fstatFault = Fault{};
}

int SimNode::ioctlCalls(unsigned long request) const {
    std::lock_guard<std::mutex> lock(faultMutex);
    return int(std::count(calls.begin(), calls.end(), request));
}

std::vector<unsigned long> SimNode::ioctlLog() const {
    std::lock_guard<std::mutex> lock(faultMutex);
    return calls;
}

int SimNode::takeIoctlFault(unsigned long request) {
    std::lock_guard<std::mutex> lock(faultMutex);
    calls.push_back(request);
    auto it = ioctlFaults.find(request);
    return it == ioctlFaults.end() ? 0 : take(it->second);
}

int SimNode::takePollFault() {
    std::lock_guard<std::mutex> lock(faultMutex);
    return take(pollFault);
}

int SimNode::takeMmapFault() {
    std::lock_guard<std::mutex> lock(faultMutex);
    return take(mmapFault);
}

int SimNode::takeFstatFault() {
    std::lock_guard<std::mutex> lock(faultMutex);
    return take(fstatFault);
}

void* SimNode::mmap(size_t, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
}

int SimNode::munmap(void*, size_t) { return -EINVAL; }

SimKernel::SimKernel() = default;
SimKernel::~SimKernel() = default;

std::shared_ptr<SimNode> SimKernel::addFile(const std::string& path, const std::string& content) {
    auto n = std::make_shared<SimNode>();
    n->content = content;
    addNode(path, n);
    return n;
}

void SimKernel::addNode(const std::string& path, std::shared_ptr<SimNode> node) {
    std::lock_guard<std::mutex> lock(mutex);
    nodes[path] = std::move(node);
}

void SimKernel::addLink(const std::string& path, const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex);
    links[path] = target;
}

void SimKernel::addDirectory(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    directories.push_back(path);
}

void SimKernel::remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    nodes.erase(path);
    links.erase(path);
    directories.erase(std::remove(directories.begin(), directories.end(), path), directories.end());
}

std::shared_ptr<SimNode> SimKernel::node(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = nodes.find(path);
    return it == nodes.end() ? nullptr : it->second;
}

int SimKernel::openDescriptors() const {
    std::lock_guard<std::mutex> lock(mutex);
    return int(files.size());
}

int SimKernel::openDirectories() const {
    std::lock_guard<std::mutex> lock(mutex);
    return int(dirs.size());
}

int SimKernel::openMappings() const {
    std::lock_guard<std::mutex> lock(mutex);
    return int(mappings.size());
}

std::vector<std::string> SimKernel::openedPaths() const {
    std::lock_guard<std::mutex> lock(mutex);
    return opened;
}

std::shared_ptr<SimNode> SimKernel::nodeOf(int fd) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = files.find(fd);
    return it == files.end() ? nullptr : it->second.node;
}

std::shared_ptr<SimNode> SimKernel::fileOf(int fd, size_t** offset) {
    auto it = files.find(fd);
    if (it == files.end()) return nullptr;
    if (offset) *offset = &it->second.offset;
    return it->second.node;
}

bool SimKernel::isDirectory(const std::string& path) const {
    if (std::find(directories.begin(), directories.end(), path) != directories.end()) return true;
    std::string prefix = path == "/" ? "/" : path + "/";
    auto starts = [&](const std::string& p) { return p.compare(0, prefix.size(), prefix) == 0; };
    for (auto& n : nodes)
        if (starts(n.first)) return true;
    for (auto& l : links)
        if (starts(l.first)) return true;
    for (auto& d : directories)
        if (starts(d)) return true;
    return false;
}

int SimKernel::open(const char* path, int flags) {
    std::shared_ptr<SimNode> n;
    {
        std::lock_guard<std::mutex> lock(mutex);
        opened.emplace_back(path);
        auto it = nodes.find(path);
        if (it == nodes.end()) {
            errno = isDirectory(path) ? EISDIR : ENOENT;
            return -1;
        }
        n = it->second;
    }
    if (int err = n->onOpen(flags)) {
        errno = err;
        return -1;
    }
    ++n->opens;
    std::lock_guard<std::mutex> lock(mutex);
    int fd = nextFd++;
    files[fd] = OpenFile{n, 0, flags};
    return fd;
}

int SimKernel::close(int fd) {
    std::shared_ptr<SimNode> n;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = files.find(fd);
        if (it == files.end()) {
            errno = EBADF;
            return -1;
        }
        n = it->second.node;
        files.erase(it);
    }
    --n->opens;
    n->onFileClose(fd);
    n->onClose();
    return 0;
}

ssize_t SimKernel::read(int fd, void* buf, size_t count) {
    std::shared_ptr<SimNode> n;
    size_t offset = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        size_t* pos = nullptr;
        n = fileOf(fd, &pos);
        if (!n) {
            errno = EBADF;
            return -1;
        }
        offset = *pos;
    }
    ssize_t r = n->read(offset, buf, count);
    if (r < 0) {
        errno = int(-r);
        return -1;
    }
    std::lock_guard<std::mutex> lock(mutex);
    size_t* pos = nullptr;
    if (fileOf(fd, &pos)) *pos = offset + size_t(r);
    return r;
}

int SimKernel::ioctl(int fd, unsigned long request, void* arg) {
    std::shared_ptr<SimNode> n;
    int flags = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = files.find(fd);
        if (it != files.end()) {
            n = it->second.node;
            flags = it->second.flags;
        }
    }
    if (!n) {
        errno = EBADF;
        return -1;
    }
    if (int err = n->takeIoctlFault(request)) {
        errno = err;
        return -1;
    }
    // The model runs without the kernel lock: a blocking call must not stall
    // the other threads.
    int r = n->handleIoctl(fd, flags, request, arg);
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return r;
}

void* SimKernel::mmap(void*, size_t length, int prot, int flags, int fd, off_t offset) {
    std::shared_ptr<SimNode> n;
    {
        std::lock_guard<std::mutex> lock(mutex);
        n = fileOf(fd, nullptr);
    }
    if (!n) {
        errno = EBADF;
        return MAP_FAILED;
    }
    if (int err = n->takeMmapFault()) {
        errno = err;
        return MAP_FAILED;
    }
    void* p = n->mmap(length, prot, flags, offset);
    if (p != MAP_FAILED) {
        std::lock_guard<std::mutex> lock(mutex);
        mappings[p] = n;
    }
    return p;
}

int SimKernel::munmap(void* addr, size_t length) {
    std::shared_ptr<SimNode> n;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = mappings.find(addr);
        if (it == mappings.end()) {
            errno = EINVAL;
            return -1;
        }
        n = it->second;
        mappings.erase(it);
    }
    int r = n->munmap(addr, length);
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return 0;
}

int SimKernel::poll(struct pollfd* fds, nfds_t nfds, int timeoutMs) {
    std::vector<std::shared_ptr<SimNode>> polled(nfds);
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (nfds_t i = 0; i < nfds; ++i) polled[i] = fileOf(fds[i].fd, nullptr);
    }
    for (auto& n : polled) {
        if (!n) continue;
        if (int err = n->takePollFault()) {
            errno = err;
            return -1;
        }
    }
    auto sweep = [&] {
        int ready = 0;
        for (nfds_t i = 0; i < nfds; ++i) {
            fds[i].revents = polled[i] ? polled[i]->pollEvents(fds[i].events) : short(POLLNVAL);
            if (fds[i].revents) ++ready;
        }
        return ready;
    };
    int ready = sweep();
    if (ready || timeoutMs == 0) return ready;
    if (nfds == 1 && polled[0]) {
        // One node: let its model block the way the driver would.
        fds[0].revents = polled[0]->waitEvents(fds[0].events, timeoutMs);
        return fds[0].revents ? 1 : 0;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (timeoutMs < 0 || std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if ((ready = sweep())) return ready;
    }
    return 0;
}

int SimKernel::fstat(int fd, struct stat* st) {
    std::lock_guard<std::mutex> lock(mutex);
    auto n = fileOf(fd, nullptr);
    if (!n) {
        errno = EBADF;
        return -1;
    }
    if (int err = n->takeFstatFault()) {
        errno = err;
        return -1;
    }
    std::memset(st, 0, sizeof *st);
    if (n->isCharDevice()) {
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(n->devMajor, n->devMinor);
    } else {
        st->st_mode = S_IFREG | 0644;
        st->st_size = off_t(n->content.size());
    }
    return 0;
}

ssize_t SimKernel::readlink(const char* path, char* buf, size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = links.find(path);
    if (it == links.end()) {
        errno = nodes.count(path) ? EINVAL : ENOENT;
        return -1;
    }
    size_t n = std::min(size, it->second.size());  // no terminator, as readlink(2)
    std::memcpy(buf, it->second.data(), n);
    return ssize_t(n);
}

void* SimKernel::openDir(const char* path) {
    std::lock_guard<std::mutex> lock(mutex);
    std::string dir(path);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (!isDirectory(dir)) {
        errno = nodes.count(dir) ? ENOTDIR : ENOENT;
        return nullptr;
    }
    auto d = std::make_unique<Dir>();
    d->names = {".", ".."};
    std::set<std::string> seen;
    auto addChild = [&](const std::string& p) {
        std::string name = childName(dir, p);
        if (!name.empty() && seen.insert(name).second) d->names.push_back(name);
    };
    for (auto& n : nodes) addChild(n.first);
    for (auto& l : links) addChild(l.first);
    for (auto& s : directories) addChild(s);
    Dir* handle = d.get();
    dirs[handle] = std::move(d);
    return handle;
}

const char* SimKernel::readDir(void* dir) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = dirs.find(static_cast<Dir*>(dir));
    if (it == dirs.end()) {
        errno = EBADF;
        return nullptr;
    }
    Dir& d = *it->second;
    if (d.next >= d.names.size()) return nullptr;
    return d.names[d.next++].c_str();
}

int SimKernel::closeDir(void* dir) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!dirs.erase(static_cast<Dir*>(dir))) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int SimKernel::nanosleep(const struct timespec* request, struct timespec* remaining) {
    if (request) slept += (long long)request->tv_sec * 1000000000LL + request->tv_nsec;
    if (!realSleep.load()) return 0;
    return linuxKernel().nanosleep(request, remaining);
}

}  // namespace sim
}  // namespace Norvane
