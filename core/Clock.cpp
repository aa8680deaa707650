#include "core/Clock.h"

#include <atomic>

namespace Norvane {

namespace {

class SystemSteadyClock : public SteadyClock {
public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
};

std::atomic<SteadyClock*> current{nullptr};

}  // namespace

SteadyClock& steadyClock() {
    static SystemSteadyClock system;
    SteadyClock* c = current.load(std::memory_order_acquire);
    return c ? *c : system;
}

ScopedSteadyClock::ScopedSteadyClock(SteadyClock& clock)
    : previous(current.exchange(&clock, std::memory_order_acq_rel)) {}

ScopedSteadyClock::~ScopedSteadyClock() { current.store(previous, std::memory_order_release); }

}  // namespace Norvane
