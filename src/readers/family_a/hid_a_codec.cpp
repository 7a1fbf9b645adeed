#include "readers/family_a/hid_a_codec.h"

#include "readers/family_a/reply_a.h"

namespace quillon {
namespace hid_a {

bool DecodeReply(const uint8_t* pReport, uint32_t uiCount, const uint8_t** ppText, uint32_t* pLen) {
    if (uiCount < kReportHeader)
        return false;
    const uint32_t len = (static_cast<uint32_t>(pReport[1]) << 8) | pReport[2];
    if (len < kReplyHeaderA || len > kMaxReplyText || kReportHeader + len > uiCount)
        return false;
    *ppText = pReport + kReportHeader;
    *pLen = len;
    return true;
}

} // namespace hid_a
} // namespace quillon
