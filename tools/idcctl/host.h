// What differs between Windows and POSIX hosts: loading the library by file
// name, where the executable lives, the environment, the terminal.
#pragma once

#include <memory>
#include <string>

namespace idcctl {

class DynamicLibrary {
public:
    // Loads the library at `path` (a bare file name: the system's search).
    // Nothing, with `error` set, when it cannot be loaded.
    static std::unique_ptr<DynamicLibrary> Open(const std::string& path, std::string& error);
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // The exported symbol's address, or null.
    void* Symbol(const char* name) const;

private:
    explicit DynamicLibrary(void* handle) : m_handle(handle) {}
    void* m_handle;
};

// "Quillon.dll" or "libquillon.so".
const char* LibraryFileName();
// The library next to this executable if it is there, else the bare name.
std::string DefaultLibraryPath();
bool SetEnvironment(const std::string& name, const std::string& value);
bool StderrIsTerminal();

} // namespace idcctl
