#include "python/FrameWait.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace py = pybind11;

namespace Norvane {
namespace python {

namespace {

// Longest stretch a frame wait spends without looking for Ctrl-C.
constexpr int kWaitSliceMs = 100;

// Swaps `frame` for each newer ready frame, giving the older one back.
void keepNewest(const std::shared_ptr<FramePool>& pool, std::unique_ptr<FrameHandle>& frame) {
    while (std::unique_ptr<FrameHandle> newer = takeFrame(pool, 0)) {
        frame->release();
        frame = std::move(newer);
    }
}

}  // namespace

std::unique_ptr<FrameHandle> waitForFrame(const std::shared_ptr<FramePool>& pool, int timeoutMs, bool latest) {
    using Clock = std::chrono::steady_clock;
    if (!pool) return nullptr;
    const bool unlimited = timeoutMs < 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
    for (;;) {
        int slice = kWaitSliceMs;
        if (!unlimited) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            slice = int(std::clamp<decltype(left)>(left, 0, kWaitSliceMs));
        }
        // Finished before the take: the take saw every frame there will be.
        const bool finished = pool->isFinished();
        std::unique_ptr<FrameHandle> frame;
        {
            py::gil_scoped_release released;
            frame = takeFrame(pool, slice);
            if (frame && latest) keepNewest(pool, frame);
        }
        if (frame || finished || pool->isClosed()) return frame;
        if (!unlimited && Clock::now() >= deadline) return nullptr;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

}  // namespace python
}  // namespace Norvane
