// What the bridge's files share: pcscd's log, the configuration the library
// gets for a DEVICENAME, and the clock of the reader's recovery (a seam for
// the tests).
#pragma once

#include <cstdint>
#include <string>

namespace quillon::pcsc {

// pcscd's log levels (debuglog.h).
enum { kLogDebug = 0, kLogInfo = 1, kLogError = 2 };

// A line in pcscd's log, when the handler runs inside pcscd.
void Log(int iLevel, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));

struct tReaderConfig {
    std::string path;    // the configuration file the library reads
    bool bMotor = false; // [PCSC] MotorControl=1: the codes that move the card run
};

// The configuration for DEVICENAME: a Quillon configuration file (*.ini)
// that no user but root (this process's user) controls, or a serial device,
// for which the bridge writes one. False, with the reason in the log, for
// anything else.
bool ConfigFor(const std::string& name, tReaderConfig& config);

// Milliseconds on a monotonic clock (the tests put their own here).
extern uint64_t (*g_pfnNowMs)();

} // namespace quillon::pcsc
