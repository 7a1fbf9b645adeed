#include "transport/hid/hid_transport.h"

#include <mutex>
#include <utility>

namespace quillon {

namespace {
// Replaced by tests only; guarded all the same, as the serial line's factory is.
std::mutex g_factoryMutex;
HidTransportFactory g_factory;
} // namespace

HidTransportFactory SetHidTransportFactory(HidTransportFactory factory) {
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    return std::exchange(g_factory, std::move(factory));
}

std::unique_ptr<OHidTransport> MakeHidTransport() {
    {
        std::lock_guard<std::mutex> lock(g_factoryMutex);
        if (g_factory)
            return g_factory();
    }
    return MakeSystemHidTransport();
}

} // namespace quillon
