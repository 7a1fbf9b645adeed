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
    static std::unique_ptr<DynamicLibrary> open(const std::string& path, std::string& error);
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // The exported symbol's address, or null.
    void* symbol(const char* name) const;

private:
    explicit DynamicLibrary(void* handle) : handle_(handle) {}
    void* handle_;
};

// "Quillon.dll" or "libquillon.so".
const char* library_file_name();
// The library next to this executable if it is there, else the bare name.
std::string default_library_path();
bool set_environment(const std::string& name, const std::string& value);
bool stderr_is_terminal();

} // namespace idcctl
