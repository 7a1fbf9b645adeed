#include "readers/family_b/hid_reader_b.h"

#include "infra/result_codes.h"

using quillon::Code;

namespace {
// Once its first report is in, the rest of a reply may take this much
// longer than the command's time-out, counted from the command.
constexpr uint32_t kRestOfReplyMs = 1000;

// The reader echoes a command's two characters, except that in the replies
// of chip I/O (command character 'I') the second one tells how the exchange
// goes on: '5' more data to fetch, '?' a block refused.
bool bEchoAnswers(const uint8_t* pEcho, const uint8_t* pCommand) {
    if (!pCommand)
        return true;
    if (pEcho[0] != pCommand[0])
        return false;
    return pEcho[1] == pCommand[1] || (pCommand[0] == 'I' && (pEcho[1] == '5' || pEcho[1] == '?'));
}
} // namespace

OHidReaderB::OHidReaderB(OReaderComm* pComm) : OFamilyBReader(pComm) {}

int OHidReaderB::SetCommPara(tDevReturn*) {
    int type = 0;
    if (m_pComm->iGetIntValue("CardReaderType", "CardReaderType", type) != 0)
        type = 6;
    int productId = 0;
    int vendorId = 0;
    if (m_pComm->iGetIntValue("USB", "PID", productId) != 0)
        productId = 0;
    const int vendorLookup = m_pComm->iGetIntValue("USB", "VID", vendorId);
    if (vendorLookup != 0)
        vendorId = 0;
    if (type != 6)
        return vendorLookup;
    return m_link.bOpen(static_cast<uint16_t>(vendorId), static_cast<uint16_t>(productId)) ? 0 : 1;
}

int OHidReaderB::iExecCommand(const uint8_t* pCommand, uint32_t uiCommandLen, uint8_t* pData,
                              uint32_t uiDataSize, uint32_t* pDataLen, tDevReturn* pRet,
                              uint32_t uiTimeoutMs) {
    if (pDataLen)
        *pDataLen = 0;
    int code = 0;
    try {
        const int sent = m_link.iSendCommand(kReportId, pCommand, uiCommandLen, uiTimeoutMs);
        if (sent != 0)
            throw sent;
        // The first report within the command's time-out (late replies to
        // earlier commands dropped), the whole reply within a second more.
        const uint64_t firstBy = quillon::NowMs() + uiTimeoutMs;
        const uint64_t wholeBy = firstBy + kRestOfReplyMs;
        const uint8_t* pEcho = OHidLink::pCommandCharacters(pCommand, uiCommandLen);
        uint8_t reply[OHidLink::kRecvSize] = {};
        uint32_t count = 0;
        if (!m_link.bReadFirstReport(
                reply, sizeof reply, count, firstBy,
                [pEcho](const uint8_t* pGot) { return bEchoAnswers(pGot, pEcho); }))
            throw ToInt(Code::CommFailed);
        const uint32_t announced = (static_cast<uint32_t>(reply[1]) << 8) | reply[2];
        const uint32_t total = OHidLink::kReportHeader + announced; // bytes of the reply
        if (announced < kReplyHeader || total > sizeof reply)
            throw ToInt(
                Code::CommFailed); // nothing of it is taken; the next command drops the rest

        // The rest of the reply, each report 64 bytes behind the one before.
        // A report that does not come in time cuts the reply: it fails, it
        // is never taken with zeros in place of the missing part.
        const uint32_t further = (total - 1) / kReportStride;
        for (uint32_t k = 1; k <= further; ++k) {
            const uint32_t at = k * kReportStride;
            if (!m_link.bReadReport(reply + at, sizeof reply - at, count, wholeBy, uiTimeoutMs))
                throw ToInt(Code::NoReply);
        }
        // A reply that ends on a report boundary is announced with one more
        // report that carries none of it; taken if already there, not waited
        // for (the next command drops it otherwise).
        if (total % kReportStride == 0) {
            uint8_t spill[kReportStride * 2] = {};
            m_link.bReadReport(spill, sizeof spill, count, 0);
        }
        code = iTakeReply(reply + OHidLink::kReportHeader, announced, pData, uiDataSize, pDataLen,
                          pRet);
    } catch (int thrown) {
        code = thrown;
    }
    return iReport(code, pRet);
}
