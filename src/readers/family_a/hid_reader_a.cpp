#include "readers/family_a/hid_reader_a.h"

#include <cstring>

#include "infra/result_codes.h"

using namespace quillon;

namespace {

// A mode key of the configuration (default 1): value 1 and value 2 send their
// command and take their state, any other value sends nothing and is the
// state; a refused command gives the failure state. Capability record and
// status record both receive the state.
struct tModeKey {
    const char* pKey;
    const char* pCmd1;
    uint16_t usState1;
    const char* pCmd2;
    uint16_t usState2;
    uint16_t usFailState;
    int iCapField;
    int iStatusField;
};
const tModeKey kModeKeys[] = {
    {"IntakeMode", "CSL1", 1, "CSL0", 3, 4, OFamilyAReader::kCapIntake,
     OFamilyAReader::kStIntakeMode},
    {"ActMode", "CSN2", 1, "CSN1", 2, 3, OFamilyAReader::kCapAct, OFamilyAReader::kStActMode},
};
} // namespace

OHidReaderA::OHidReaderA(OReaderComm* pComm) : OFamilyAReader(pComm) {
    usCap(kCapModule) = 2; // no auxiliary module on USB
}

int OHidReaderA::SetCommPara(tDevReturn*) {
    int type = 0;
    const bool bFirst =
        m_pComm->iGetIntValue("CardReaderType", "CardReaderType", type) != 0 || type == 4;
    const bool bFound = bFirst ? m_link.bOpen(0x04A4, 0x008B) : m_link.bOpen(0x0590, 0x0035);
    return bFound ? 0 : 1;
}

int OHidReaderA::iExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                              uint32_t* pReplyLen, tDevReturn* pRet, uint32_t uiTimeoutMs) {
    const uint32_t uiReplySize = (pReply && pReplyLen) ? *pReplyLen : 0;
    if (pReplyLen)
        *pReplyLen = 0;
    int iCode = ToInt(Code::Ok);
    try {
        const int iSent = m_link.iSendCommand(kReportId, pText, uiLen, uiTimeoutMs);
        if (iSent != 0)
            throw iSent;
        // The reply echoes the command characters; a report that echoes
        // others is a late reply to an earlier command and is dropped.
        const uint8_t* pEcho = OHidLink::pCommandCharacters(pText, uiLen);
        const auto bAnswers = [pEcho](const uint8_t* pGot) {
            return !pEcho || (pGot[0] == pEcho[0] && pGot[1] == pEcho[1]);
        };
        uint8_t recv[OHidLink::kRecvSize] = {};
        uint32_t count = 0;
        if (!m_link.bReadFirstReport(recv, sizeof recv, count, NowMs() + uiTimeoutMs, bAnswers))
            throw ToInt(Code::CommFailed);
        const uint32_t len = (static_cast<uint32_t>(recv[1]) << 8) | recv[2];
        const uint8_t* pReplyText = recv + OHidLink::kReportHeader;
        if (len < kReplyHeader || len > sizeof pRet->acReplyText ||
            OHidLink::kReportHeader + len > count || len - kReplyHeader > uiReplySize)
            throw ToInt(Code::CommFailed);
        if (len > kReplyHeader)
            std::memcpy(pReply, pReplyText + kReplyHeader, len - kReplyHeader);
        if (pReplyLen)
            *pReplyLen = len - kReplyHeader;
        std::memcpy(pRet->acReplyText, pReplyText, len);
        iCode = iMapReplyCode(pReplyText[0],
                              static_cast<uint16_t>((pReplyText[3] << 8) | pReplyText[4]));
    } catch (int code) {
        iCode = code;
    }
    return iReport(iCode, pRet);
}

// ---------------------------------------------- where USB differs

const char* OHidReaderA::pResetCommand(int iMode) const {
    return iMode == 3 ? "C07" : OFamilyAReader::pResetCommand(iMode);
}

void OHidReaderA::vApplyConfig() {
    // A record of its own: nothing of the configuration reaches Init's.
    tDevReturn own;
    std::memset(&own, 0, sizeof own);

    int value = 0;
    if (m_pComm->iGetIntValue("ProtocolMode", "ProtocolMode", value) != 0) {
        value = 0;
        usCap(kCapProtocol) = 0;
    }
    if (value == 0)
        iCommand("CY105", 10000, &own);
    else if (value == 1)
        iCommand("CY100", 10000, &own);

    for (const tModeKey& k : kModeKeys) {
        if (m_pComm->iGetIntValue(k.pKey, k.pKey, value) != 0)
            value = 1;
        uint16_t state = static_cast<uint16_t>(value);
        int r = 0;
        if (value == 1) {
            r = iCommand(k.pCmd1, 10000, &own);
            state = k.usState1;
        } else if (value == 2) {
            r = iCommand(k.pCmd2, 10000, &own);
            state = k.usState2;
        }
        if (r != 0)
            state = k.usFailState;
        usCap(k.iCapField) = state;
        usStatus(k.iStatusField) = state;
    }

    // Which card dispenser stands in front of the reader, as configured.
    if (m_pComm->iGetIntValue("DispenseCardDev", "DispenseCardDev", value) != 0)
        value = 0;
    usCap(kCapModule) = static_cast<uint16_t>(value);
    usStatus(kStModule) = static_cast<uint16_t>(value);

    vReadReaderInfo(&own);
}

void OHidReaderA::vDecodeSensors(const uint8_t* d, tIdcStatus* pStatus, tDevReturn* pRet) {
    uint16_t* f = pStatus->usField;
    switch (pRet->iCode2) {
    case ToInt(Code::Positive):
        f[kStState] = 1;
        break;
    case ToInt(Code::ReplyP01):
        f[kStState] = 2;
        break;
    case ToInt(Code::CardInside):
        f[kStState] = 3;
        usStatus(kStEntry) = 3; // the caller's entry state is left to the sensors
        break;
    default:
        break;
    }
    vDecodeSensorCharacters(d, f);
}

int OHidReaderA::iOtherEntryMode(int iMode, tDevReturn* pRet) {
    // Such a mode goes out as an empty command of three zero bytes; the
    // reader's answer decides.
    static const uint8_t kNoCommand[3] = {};
    uint8_t d[256] = {};
    uint32_t n = sizeof d;
    const int r = iExecCommand(kNoCommand, sizeof kNoCommand, d, &n, pRet, 30000);
    if (r == 0)
        usStatus(kStEntry) = static_cast<uint16_t>(iMode);
    return r;
}

int OHidReaderA::RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) {
    const int r = iCommand("C41", 30000, pRet);
    tDevReturn own;
    std::memset(&own, 0, sizeof own);
    uint8_t d[256] = {};
    uint32_t n = 0;
    int counter = -1;
    if (iCommand("CQ0", 10000, &own, d, sizeof d, &n) == 0) {
        counter = iRetainCounter(d, n);
        if (counter < 0)
            iBrokenReply(&own); // the counter stays as it was
    }
    if (r != 0)
        return r;
    usStatus(kStEntry) = 3;
    if (counter >= 0) {
        const uint16_t count = static_cast<uint16_t>(counter);
        usCap(kCapRetainCount) = count;
        usStatus(kStRetainCount) = count;
        if (pRetainCount)
            *pRetainCount = count;
    }
    return 0;
}
