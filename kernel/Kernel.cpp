#include "kernel/Kernel.h"

#include <atomic>

namespace Norvane {

namespace {
std::atomic<Kernel*> current{nullptr};
}

Kernel& kernel() {
    Kernel* k = current.load(std::memory_order_acquire);
    return k ? *k : linuxKernel();
}

ScopedKernel::ScopedKernel(Kernel& k) : previous(current.exchange(&k, std::memory_order_acq_rel)) {}

ScopedKernel::~ScopedKernel() { current.store(previous, std::memory_order_release); }

}  // namespace Norvane
