// The steady clock the frame-rate measurement reads.
//
// Production reads std::chrono::steady_clock; tests install a clock they
// drive with ScopedSteadyClock, so interval arithmetic is checked exactly.
#pragma once

#include <chrono>

namespace Norvane {

class SteadyClock {
public:
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~SteadyClock() = default;
    virtual time_point now() const = 0;
};

// The clock in use: std::chrono::steady_clock unless a test installed another.
SteadyClock& steadyClock();

// Installs `clock` for the lifetime of this object, then restores the
// previous one. Install before any camera thread runs.
class ScopedSteadyClock {
public:
    explicit ScopedSteadyClock(SteadyClock& clock);
    ~ScopedSteadyClock();
    ScopedSteadyClock(const ScopedSteadyClock&) = delete;
    ScopedSteadyClock& operator=(const ScopedSteadyClock&) = delete;

private:
    SteadyClock* previous;
};

}  // namespace Norvane
