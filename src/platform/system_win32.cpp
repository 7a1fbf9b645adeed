// Win32 services: LoadLibraryA, Sleep, file reads + ReplaceFileA and the
// folder of a loaded module (the named mutex: named_lock_win32.cpp).
#include "platform/system.h"

#include <windows.h>
// winbase.h names a macro FreeModule (FreeLibrary); ours is a function.
#undef FreeModule

#include "platform/unique_name.h"
#include "platform/win32_handle.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

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
    if (!OWinHandle::bValidHandle(handle))
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

namespace {

bool bNotFound(DWORD dwError) {
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

// "name.XXXXXXXXXXXX.tmp" beside name, created with CREATE_NEW: a name
// planted in advance is refused, never followed or truncated.
std::string sUniqueSiblingName(const std::string& name) {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return name + "." +
           UniqueNameSuffix(static_cast<uint64_t>(now.QuadPart), ::GetCurrentProcessId()) + ".tmp";
}

// The full name of the file behind an open handle (through every link).
bool bFinalPath(HANDLE h, std::string& path) {
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        DWORD len = ::GetFinalPathNameByHandleA(h, buf.data(), static_cast<DWORD>(buf.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (len == 0)
            return false;
        if (len < buf.size()) {
            path.assign(buf.data(), len);
            return true;
        }
        buf.resize(len + 1);
    }
}

} // namespace

bool FileStampOf(const char* pPath, tFileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!pPath || !GetFileAttributesExA(pPath, GetFileExInfoStandard, &data))
        return false;
    stamp.uiId = 0;
    stamp.uiSize = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.uiChanged = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
    stamp.uiStatus = 0;
    return true;
}

int ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string& data) {
    OWinHandle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.bValid())
        return bNotFound(::GetLastError()) ? kFileMissing : kFileUnreadable;
    // Only a file on disk: a pipe or a device ("\\.\pipe\x", "COM1", "CON")
    // could block or act.
    LARGE_INTEGER size{};
    if (::GetFileType(file.hGet()) != FILE_TYPE_DISK || !::GetFileSizeEx(file.hGet(), &size) ||
        size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > maxBytes)
        return kFileUnreadable;
    std::string all;
    all.reserve(static_cast<std::size_t>(size.QuadPart));
    char chunk[8192];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.hGet(), chunk, sizeof chunk, &got, nullptr))
            return kFileUnreadable;
        if (got == 0)
            break;
        if (all.size() + got > maxBytes) // it grew since its size was taken
            return kFileUnreadable;
        all.append(chunk, got);
    }
    data.swap(all);
    return kFileRead;
}

namespace {
// Where a write of target lands: the file at the end of a link (final), and
// whether a file is there to replace. False when nothing may be written
// there (no disk file, a directory, a link whose file is missing).
bool bWriteTarget(const std::string& target, std::string& final, bool& hasOld) {
    final = target;
    hasOld = false;
    OWinHandle old(::CreateFileA(target.c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const DWORD attrs = ::GetFileAttributesA(target.c_str());
    if (!old.bValid()) {
        // Nothing there: a new file. A link whose file is missing is not
        // replaced by a file of its own.
        return attrs == INVALID_FILE_ATTRIBUTES && bNotFound(::GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(old.hGet()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(old.hGet(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) &&
        !bFinalPath(old.hGet(), final))
        return false;
    hasOld = true;
    return true;
}

// All of contents into the file, flushed to the disk.
bool bWriteAll(HANDLE hFile, const std::string& contents) {
    bool ok = true;
    for (std::size_t done = 0; ok && done < contents.size();) {
        const std::size_t left = contents.size() - done;
        const DWORD part = left < 0x10000000u ? static_cast<DWORD>(left) : 0x10000000u;
        DWORD written = 0;
        ok = ::WriteFile(hFile, contents.data() + done, part, &written, nullptr) && written > 0;
        done += written;
    }
    return ok && ::FlushFileBuffers(hFile);
}
} // namespace

int WriteFileAtomically(const std::string& target, const std::string& contents) {
    if (target.empty())
        return 1;
    // A link is kept: the file at its end is replaced.
    std::string final;
    bool hasOld = false;
    if (!bWriteTarget(target, final, hasOld))
        return 1;

    std::string tmp;
    HANDLE hNew = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && hNew == INVALID_HANDLE_VALUE; ++attempt) {
        tmp = sUniqueSiblingName(final);
        hNew = ::CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (hNew == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS &&
            ::GetLastError() != ERROR_ALREADY_EXISTS)
            return 1;
    }
    if (hNew == INVALID_HANDLE_VALUE)
        return 1;
    bool ok = false;
    {
        OWinHandle file(hNew);
        ok = bWriteAll(file.hGet(), contents);
    }
    if (ok) {
        // ReplaceFile gives the new file the old one's security and
        // attributes. When it fails half-way the old file may already be
        // gone: the rename then puts the new one in its place.
        ok = (hasOld && ::ReplaceFileA(final.c_str(), tmp.c_str(), nullptr,
                                       REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
             ::MoveFileExA(tmp.c_str(), final.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (!ok) {
        ::DeleteFileA(tmp.c_str());
        return 1;
    }
    return 0;
}

// Windows has no fork().
void AtFork(void (*)(), void (*)(), void (*)()) {}

} // namespace quillon
