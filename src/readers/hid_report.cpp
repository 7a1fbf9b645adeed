#include "readers/hid_report.h"

#include <cstring>

namespace quillon {
namespace hid {

uint32_t EncodeCommandReport(uint8_t byReportId, const uint8_t* pCommand, uint32_t uiLen,
                             uint8_t (&abReport)[kCommandReportSize]) {
    const uint32_t n = uiLen & 0xFFFF;
    std::memset(abReport, 0, sizeof abReport);
    if ((n && !pCommand) || kReportHead + n > sizeof abReport)
        return 0;
    abReport[0] = byReportId;
    abReport[1] = static_cast<uint8_t>(n >> 8);
    abReport[2] = static_cast<uint8_t>(n);
    if (n)
        std::memcpy(abReport + kReportHead, pCommand, n);
    return kReportHead + n;
}

} // namespace hid
} // namespace quillon
