#include "host.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace idcctl {

namespace {

bool FileExists(const std::string& path) {
#ifdef _WIN32
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

// The executable's directory with a trailing separator, or empty.
std::string ExecutableDir() {
#ifdef _WIN32
    char buf[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return "";
    std::string p(buf, n);
    const size_t slash = p.find_last_of("\\/");
#else
    char buf[PATH_MAX + 1] = {};
    const ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0)
        return "";
    std::string p(buf, static_cast<size_t>(n));
    const size_t slash = p.find_last_of('/');
#endif
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

} // namespace

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string& error) {
#ifdef _WIN32
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) {
        const DWORD code = GetLastError();
        char msg[256] = {};
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       msg, sizeof msg - 1, nullptr);
        error = "cannot load " + path + ": error " + std::to_string(code) + " " + msg;
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
            error.pop_back();
        return nullptr;
    }
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(reinterpret_cast<void*>(h)));
#else
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        error = e ? e : "cannot load " + path;
        return nullptr;
    }
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(h));
#endif
}

DynamicLibrary::~DynamicLibrary() {
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(m_handle));
#else
    dlclose(m_handle);
#endif
}

void* DynamicLibrary::Symbol(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(m_handle), name));
#else
    return dlsym(m_handle, name);
#endif
}

const char* LibraryFileName() {
#ifdef _WIN32
    return "Quillon.dll";
#else
    return "libquillon.so";
#endif
}

std::string DefaultLibraryPath() {
    const std::string beside = ExecutableDir() + LibraryFileName();
    if (FileExists(beside))
        return beside;
#if defined(IDCCTL_SONAME)
    // Installed from a package: the runtime package holds the library
    // under its SONAME only; the plain name comes with the -dev package.
    return IDCCTL_SONAME;
#else
    return LibraryFileName();
#endif
}

bool SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
    return _putenv_s(name.c_str(), value.c_str()) == 0;
#else
    return setenv(name.c_str(), value.c_str(), 1) == 0;
#endif
}

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

} // namespace idcctl
