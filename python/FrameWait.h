// Waiting for a frame from Python: in slices with the interpreter lock let
// go, so other threads run and Ctrl-C ends the wait.
#pragma once

#include <memory>

#include "core/FramePool.h"
#include "python/FrameHandle.h"

namespace Norvane {
namespace python {

// The oldest ready frame of `pool` within `timeoutMs` milliseconds
// (negative: without limit), or with `latest` the newest ready one, the
// older ready frames given back at once. Null on time-out, for a null pool,
// once the pool is closed, and once it is finished (the camera stopped) with
// no frame left. Call with the interpreter lock held; a
// pending signal raises its exception (pybind11::error_already_set).
std::unique_ptr<FrameHandle> waitForFrame(const std::shared_ptr<FramePool>& pool, int timeoutMs, bool latest);

}  // namespace python
}  // namespace Norvane
