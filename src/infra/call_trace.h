// OCallTrace: a scope around one exported operation. Creation writes
// "->Enter <operation>", the end writes "->Leave <operation>(<device> <code>)".
#pragma once

#include "quillon/idc.h"

namespace quillon {

class OTraceLog;

class OCallTrace {
public:
    OCallTrace(OTraceLog* pLog, const char* pOperation, int iLevel);
    virtual ~OCallTrace();
    OCallTrace(const OCallTrace&) = delete;
    OCallTrace& operator=(const OCallTrace&) = delete;

    // The owner hands over the device name and the outcome before the end.
    void vSetDevName(const char* pName);
    void vSetOutcome(const tDevReturn& tRet) { m_outcome = tRet; }

private:
    OTraceLog* m_pLog;
    tDevReturn m_outcome;
    int m_iLevel;
    char m_acDevName[128];
    char m_acOperation[128];
};

} // namespace quillon
