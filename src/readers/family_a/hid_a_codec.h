// The family-A input report, without any I/O: byte 0 the report ID (not
// checked), bytes 1 and 2 the reply text length L (high byte first), then
// the L bytes of the reply text (kind, echo, status, data). The output
// report has the head every HID reader shares (OHidLink builds it).
#pragma once

#include <cstdint>

namespace quillon {
namespace hid_a {

constexpr uint8_t kReportId = 0x02;
constexpr uint32_t kReportHeader = 3;
constexpr uint32_t kMaxReplyText = 256; // what the caller's record can show

// The reply text of an input report of uiCount bytes: *ppText and *pLen.
// False when L is shorter than the reply header, longer than kMaxReplyText
// or than the report holds.
bool DecodeReply(const uint8_t* pReport, uint32_t uiCount, const uint8_t** ppText, uint32_t* pLen);

} // namespace hid_a
} // namespace quillon
