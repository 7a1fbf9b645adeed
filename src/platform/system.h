// Small operating-system services: dynamic loading, sleeping, file
// replacement, the folder of a loaded module and a named system mutex.
// One backend file per OS implements them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quillon {

using ModuleHandle = void*;

// LoadLibraryA / dlopen. Null on failure.
ModuleHandle LoadModule(const char* pPath);
// GetProcAddress / dlsym. Null when missing.
void* FindSymbol(ModuleHandle hModule, const char* pName);
// FreeLibrary / dlclose. Non-zero on success.
int FreeModule(ModuleHandle hModule);
// Closes a plain OS handle (CloseHandle / close). Non-zero on success.
int CloseOsHandle(intptr_t h);

// File name of the shared trace library on this OS ("libvantrel.so").
const char* TraceLibraryFileName();
// Folder of the module (executable or shared library) holding pAddress,
// with a trailing separator; empty when unknown.
std::string ModuleFolderOf(const void* pAddress);

void SleepMs(unsigned int uiMs);

#if !defined(_WIN32)
// Replaces the pause of SleepMs (fuzzers: time passes on their own clock, no
// real waiting); null restores the real pause. Returns the previous hook.
// Set it while no other thread uses the library.
using SleepHook = void (*)(unsigned int uiMs);
SleepHook SetSleepHook(SleepHook hook);
#endif

// Flushes pTmp to disk and renames it over pTarget atomically. 0: done.
int ReplaceFileAtomically(const std::string& tmp, const std::string& target);

// A mutex named across processes. Locking waits without limit; a holder
// that dies releases it.
class ONamedMutex {
public:
    explicit ONamedMutex(const char* pName);
    ~ONamedMutex();
    ONamedMutex(const ONamedMutex&) = delete;
    ONamedMutex& operator=(const ONamedMutex&) = delete;
    void vLock();
    void vUnlock();
    const std::string& sName() const { return m_name; }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::string m_name;
};

class OScopedLock {
public:
    explicit OScopedLock(ONamedMutex& m) : m_mutex(m) { m_mutex.vLock(); }
    ~OScopedLock() { m_mutex.vUnlock(); }
    OScopedLock(const OScopedLock&) = delete;
    OScopedLock& operator=(const OScopedLock&) = delete;

private:
    ONamedMutex& m_mutex;
};

} // namespace quillon
