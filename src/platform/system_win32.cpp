// Win32 services: LoadLibraryA, Sleep, flush + MoveFileExA, the folder of a
// loaded module, and the named mutex as a kernel mutex object.
#include "platform/system.h"

#include <windows.h>
// winbase.h names a macro FreeModule (FreeLibrary); ours is a function.
#undef FreeModule

#include <vector>

namespace quillon {

namespace {

// Owns one kernel handle; closes it on destruction.
class OWinHandle {
public:
    explicit OWinHandle(HANDLE h = nullptr) : m_h(h) {}
    ~OWinHandle() {
        if (bValid())
            ::CloseHandle(m_h);
    }
    OWinHandle(const OWinHandle&) = delete;
    OWinHandle& operator=(const OWinHandle&) = delete;
    HANDLE hGet() const { return m_h; }
    bool bValid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h;
};

} // namespace

ModuleHandle LoadModule(const char* pPath) {
    if (!pPath)
        return nullptr;
    return reinterpret_cast<ModuleHandle>(::LoadLibraryA(pPath));
}

void* FindSymbol(ModuleHandle hModule, const char* pName) {
    if (!hModule || !pName)
        return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(hModule), pName));
}

int FreeModule(ModuleHandle hModule) {
    if (!hModule)
        return 0;
    return ::FreeLibrary(static_cast<HMODULE>(hModule)) ? 1 : 0;
}

int CloseOsHandle(intptr_t h) {
    HANDLE handle = reinterpret_cast<HANDLE>(h);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return 0;
    return ::CloseHandle(handle) ? 1 : 0;
}

const char* TraceLibraryFileName() {
    return "Vantrel.dll";
}

std::string ModuleFolderOf(const void* pAddress) {
    // A null address would name the executable itself.
    HMODULE hModule = nullptr;
    if (!pAddress || !::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                           static_cast<LPCSTR>(pAddress), &hModule))
        return std::string();
    // The name is cut (and the result equals the size) when the buffer is too
    // small: grow it until the whole name fits.
    std::vector<char> name(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(name.size());
        const DWORD len = ::GetModuleFileNameA(hModule, name.data(), size);
        if (len == 0)
            return std::string();
        if (len < size) {
            std::string path(name.data(), len);
            const std::string::size_type sep = path.find_last_of("\\/");
            if (sep == std::string::npos)
                return std::string();
            return path.substr(0, sep + 1);
        }
        if (name.size() >= 32768)
            return std::string();
        name.resize(name.size() * 2);
    }
}

void SleepMs(unsigned int uiMs) {
    ::Sleep(uiMs);
}

int ReplaceFileAtomically(const std::string& tmp, const std::string& target) {
    {
        OWinHandle file(::CreateFileA(tmp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.bValid() || !::FlushFileBuffers(file.hGet()))
            return 1;
    }
    return ::MoveFileExA(tmp.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : 1;
}

// A kernel mutex: it serialises the threads of this process and every other
// process that opens the same name, and the system releases it (abandoned)
// when its holder dies. Ownership belongs to the thread, so lock and unlock
// happen on the same thread (OScopedLock).
struct ONamedMutex::Impl {
    HANDLE hMutex = nullptr;
    ~Impl() {
        if (hMutex)
            ::CloseHandle(hMutex);
    }
};

ONamedMutex::ONamedMutex(const char* pName) : m_impl(new Impl), m_name(pName ? pName : "") {
    if (m_name.empty()) {
        m_impl->hMutex = ::CreateMutexA(nullptr, FALSE, nullptr);
        return;
    }
    // One mutex for every session of the machine; a session that may not
    // create global objects shares the mutex of its own session. A name taken
    // by an object of another kind leaves no mutex: every lock then fails.
    m_impl->hMutex = ::CreateMutexA(nullptr, FALSE, ("Global\\" + m_name).c_str());
    if (!m_impl->hMutex && ::GetLastError() == ERROR_ACCESS_DENIED)
        m_impl->hMutex = ::CreateMutexA(nullptr, FALSE, m_name.c_str());
}

ONamedMutex::~ONamedMutex() = default;

bool ONamedMutex::bLock(uint32_t uiTimeoutMs) {
    if (!m_impl->hMutex)
        return false;
    // WAIT_ABANDONED: the previous holder died while holding it; the mutex
    // now belongs to this thread all the same.
    const DWORD r = ::WaitForSingleObject(m_impl->hMutex, uiTimeoutMs ? uiTimeoutMs : INFINITE);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void ONamedMutex::vUnlock() {
    if (m_impl->hMutex)
        (void)::ReleaseMutex(m_impl->hMutex);
}

// Windows has no fork().
void AtFork(void (*)(), void (*)(), void (*)()) {}

} // namespace quillon
