#include "transport/hid/hid_transport.h"

#include <utility>

namespace {
// Replaced by tests only, before the drivers that use it are built; reading
// it from several threads at once is safe. (No std::mutex: MinGW's win32
// thread model has none.)
HidTransportFactory g_factory;
} // namespace

HidTransportFactory SetHidTransportFactory(HidTransportFactory factory) {
    return std::exchange(g_factory, std::move(factory));
}

std::unique_ptr<OHidTransport> MakeHidTransport() {
    if (g_factory)
        return g_factory();
    return MakeSystemHidTransport();
}
