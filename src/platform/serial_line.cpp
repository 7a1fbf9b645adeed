#include "platform/serial_line.h"

#include <mutex>
#include <utility>

namespace quillon {

namespace {
std::mutex g_factoryMutex;
SerialLineFactory g_factory;
} // namespace

SerialLineFactory SetSerialLineFactory(SerialLineFactory factory) {
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    return std::exchange(g_factory, std::move(factory));
}

std::unique_ptr<OSerialLine> MakeSerialLine() {
    {
        std::lock_guard<std::mutex> lock(g_factoryMutex);
        if (g_factory)
            return g_factory();
    }
    return MakeSystemSerialLine();
}

} // namespace quillon
