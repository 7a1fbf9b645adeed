/*
 * Vantrel - the trace library. Loaded at run time by Quillon and looked up
 * by name; every entry point has C linkage.
 *
 * A trace handle is an opaque pointer-sized value, 0 for none.
 *
 * openTrace(path, setting, maxBytes, keepFiles):
 *   path      the log file; relative paths resolve against the working
 *             directory, '\' counts as a folder separator, missing folders
 *             are created.
 *   setting   which levels are written: 0 every level; n > 0 only levels
 *             1..n; a negative setting writes nothing.
 *   maxBytes  a file rotates when the next line would pass this size:
 *             x.log becomes x.log.1, x.log.1 becomes x.log.2, ...
 *   keepFiles how many rotated files are kept beside the current one.
 * setTraceKeepTime(h, days) deletes this log's files (current one excepted)
 * whose last change is older than the given number of days.
 * writeMsg(h, level, text) appends one line:
 *   "YYYY-MM-DD HH:MM:SS.mmm [pid:tid] Ln text"
 * and returns the number of bytes written, 0 when nothing was written.
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
