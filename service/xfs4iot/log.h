// The service's log: one line per event on standard error (journald keeps
// it under systemd), with the time and a level. Never card data. Warnings,
// errors and the start and stop (QLOG_EVENT) also go to the system's log
// where it has one beside standard error (host.h: Windows' event log).
#pragma once

namespace quillon::xfs {

void Log(const char* pLevel, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
// An information line for the system's log too.
void LogEvent(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));

} // namespace quillon::xfs

#define QLOG_INFO(...) ::quillon::xfs::Log("info", __VA_ARGS__)
#define QLOG_EVENT(...) ::quillon::xfs::LogEvent(__VA_ARGS__)
#define QLOG_WARN(...) ::quillon::xfs::Log("warning", __VA_ARGS__)
#define QLOG_ERROR(...) ::quillon::xfs::Log("error", __VA_ARGS__)
