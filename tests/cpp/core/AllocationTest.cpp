// Steady-state frames cost no heap allocation: every allocation in the
// process is counted while the camera streams from the simulated kit through
// the USB transport, the capture thread and requestFrame/releaseFrame.
//
// The count comes from this binary's own malloc family and operator new
// (forwarding to the C library's allocator), or under a sanitizer, whose
// allocator replaces both, from the sanitizer's allocation hook.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/NorvaneTOFCamera.h"
#include "tests/cpp/sdk/EvkTestSupport.h"
#include "tests/fakes/SimKernel.h"
#include "tests/fakes/WorkDir.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NORVANE_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NORVANE_SANITIZER_ALLOCATOR 1
#endif
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

inline void noteAllocation() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(NORVANE_SANITIZER_ALLOCATOR)

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {

void onSanitizerMalloc(const volatile void*, size_t) { noteAllocation(); }
void onSanitizerFree(const volatile void*) {}

// The sanitizer takes a pair of hooks or none: the slot number, 0 when refused.
const int hookInstalled = __sanitizer_install_malloc_and_free_hooks(onSanitizerMalloc, onSanitizerFree) > 0 ? 1 : 0;

}  // namespace

#elif defined(__GLIBC__)

extern "C" {

void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    noteAllocation();
    return __libc_malloc(n);
}

void* calloc(size_t count, size_t n) {
    noteAllocation();
    return __libc_calloc(count, n);
}

void* realloc(void* p, size_t n) {
    noteAllocation();
    return __libc_realloc(p, n);
}

void free(void* p) { __libc_free(p); }

void* memalign(size_t alignment, size_t n) {
    noteAllocation();
    return __libc_memalign(alignment, n);
}

void* aligned_alloc(size_t alignment, size_t n) {
    noteAllocation();
    return __libc_memalign(alignment, n);
}

