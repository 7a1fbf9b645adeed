// The service's log: one line per event on standard error (journald keeps
// it under systemd), with the time and a level. Never card data.
#pragma once

namespace quillon::xfs {

void Log(const char* pLevel, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));

} // namespace quillon::xfs

#define QLOG_INFO(...) ::quillon::xfs::Log("info", __VA_ARGS__)
#define QLOG_WARN(...) ::quillon::xfs::Log("warning", __VA_ARGS__)
#define QLOG_ERROR(...) ::quillon::xfs::Log("error", __VA_ARGS__)
