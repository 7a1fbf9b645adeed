/*
 * Vantrel - the trace library. Loaded at run time by Quillon and looked up
 * by name; every entry point has C linkage.
 *
 * A trace handle is an opaque pointer-sized value, 0 for none. Handles are
 * never reused; a handle that is unknown or already closed is refused with 0.
 *
 * startTrace() prepares nothing and returns 1; traces can be opened at once.
 * openTrace(path, setting, maxBytes, keepFiles):
 *   path      the log file; relative paths resolve against the working
 *             directory at the time of opening, '\' counts as a folder
 *             separator, missing folders are created. On POSIX, folders
 *             made here are 0750 and a new log 0640, whatever the umask;
 *             a path naming a symbolic link, a file with other hard links
 *             or anything but a regular file is refused, never followed.
 *   setting   which levels are written: 0 every level; n > 0 only levels
 *             1..n; a negative setting writes nothing.
 *   maxBytes  a file rotates when the next line would pass this size:
 *             x.log becomes x.log.1, x.log.1 becomes x.log.2, ...;
 *             0 or less never rotates. A longer line still goes whole.
 *   keepFiles how many rotated files are kept beside the current one;
 *             with 0 the current file simply starts afresh.
 *   Returns 0 when the file cannot be opened. Several handles may be open at
 *   once; handles on the same file share it, so their lines never mix.
 *   Several processes may write one log (POSIX): lines and rotations take a
 *   lock on the log's folder, the size counts every process's lines, and a
 *   writer whose file another process rotated away opens the log again.
 *   When the log cannot be opened again, the line goes on in the file held,
 *   or is dropped if there is none, and the next line tries again.
 * setTraceKeepTime(h, days) deletes this log's rotated files (x.log.N; the
 * current one is never touched) whose last change is older than the given
 * number of days, now and after every later rotation; days <= 0 deletes
 * nothing. Returns 1, or 0 for an unknown handle.
 * writeMsg(h, level, text) appends one line:
 *   "YYYY-MM-DD HH:MM:SS.mmm [pid:tid] Ln text"
 * (local time; line breaks at the end of text are dropped, inner ones become
 * blanks) and returns the number of bytes written, 0 when nothing was
 * written. Text of any length arrives whole.
 * closeTrace(h) returns 1, or 0 for an unknown handle.
 * stopTrace(reserved) closes every trace still open and returns 1.
 * All entry points are safe to call from several threads at once.
 */
#ifndef VANTREL_H
#define VANTREL_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VANTREL_CALL __stdcall
#else
#define VANTREL_CALL
#endif

#if defined(_WIN32)
#define VANTREL_API __declspec(dllexport)
#elif defined(VANTREL_BUILDING)
#define VANTREL_API __attribute__((visibility("default")))
#else
#define VANTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef intptr_t VantrelHandle;

typedef int(VANTREL_CALL* PFN_startTrace)(void);
typedef VantrelHandle(VANTREL_CALL* PFN_openTrace)(const char* path, int setting, int maxBytes,
                                                   int keepFiles);
typedef int(VANTREL_CALL* PFN_setTraceKeepTime)(VantrelHandle h, int days);
typedef int(VANTREL_CALL* PFN_writeMsg)(VantrelHandle h, int level, const char* text);
typedef int(VANTREL_CALL* PFN_closeTrace)(VantrelHandle h);
typedef int(VANTREL_CALL* PFN_stopTrace)(int reserved);

VANTREL_API int VANTREL_CALL startTrace(void);
VANTREL_API VantrelHandle VANTREL_CALL openTrace(const char* path, int setting, int maxBytes,
                                                 int keepFiles);
VANTREL_API int VANTREL_CALL setTraceKeepTime(VantrelHandle h, int days);
VANTREL_API int VANTREL_CALL writeMsg(VantrelHandle h, int level, const char* text);
VANTREL_API int VANTREL_CALL closeTrace(VantrelHandle h);
VANTREL_API int VANTREL_CALL stopTrace(int reserved);

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_H */
