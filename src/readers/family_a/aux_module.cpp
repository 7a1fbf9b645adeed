#include "readers/family_a/aux_module.h"

#include <algorithm>
#include <cstring>

#include "infra/reader_comm.h"
#include "readers/family_a/commands_a.h"
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

tCommandReply OAuxModule::tExecCommand(const char* pCommand, uint32_t uiTimeoutMs, tData& data) {
    quillon::OStxDecoder frame(kProfile.tFormat);
    std::memset(&data, 0, sizeof data);
    tCommandReply reply;
    reply.eCode =
        quillon::StxExchange(m_pComm, kProfile, reinterpret_cast<const uint8_t*>(pCommand),
                             static_cast<uint32_t>(std::strlen(pCommand)), uiTimeoutMs, frame);
    if (frame.eState() != quillon::StxState::Frame)
        return reply;
    const uint32_t uiText = std::min(frame.uiTextLen(), kTextArea);
    data.uiLen = reply.uiDataLen = uiText > kDataAt ? uiText - kDataAt : 0;
    if (data.uiLen)
        std::memcpy(data.abData, frame.pText() + kDataAt, data.uiLen);
    if (reply.eCode == Code::Ok)
        reply.eCode = MapReply(frame.pText(), frame.uiTextLen());
    return reply;
}

Code OAuxModule::eRecord(Code eCode) {
    m_pComm->vRecordOutcome(quillon::OutcomeOf(eCode));
    return eCode;
}

Code OAuxModule::eInitModule(uint8_t* pIdent, uint32_t uiIdentSize) {
    // The identification stands at text bytes 8 to 18: data bytes 5 to 15.
    constexpr uint32_t kIdentAt = 8 - kDataAt;
    tData data;
    const Code eCode = tExecCommand(fama::kModuleInit, fama::kModuleInitTimeoutMs, data).eCode;
    tExecCommand(fama::kModuleIdentify, fama::kModuleInitTimeoutMs, data); // code not looked at
    std::memcpy(pIdent, data.abData + kIdentAt, std::min(kIdentLen, uiIdentSize));
    return eRecord(eCode);
}

Code OAuxModule::eSetMode(int iMode) {
    const char* pCmd = iMode == 1   ? fama::kModuleFeed
                       : iMode == 2 ? fama::kModuleStock
                                    : fama::kModuleIdle;
    tData data;
    return eRecord(tExecCommand(pCmd, fama::kModuleModeTimeoutMs, data).eCode);
}

Code OAuxModule::eGetModuleStatus(uint32_t* pBits) {
    tData data;
    const Code eCode =
        eRecord(tExecCommand(fama::kModuleStatus, fama::kModuleStatusTimeoutMs, data).eCode);
    if (IsSuccess(eCode)) {
        // Sensors 3 to 7 are data bytes 0 to 4.
        const uint8_t* s = data.abData;
        uint32_t bits = 0;
        if (s[0] == '1' && s[1] == '1')
            bits |= 1;
        if (s[2] == '0' || s[3] == '0')
            bits |= 2;
        if (s[4] == '0')
            bits |= 4;
        *pBits = bits;
    }
    return eCode;
}

} // namespace quillon
