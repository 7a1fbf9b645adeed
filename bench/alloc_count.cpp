// Replaces malloc, calloc, realloc, the aligned allocators and operator new
// for the whole process (glibc lets an executable interpose them); each
// forwards to glibc's own allocator and counts the call on the calling
// thread. Thread-local counters of plain integers live in the executable's
// static TLS block, so counting itself never allocates.
#include "alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
thread_local uint64_t t_allocs = 0;
thread_local int t_paused = 0;
std::atomic<bool> g_managerOn{false};
std::atomic<int64_t> g_managerAllocs{0};

inline void Count() {
    if (t_paused == 0) {
        ++t_allocs;
        if (g_managerOn.load(std::memory_order_relaxed))
            g_managerAllocs.fetch_add(1, std::memory_order_relaxed);
    }
}

class OCountingManager : public benchmark::MemoryManager {
public:
    void Start() override {
        g_managerAllocs = 0;
        g_managerOn = true;
    }
    void Stop(Result* pResult) override {
        g_managerOn = false;
        pResult->num_allocs = g_managerAllocs.load();
        pResult->max_bytes_used = 0;
    }
};
} // namespace

extern "C" {
void* malloc(size_t n) {
    Count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    Count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    Count();
    return __libc_realloc(p, n);
}
void free(void* p) {
    __libc_free(p);
}
void* memalign(size_t align, size_t n) {
    Count();
    return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
    Count();
    return __libc_memalign(align, n);
}
int posix_memalign(void** pp, size_t align, size_t n) {
    Count();
    void* p = __libc_memalign(align, n);
    if (!p)
        return ENOMEM;
    *pp = p;
    return 0;
}
}

// operator new goes through the counted malloc above (counted once there).
void* operator new(size_t n) {
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    return operator new(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return std::malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

namespace bench {

uint64_t ThreadAllocs() {
    return t_allocs;
}

void RegisterMemoryManager() {
    static OCountingManager manager;
    benchmark::RegisterMemoryManager(&manager);
}

PauseCounting::PauseCounting() {
    ++t_paused;
}
PauseCounting::~PauseCounting() {
    --t_paused;
}

} // namespace bench
