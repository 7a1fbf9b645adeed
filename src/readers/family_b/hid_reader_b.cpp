#include "readers/family_b/hid_reader_b.h"

#include "infra/result_codes.h"
#include "readers/reader_type.h"

namespace quillon {

namespace {
// Once its first report is in, the rest of a reply may take this much
// longer than the command's time-out, counted from the command.
constexpr uint32_t kRestOfReplyMs = 1000;
} // namespace

tDriverResult OHidReaderB::SetCommPara() {
    ReaderType eType = ReaderType::UsbB; // when none is configured
    bConfiguredType(*m_pComm, eType);
    int productId = 0;
    int vendorId = 0;
    if (m_pComm->iGetIntValue("USB", "PID", productId) != 0)
        productId = 0;
    const bool bVendorConfigured = m_pComm->iGetIntValue("USB", "VID", vendorId) == 0;
    if (!bVendorConfigured)
        vendorId = 0;
    // Another type (the driver left active by an earlier selection) opens
    // nothing; callers have always been told 0 when a vendor id is configured.
    if (eType != ReaderType::UsbB)
        return tDriverResult::Untouched(bVendorConfigured ? 0 : 1);
    const bool bFound =
        m_link.bOpen(static_cast<uint16_t>(vendorId), static_cast<uint16_t>(productId));
    return tDriverResult::Untouched(bFound ? 0 : 1);
}

tCommandReply OHidReaderB::tExchange(const uint8_t* pCommand, uint32_t uiCommandLen, uint8_t* pData,
                                     uint32_t uiDataSize, uint32_t uiTimeoutMs) {
    uint8_t report[OHidLink::kSendSize];
    const uint32_t used = famb::EncodeHidCommand(pCommand, uiCommandLen, report);
    const Code sent = used ? m_link.eSendReport(report, used, uiTimeoutMs) : Code::BadArgument;
    if (sent != Code::Ok)
        return famb::NoReplyWith(sent);
    // The first report within the command's time-out (late replies to
    // earlier commands dropped), the whole reply within a second more.
    const uint64_t firstBy = quillon::NowMs() + uiTimeoutMs;
    const uint64_t wholeBy = firstBy + kRestOfReplyMs;
    const uint8_t* pEcho = OHidLink::pCommandCharacters(pCommand, uiCommandLen);
    uint8_t reply[OHidLink::kRecvSize] = {};
    uint32_t count = 0;
    if (!m_link.bReadFirstReport(reply, sizeof reply, count, firstBy, [pEcho](const uint8_t* pGot) {
            return famb::EchoAnswers(pGot, pEcho);
        }))
        return famb::NoReplyWith(Code::CommFailed);
    const famb::tHidPlan plan = famb::PlanHidReply(reply, sizeof reply);
    if (!plan.bUsable) // nothing of it is taken; the next command drops the rest
        return famb::NoReplyWith(Code::CommFailed);

    // The rest of the reply, each report 64 bytes behind the one before.
    // A report that does not come in time cuts the reply: it fails, it
    // is never taken with zeros in place of the missing part.
    for (uint32_t k = 1; k <= plan.uiFurther; ++k) {
        const uint32_t at = k * famb::kReportStride;
        if (!m_link.bReadReport(reply + at, sizeof reply - at, count, wholeBy, uiTimeoutMs))
            return famb::NoReplyWith(Code::NoReply);
    }
    // The report that carries none of the reply is taken if already there,
    // not waited for (the next command drops it otherwise).
    if (plan.bSpill) {
        uint8_t spill[famb::kReportStride * 2] = {};
        m_link.bReadReport(spill, sizeof spill, count, 0);
    }
    return famb::TakeReply(reply + famb::kReportHead, plan.uiPayloadLen, pData, uiDataSize);
}

} // namespace quillon
