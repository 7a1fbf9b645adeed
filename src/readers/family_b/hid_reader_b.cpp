#include "readers/family_b/hid_reader_b.h"

#include "infra/result_codes.h"

namespace {
// Thrown as plain int codes (the library's code enum is a type of its own).
constexpr int kCodeNotSent = quillon::kCodeCommFailed;
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
        uint8_t reply[OHidLink::kRecvSize] = {};
        uint32_t count = 0;
        if (!m_link.bReadReport(reply, sizeof reply, count, uiTimeoutMs))
            throw kCodeNotSent;
        const uint32_t announced = (static_cast<uint32_t>(reply[1]) << 8) | reply[2];
        // The rest of the reply, each report 64 bytes behind the one before;
        // their outcomes are not looked at (what is missing stays zero).
        const uint32_t further = (announced + OHidLink::kReportHeader) / kReportStride;
        const bool fits = OHidLink::kReportHeader + announced <= sizeof reply;
        for (uint32_t k = 1; k <= further; ++k) {
            const uint32_t at = k * kReportStride;
            if (at < sizeof reply) {
                m_link.bReadReport(reply + at, sizeof reply - at, count, uiTimeoutMs);
            } else if (fits) {
                // A reply that just fills the buffer still announces one more
                // report: take it off the line so the next exchange does not
                // read it as its own.
                uint8_t spill[kReportStride * 2] = {};
                m_link.bReadReport(spill, sizeof spill, count, uiTimeoutMs);
            } else {
                break; // refused below; never wait for more than fits
            }
        }
        if (announced < kReplyHeader || !fits)
            throw kCodeNotSent;
        code = iTakeReply(reply + OHidLink::kReportHeader, announced, pData, uiDataSize, pDataLen,
                          pRet);
    } catch (int thrown) {
        code = thrown;
    }
    return iReport(code, pRet);
}
