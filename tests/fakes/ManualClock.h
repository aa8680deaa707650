// A steady clock that only moves when the test says so.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/Clock.h"

namespace Norvane {
namespace sim {

class ManualClock : public SteadyClock {
public:
    time_point now() const override {
        return time_point(std::chrono::duration_cast<time_point::duration>(std::chrono::nanoseconds(ns.load())));
    }
    void advance(std::chrono::nanoseconds d) { ns.fetch_add(d.count()); }

private:
    std::atomic<int64_t> ns{0};  // starts at the clock's epoch
};

}  // namespace sim
}  // namespace Norvane
