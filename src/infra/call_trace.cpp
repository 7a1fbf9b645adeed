#include "infra/call_trace.h"

#include <cstring>

#include "infra/bounded_copy.h"
#include "infra/trace_log.h"

namespace quillon {

namespace {
void CopyName(char (&dst)[128], const char* src) {
    std::memset(dst, 0, sizeof dst);
    CopyText(dst, sizeof dst, src);
}
} // namespace

OCallTrace::OCallTrace(OTraceLog* pLog, const char* pOperation, int iLevel)
    : m_pLog(pLog), m_outcome{}, m_iLevel(iLevel) {
    CopyName(m_acDevName, nullptr);
    CopyName(m_acOperation, pOperation);
    if (m_pLog)
        m_pLog->iWriteTrace(m_iLevel, "->Enter %s", m_acOperation);
}

OCallTrace::~OCallTrace() {
    if (m_pLog)
        m_pLog->iWriteTrace(m_iLevel, "->Leave %s(%s %d)", m_acOperation, m_acDevName,
                            m_outcome.iCode2);
}

void OCallTrace::vSetDevName(const char* pName) {
    CopyName(m_acDevName, pName);
}

} // namespace quillon
