// Heap allocations of the calling thread, counted by the replaced malloc
// family and operator new of the benchmark binary. Work done by the fakes
// under the library (the in-memory reader) is not the library's and is left
// out with a PauseCounting scope.
#pragma once

#include <cstdint>

namespace bench {

// Allocations made by this thread so far.
uint64_t ThreadAllocs();

// Allocations made by any thread while counting is on for the memory
// manager (Start/Stop of Google Benchmark).
void RegisterMemoryManager();

class PauseCounting {
public:
    PauseCounting();
    ~PauseCounting();
    PauseCounting(const PauseCounting&) = delete;
    PauseCounting& operator=(const PauseCounting&) = delete;
};

} // namespace bench
