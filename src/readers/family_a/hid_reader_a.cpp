#include "readers/family_a/hid_reader_a.h"

#include <cstring>

#include "readers/family_a/hid_a_codec.h"
#include "readers/reader_variants.h"

namespace quillon {

OHidReaderA::OHidReaderA(OReaderComm* pComm) : OFamilyAReader(pComm, UsbProfileA(), nullptr) {}

tDriverResult OHidReaderA::SetCommPara() {
    // The device of the configured type's row (type 4's when none is
    // configured); any type that is not a USB family-A one: the second device.
    ReaderType eType = ReaderType::UsbA;
    bConfiguredType(*m_pComm, eType);
    const tReaderVariant* pVariant = pVariantOf(eType);
    if (!pVariant || pVariant->eFamily != ReaderFamily::A ||
        pVariant->eTransport != Transport::UsbHid)
        pVariant = pVariantOf(ReaderType::UsbASecond);
    const tUsbDevice device = pVariant->tUsb;
    return tDriverResult::Untouched(m_link.bOpen(device.usVendorId, device.usProductId) ? 0 : 1);
}

tCommandReply OHidReaderA::tExchange(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                                     uint32_t uiReplySize, uint32_t uiTimeoutMs) {
    tCommandReply x;
    uint8_t report[OHidLink::kSendSize];
    const uint32_t used = hid_a::EncodeCommand(pText, uiLen, report);
    x.eCode = used ? m_link.eSendReport(report, used, uiTimeoutMs) : Code::BadArgument;
    if (x.eCode != Code::Ok)
        return x;
    // The reply echoes the command characters; a report that echoes
    // others is a late reply to an earlier command and is dropped.
    const uint8_t* pEcho = OHidLink::pCommandCharacters(pText, uiLen);
    const auto bAnswers = [pEcho](const uint8_t* pGot) {
        return !pEcho || (pGot[0] == pEcho[0] && pGot[1] == pEcho[1]);
    };
    uint8_t recv[OHidLink::kRecvSize] = {};
    uint32_t count = 0;
    const uint8_t* pReplyText = nullptr;
    uint32_t len = 0;
    if (!m_link.bReadFirstReport(recv, sizeof recv, count, NowMs() + uiTimeoutMs, bAnswers) ||
        !hid_a::DecodeReply(recv, count, &pReplyText, &len) || len - kReplyHeaderA > uiReplySize) {
        x.eCode = Code::CommFailed;
        return x;
    }
    x.uiDataLen = len - kReplyHeaderA;
    if (x.uiDataLen)
        std::memcpy(pReply, pReplyText + kReplyHeaderA, x.uiDataLen);
    std::memcpy(x.abShown, pReplyText, len);
    x.uiShownLen = len;
    x.eCode = ReplyCodeA(pReplyText);
    return x;
}

} // namespace quillon