int posix_memalign(void** out, size_t alignment, size_t n) {
    noteAllocation();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = __libc_memalign(alignment, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"

namespace {

const int hookInstalled = 1;

void* counted(size_t n, size_t alignment = 0) {
    noteAllocation();
    if (n == 0) n = 1;
    return alignment > alignof(std::max_align_t) ? __libc_memalign(alignment, n) : __libc_malloc(n);
}

void* countedOrThrow(size_t n, size_t alignment = 0) {
    void* p = counted(n, alignment);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(size_t n) { return countedOrThrow(n); }
void* operator new[](size_t n) { return countedOrThrow(n); }
void* operator new(size_t n, std::align_val_t a) { return countedOrThrow(n, size_t(a)); }
void* operator new[](size_t n, std::align_val_t a) { return countedOrThrow(n, size_t(a)); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { __libc_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { __libc_free(p); }

#else
#error "the allocation count needs the C library's allocator or a sanitizer's"
#endif

using namespace Norvane;

namespace {

constexpr short kTimeoutMs = 2000;
constexpr int kWarmUpFrames = 10;
constexpr int kCountedFrames = 100;

// Keeps the compiler from dropping an allocation whose result is not used.
void* volatile escaped = nullptr;

// Counts the allocations `body` makes on any thread.
template <typename Body>
long allocationsOf(Body body) {
    allocations.store(0);
    counting.store(true);
    body();
    counting.store(false);
    return allocations.load();
}

TEST(AllocationHook, CountsAllocationsOfEveryKindOnEveryThread) {
    ASSERT_EQ(hookInstalled, 1);
    EXPECT_EQ(allocationsOf([] {}), 0);
    EXPECT_EQ(allocationsOf([] {
                  int* p = new int(7);
                  escaped = p;
                  delete p;
              }),
              1);
    void* (*volatile allocate)(size_t) = std::malloc;
    EXPECT_EQ(allocationsOf([&] {
                  escaped = allocate(32);
                  std::free(escaped);
              }),
              1);
    // Another thread grows a vector while the count runs; its start and its
    // end lie outside the count.
    std::vector<int> grown;
    std::atomic<int> step{0};
    std::thread other([&] {
        step.store(1);
        while (step.load() != 2) std::this_thread::yield();
        grown.push_back(1);
        escaped = grown.data();
        step.store(3);
    });
    while (step.load() != 1) std::this_thread::yield();
    EXPECT_EQ(allocationsOf([&] {
                  step.store(2);
                  while (step.load() != 3) std::this_thread::yield();
              }),
              1);
    other.join();
}

struct VgaSetup {
    int width = 0;  // 0: the kit is an HQVGA sensor
    int height = 0;
    bool dual = false;
};

struct Stream {
    const char* name;
    FrameType output;
    const char* kit;                 // configuration text of the simulated kit
    int skipFrame;                   // with a cycle of 2: 1 delivers every other capture
    std::chrono::microseconds hold;  // how long the consumer keeps each frame
    VgaSetup vga;
    bool filtered = false;  // every depth filter on, set again before every counted frame
};

// Every stage of the filter chain on.
FilterSettings everyFilter() {
    FilterSettings s;
    s.range = {true, 100.0f, 5000.0f};
    s.amplitude = {true, 1.0f};
    s.flyingPixel.enabled = s.speckle.enabled = s.median.enabled = s.spatial.enabled = true;
    s.temporal = {true, 0.4f, 50.0f, 2, 4};
    return s;
}

void PrintTo(const Stream& s, std::ostream* os) { *os << s.name; }

class SteadyState : public ::testing::TestWithParam<Stream> {};

// `frames` frames taken and given back; their timestamps in `stamps`, the
// number of requests that came back empty in `missed`.
void consume(NorvaneTOFCamera& cam, FrameType output, std::chrono::microseconds hold, int frames,
             std::vector<uint64_t>& stamps, int& missed, bool setFilters = false) {
    for (int n = 0; n < frames; ++n) {
        if (setFilters) cam.setFilters(everyFilter());
        NorvaneFrameBuffer* f = cam.requestFrame(kTimeoutMs);
        if (!f) {
            ++missed;
            continue;
        }
        FrameDataFormat format{};
        if (f->getFormat(output, format) == 0) stamps.push_back(format.timestamp);
        if (hold.count() > 0) std::this_thread::sleep_for(hold);
        if (cam.releaseFrame(f) != NorvaneSuccess) ++missed;
    }
}

TEST_P(SteadyState, NoHeapAllocationPerDeliveredFrame) {
    const Stream& s = GetParam();
    const std::string path = evktest::writeFile(std::string("allocation-") + s.name + ".conf", s.kit);
    std::unique_ptr<NorvaneTOFCamera> cam;
    {
        sim::SimKernel k;  // a board without a CSI receiver shift
        ScopedKernel scope(k);
        cam = std::make_unique<NorvaneTOFCamera>();
    }
    sim::ScopedWorkDir dir;  // the VGA device writes its configuration files here
    ASSERT_EQ(cam->openWithFile(path.c_str(), 0), NorvaneSuccess);
    if (s.vga.width > 0) {
        ASSERT_EQ(cam->getCameraInfo().device_type, VGA);
        ASSERT_EQ(cam->setControl(CameraCtrl::MODE, s.vga.dual ? 1 : 0), NorvaneSuccess);
        ASSERT_EQ(cam->setControl(CameraCtrl::FMT_WIDTH, s.vga.width), NorvaneSuccess);
        ASSERT_EQ(cam->setControl(CameraCtrl::FMT_HEIGHT, s.vga.height), NorvaneSuccess);
    }
    if (s.skipFrame > 0) {
        ASSERT_EQ(cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 2), NorvaneSuccess);
        ASSERT_EQ(cam->setControl(CameraCtrl::SKIP_FRAME, s.skipFrame), NorvaneSuccess);
    }
    if (s.filtered) {
        ASSERT_EQ(cam->setFilters(everyFilter()), NorvaneSuccess);
    }
    ASSERT_EQ(cam->start(s.output), NorvaneSuccess);

    std::vector<uint64_t> stamps;
    stamps.reserve(kWarmUpFrames + kCountedFrames);
    int missed = 0;
    consume(*cam, s.output, s.hold, kWarmUpFrames, stamps, missed);
    const long counted =
        allocationsOf([&] { consume(*cam, s.output, s.hold, kCountedFrames, stamps, missed, s.filtered); });
    EXPECT_EQ(cam->stop(), NorvaneSuccess);
    cam->close();

    EXPECT_EQ(counted, 0) << "heap allocations over " << kCountedFrames << " delivered frames";
    EXPECT_EQ(missed, 0);
    ASSERT_EQ(stamps.size(), size_t(kWarmUpFrames + kCountedFrames));
    for (size_t i = 1; i < stamps.size(); ++i) EXPECT_GT(stamps[i], stamps[i - 1]) << "every frame a new capture";
}

using std::chrono::microseconds;

INSTANTIATE_TEST_SUITE_P(
    KitThroughCamera, SteadyState,
    ::testing::Values(Stream{"depth_unpaced", FrameType::DEPTH, "fps = 0\n", 0, microseconds(0), {}},
                      Stream{"raw_unpaced", FrameType::RAW, "fps = 0\n", 0, microseconds(0), {}},
                      // The consumer waits in requestFrame, the kit paces its captures.
                      Stream{"depth_paced", FrameType::DEPTH, "fps = 500\n", 0, microseconds(0), {}},
                      Stream{"raw_paced", FrameType::RAW, "fps = 500\n", 0, microseconds(0), {}},
                      // The capture thread takes back frames the consumer is too slow for.
                      Stream{"depth_slow_consumer", FrameType::DEPTH, "fps = 0\n", 0, microseconds(2000), {}},
                      // Skipped captures go straight back to the free stack.
                      Stream{"depth_skipping", FrameType::DEPTH, "fps = 0\n", 1, microseconds(0), {}},
                      // The filter chain, its settings handed over while streaming.
                      Stream{"depth_filtered", FrameType::DEPTH, "fps = 0\n", 0, microseconds(0), {}, true},
                      // The VGA device and the phase-processing library.
                      Stream{"vga_depth", FrameType::DEPTH,
                             "geometry = vga\nwidth = 320\nheight = 240\nfps = 0\nnoise = 0\n", 0, microseconds(0),
                             VgaSetup{320, 240, false}},
                      Stream{"vga_raw_dual", FrameType::RAW,
                             "geometry = vga\nfrequency = dual\nwidth = 320\nheight = 240\nfps = 0\n", 0,
                             microseconds(0), VgaSetup{320, 240, true}}),
    [](const ::testing::TestParamInfo<Stream>& info) { return std::string(info.param.name); });

}  // namespace
