#include "readers/family_a/aux_module.h"

#include <algorithm>
#include <cstring>

#include "infra/reader_comm.h"
#include "readers/stx_exchange.h"

namespace quillon {

namespace {
const quillon::tStxProfile kProfile = {
    {OAuxModule::kAddress, true}, // addressed; ETX in place ends a reply frame
    true,                         // without the acknowledgement the reply is awaited all the same
    true,                         // DTR drops after any reply
    Code::BrokenFrame,            // bytes that never formed a frame are no reply
    quillon::kStxReplyArea,       // the reply frame's deadline allows for the receive area
};

// Error bytes of a negative reply and their codes; any other is UnknownReply.
struct tErrorCode {
    uint8_t byError;
    Code eCode;
};
const tErrorCode kErrors[] = {
    {0x00, Code::NotSupported}, {0x01, Code::BadArgument}, {0x02, Code::Refused},
    {0x03, Code::Unavailable},  {0x04, Code::ReplyN4A},    {0x80, Code::ReplyN61},
    {0x81, Code::NoReply},
};

// Reply text to a library code.
Code MapReply(const uint8_t* pText, uint32_t uiLen) {
    if (uiLen == 0 || (pText[0] != 'P' && pText[0] != 'N'))
        return Code::BrokenFrame;
    if (pText[0] == 'P')
        return Code::Ok;
    if (uiLen < 4)
        return Code::UnknownReply;
    for (const tErrorCode& row : kErrors)
        if (row.byError == pText[3])
            return row.eCode;
    return Code::UnknownReply;
}
} // namespace

OAuxModule::tReply OAuxModule::tExecCommand(const char* pCommand, uint32_t uiTimeoutMs) {
    quillon::OStxDecoder frame(kProfile.tFormat);
    tReply reply;
    reply.eCode =
        quillon::StxExchange(m_pComm, kProfile, reinterpret_cast<const uint8_t*>(pCommand),
                             static_cast<uint32_t>(std::strlen(pCommand)), uiTimeoutMs, frame);
    if (frame.eState() != quillon::StxState::Frame)
        return reply;
    reply.uiLen = std::min(frame.uiTextLen(), kTextArea);
    if (reply.uiLen)
        std::memcpy(reply.abText, frame.pText(), reply.uiLen);
    if (reply.eCode == Code::Ok)
        reply.eCode = MapReply(frame.pText(), frame.uiTextLen());
    return reply;
}

int OAuxModule::iRecord(Code eCode, tDevReturn* pRet) {
    const int iFlag = IsSuccess(eCode) ? 0 : 1;
    pRet->iCode1 = pRet->iCode2 = ToInt(eCode);
    pRet->iErrFlag1 = pRet->iErrFlag2 = iFlag;
    m_pComm->vRecordOutcome(pRet->iCode2, pRet->iErrFlag2);
    return iFlag;
}

int OAuxModule::iInitModule(tDevReturn* pRet, uint8_t* pIdent, uint32_t uiIdentSize) {
    const Code eCode = tExecCommand("01", 5000).eCode;
    const tReply ident = tExecCommand("00", 5000); // its outcome is not reported
    if (pIdent)
        std::memcpy(pIdent, ident.abText + 8, std::min(kIdentLen, uiIdentSize));
    return iRecord(eCode, pRet);
}

int OAuxModule::iSetMode(int iMode, tDevReturn* pRet) {
    const char* pCmd = iMode == 1 ? "P1" : iMode == 2 ? "S0" : "P0";
    return iRecord(tExecCommand(pCmd, 10000).eCode, pRet);
}

int OAuxModule::iGetModuleStatus(uint32_t* pBits, tDevReturn* pRet) {
    const tReply reply = tExecCommand("Q0", 2000);
    const int r = iRecord(reply.eCode, pRet);
    if (r == 0 && pBits) {
        const uint8_t* t = reply.abText;
        uint32_t bits = 0;
        if (t[3] == '1' && t[4] == '1')
            bits |= 1;
        if (t[5] == '0' || t[6] == '0')
            bits |= 2;
        if (t[7] == '0')
            bits |= 4;
        *pBits = bits;
    }
    return r;
}

} // namespace quillon
