// The system calls by which the POSIX file services (system_posix.cpp) read
// and replace files. A test swaps one of them for a failing one to see the
// failure handled; the library itself never changes them.
#pragma once

#include <sys/types.h>

namespace quillon {

struct tPosixFileCalls {
    ssize_t (*pfnRead)(int, void*, size_t);
    ssize_t (*pfnWrite)(int, const void*, size_t);
    int (*pfnFchown)(int, uid_t, gid_t);
    int (*pfnFchmod)(int, mode_t);
    int (*pfnFsync)(int);
    int (*pfnRename)(const char*, const char*);
};

// The calls in use (the system's own unless a test put others there).
tPosixFileCalls& PosixFileCalls();

} // namespace quillon
