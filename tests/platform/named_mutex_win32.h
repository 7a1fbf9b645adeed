// Shared by the named-mutex tests and their helper process.
#pragma once

#include <windows.h>
// winbase.h names a macro FreeModule; system.h declares a function.
#undef FreeModule

#include <string>

#include "platform/system.h"

// Takes the lock rounds times and, while holding it, claims the file at
// markerPath for 10 ms (created with CREATE_NEW, deleted on close). Returns
// how many rounds found it claimed already: another holder at the same time.
inline int iOverlappedRounds(quillon::ONamedMutex& mutex, const std::string& markerPath,
                             int rounds) {
    int overlaps = 0;
    for (int i = 0; i < rounds; ++i) {
        quillon::OScopedLock lock(mutex);
        HANDLE h = ::CreateFileA(markerPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            ++overlaps;
            ::Sleep(10);
            continue;
        }
        ::Sleep(10);
        ::CloseHandle(h);
    }
    return overlaps;
}
