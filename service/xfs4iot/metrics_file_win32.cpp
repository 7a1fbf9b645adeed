// Writing the metrics file on Windows: a new file of a random name beside
// the target (CREATE_NEW: nothing there before, no link followed), then
// moved over the target in one step (rename() does not replace a file
// here). The folder's access is its ACL's business.
#include <windows.h>

#include <cstdio>
#include <random>

#include "metrics_file.h"

namespace quillon::xfs {

namespace {

std::string FolderOf(const std::string& sPath) {
    const size_t i = sPath.find_last_of("/\\");
    return i == std::string::npos ? "." : sPath.substr(0, i);
}

std::string WindowsError(const std::string& sWhat) {
    return sWhat + ": Windows error " + std::to_string(GetLastError());
}

// Closes a file handle.
struct tFile {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~tFile() {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};

} // namespace

bool OMetricsFile::bWrite(std::string& sError) {
    const std::string sText = m_text();
    std::random_device random;
    std::string sTemp;
    tFile file;
    for (int iTry = 0; iTry < 100 && file.h == INVALID_HANDLE_VALUE; ++iTry) {
        char name[40];
        std::snprintf(name, sizeof name, "\\.quillon-prom-%08x%08x", random(), random());
        sTemp = FolderOf(m_sPath) + name;
        file.h = CreateFileA(sTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file.h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file.h == INVALID_HANDLE_VALUE) {
        sError = WindowsError(sTemp);
        return false;
    }
    DWORD dwDone = 0;
    const bool bWritten =
        WriteFile(file.h, sText.data(), static_cast<DWORD>(sText.size()), &dwDone, nullptr) &&
        dwDone == sText.size();
    CloseHandle(file.h);
    file.h = INVALID_HANDLE_VALUE;
    if (!bWritten || !MoveFileExA(sTemp.c_str(), m_sPath.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        sError = WindowsError(m_sPath);
        DeleteFileA(sTemp.c_str());
        return false;
    }
    return true;
}

} // namespace quillon::xfs
