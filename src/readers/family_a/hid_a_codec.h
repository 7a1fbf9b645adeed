// The family-A USB reports, without any I/O. The output report carries the
// command text with report ID 0x02 (the layout of readers/hid_report.h). The
// input report: byte 0 the report ID (not checked), bytes 1 and 2 the reply
// text length L (high byte first), then the L bytes of the reply text (kind,
// echo, status, data).
#pragma once

#include <cstdint>

#include "readers/hid_report.h"

namespace quillon {
namespace hid_a {

constexpr uint8_t kReportId = 0x02;
constexpr uint32_t kReportHeader = 3;
constexpr uint32_t kMaxReplyText = 256; // what the caller's record can show

// The output report of a command text of uiLen & 0xFFFF bytes; the bytes to
// send, 0 when the text does not fit one report.
inline uint32_t EncodeCommand(const uint8_t* pText, uint32_t uiLen,
                              uint8_t (&abReport)[hid::kCommandReportSize]) {
    return hid::EncodeCommandReport(kReportId, pText, uiLen, abReport);
}

// The reply text of an input report of uiCount bytes: *ppText and *pLen.
// False when L is shorter than the reply header, longer than kMaxReplyText
// or than the report holds.
bool DecodeReply(const uint8_t* pReport, uint32_t uiCount, const uint8_t** ppText, uint32_t* pLen);

} // namespace hid_a
} // namespace quillon
