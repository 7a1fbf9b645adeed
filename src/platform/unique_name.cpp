#include "platform/unique_name.h"

#include <atomic>

namespace quillon {

std::string UniqueNameSuffix(uint64_t uiClock, uint64_t uiProcessId) {
    static std::atomic<uint64_t> s_uiCounter{0};
    uint64_t x = uiClock ^ (uiProcessId << 40);
    x ^= reinterpret_cast<uintptr_t>(&x); // the stack's place differs between processes
    x += 0x9E3779B97F4A7C15ull * ++s_uiCounter;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string sSuffix;
    for (int i = 0; i < 12; ++i, x /= 36)
        sSuffix += kDigits[x % 36];
    return sSuffix;
}

} // namespace quillon
