#include "infra/reader_comm.h"

#include <cstdio>
#include <cstring>

#include "infra/bounded_copy.h"
#include "infra/result_codes.h"
#include "infra/trace_log.h"
#include "platform/clock.h"
#include "platform/system.h"

using quillon::Code;

namespace {
constexpr const char* kLibraryVersion = "V1.0.1 b6";
constexpr uint32_t kBitsPerByte = 10;    // start, eight data bits, stop
constexpr uint32_t kFrameGraceMs = 1000; // on top of the wire time of a whole frame
constexpr uint32_t kAssumedBaud = 9600;  // when no port speed is known

void SetRecord(tDevReturn* pRet, int iCode, int iFlag) {
    pRet->iCode1 = iCode;
    pRet->iCode2 = iCode;
    pRet->iErrFlag1 = iFlag;
    pRet->iErrFlag2 = iFlag;
}

uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}
} // namespace

OReaderComm::OReaderComm(OTraceLog* pTraceLog, const char* pDevSection)
    : m_pRecvBuf(new uint8_t[kRecvCapacity]()), m_pTraceLog(pTraceLog), m_iPortOpen(0) {
    quillon::CopyText(acDevName, sizeof acDevName, pDevSection);
    quillon::CopyText(acVersion, sizeof acVersion, kLibraryVersion);
    acName2[0] = '\0';
    PutU16(m_pRecvBuf, kRecvCapacity);
    PutU16(m_pRecvBuf + 2, 0);
}

OReaderComm::~OReaderComm() {
    delete[] m_pRecvBuf;
    iCloseComm2();
}

uint16_t OReaderComm::uiHeld() const {
    return GetU16(m_pRecvBuf + 2);
}
void OReaderComm::vSetHeld(uint16_t uiCount) {
    PutU16(m_pRecvBuf + 2, uiCount);
}

int OReaderComm::iOpenPort(tDevReturn* pRet) {
    if (m_iPortOpen)
        return 0;
    tCommCfg2 cfg;
    std::memset(&cfg, 0, sizeof cfg);
    bool ok = iPreInitDev() == 0 && iGetDefaultCommConfig2(cfg) == 0;
    if (ok) {
        if (cfg.iKind == 2) {
            // Kind 2 keeps its own fields at 8, 12 and 16; the line refuses it.
            cfg.uiBaudRate = 8;
            cfg.iReserved12 = 2;
            cfg.iCtsOutFlow = 1;
        } else {
            cfg.byDataBits = 8;
            cfg.byParity = 2;
            cfg.byStopBits = 0;
            if (cfg.iKind == 1) {
                cfg.uiReadIntervalMs = 3;
                cfg.uiReadPerByteMs = 10;
                cfg.uiReadConstMs = 10;
                cfg.uiWritePerByteMs = 0;
                cfg.uiWriteConstMs = 0;
            }
        }

        int days = 0;
        if (iGetIntValue("DllExtFunc", "RemainDays", days) == 0 && m_pTraceLog) {
            int setting = 0;
            if (iGetIntValue("DllExtFunc", "Vantrel", setting) != 0)
                setting = 0;
            m_pTraceLog->vOpenTraceFile(days, acDevName, setting); // the file is named after it
        }

        int dtr = 0;
        if (iGetIntValue("Dtr", "Dtr", dtr) == 0 && dtr == 1) {
            cfg.iCtsOutFlow = 0;
            cfg.iDsrOutFlow = 0;
            cfg.iDtrControl = 1;
            cfg.iXonXoffOut = 0;
            cfg.iXonXoffIn = 0;
            cfg.iRtsControl = 2;
        }

        int type = 1;
        if (iGetIntValue("CardReaderType", "CardReaderType", type) != 0)
            type = 1;
        if (type == 3) {
            cfg.uiBaudRate = 9600;
            cfg.byDataBits = 8;
            cfg.byParity = 0;
            cfg.byStopBits = 0;
        }
        if (type >= 4)
            return 0; // USB readers need no serial port

        ok = iInitComm2(cfg, false) == 0;
    }
    if (!ok) {
        SetRecord(pRet, ToInt(Code::CommFailed), 0);
        ODevBase::vSetErrorFlag(*pRet);
        return 1;
    }
    m_uiBaudRate = cfg.uiBaudRate;
    iExtendCommFunc(kLineSetRts);
    iExtendCommFunc(kLineClrDtr);
    quillon::SleepMs(200);
    if (!bLineOpen()) {
        // Gone again while being prepared.
        SetRecord(pRet, ToInt(Code::CommFailed), 0);
        ODevBase::vSetErrorFlag(*pRet);
        return 1;
    }
    m_iPortOpen = 1;
    SetRecord(pRet, 0, 0);
    ODevBase::vSetErrorFlag(*pRet);
    return 0;
}

int OReaderComm::iReadReply(uint8_t* pDest, uint32_t* pCount, uint32_t uiTimeoutMs) {
    const uint16_t capacity = GetU16(m_pRecvBuf);
    uint16_t held = uiHeld();
    if (!pDest || !pCount || capacity <= 4 || held > capacity - 4 || *pCount > capacity - 4u ||
        *pCount == 0)
        return 1;
    const uint32_t wanted = *pCount;
    uint8_t* data = m_pRecvBuf + 4;
    while (held < wanted) {
        uint32_t count = wanted - held;
        if (iWaitResult2(data + held, count, uiFrameWaitMs(uiTimeoutMs), 0, true) != 0)
            break;
        if (count > wanted - held)
            count = wanted - held; // never trust a count larger than asked
        held = static_cast<uint16_t>(held + count);
        vSetHeld(held);
    }
    if (held >= wanted) {
        std::memcpy(pDest, data, wanted);
        const uint16_t rest = static_cast<uint16_t>(held - wanted);
        std::memmove(data, data + wanted, rest);
        // Only the bytes just freed are zeroed: beyond the held ones the
        // area is zero already.
        std::memset(data + rest, 0, wanted);
        vSetHeld(rest);
        return 0;
    }
    if (held > 0) {
        std::memcpy(pDest, data, held);
        *pCount = held;
        std::memset(data, 0, held);
        vSetHeld(0);
        return 0;
    }
    *pCount = 0;
    return 1;
}

int OReaderComm::iReadSome(uint8_t* pDest, uint32_t* pCount, uint32_t uiTimeoutMs) {
    if (!pDest || !pCount || *pCount == 0 || *pCount > kMaxWanted)
        return 1;
    const uint32_t wanted = *pCount;
    const uint16_t held = uiHeld();
    if (held > 0) {
        // Taken by iReadReply's rules: never more than is held.
        uint32_t n = held < wanted ? held : wanted;
        *pCount = n;
        return iReadReply(pDest, pCount, uiTimeoutMs);
    }
    uint32_t count = wanted;
    if (iWaitResult2(pDest, count, uiFrameWaitMs(uiTimeoutMs), 0, true) != 0 || count == 0) {
        *pCount = 0;
        return 1;
    }
    *pCount = count < wanted ? count : wanted;
    return 0;
}

void OReaderComm::vReportResult(int* pCode, tDevReturn* pRet) {
    ODevBase::vSetErrorFlag(0);
    if (quillon::IsSuccessCode(*pCode)) {
        SetRecord(pRet, *pCode, 0);
        *pCode = 0;
    } else {
        SetRecord(pRet, *pCode, 1);
        *pCode = 1;
    }
    ODevBase::vSetErrorFlag(*pRet);
}

void OReaderComm::vDiscardInput() {
    iPurgeInput();
    std::memset(m_pRecvBuf + 4, 0, kRecvCapacity - 4);
    vSetHeld(0);
}

uint32_t OReaderComm::uiFrameSlackMs(uint32_t uiLargest) const {
    const uint64_t baud = m_uiBaudRate ? m_uiBaudRate : kAssumedBaud;
    const uint64_t wireMs = (uint64_t{uiLargest} * kBitsPerByte * 1000 + baud - 1) / baud;
    const uint64_t slack = wireMs + kFrameGraceMs;
    return slack > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(slack);
}

void OReaderComm::vBeginFrame(uint32_t uiTimeoutMs, uint32_t uiLargest) {
    m_uiFrameDeadline = quillon::NowMs() + uiTimeoutMs + uiFrameSlackMs(uiLargest);
    m_bInFrame = true;
}

uint32_t OReaderComm::uiFrameWaitMs(uint32_t uiTimeoutMs) const {
    if (!m_bInFrame)
        return uiTimeoutMs;
    const uint32_t left = quillon::MsLeft(m_uiFrameDeadline);
    return left < uiTimeoutMs ? left : uiTimeoutMs;
}

bool OReaderComm::bFrameLate() const {
    return m_bInFrame && quillon::NowMs() >= m_uiFrameDeadline;
}

void OReaderComm::vOnLineLost() {
    m_iPortOpen = 0;
    std::memset(m_pRecvBuf + 4, 0, kRecvCapacity - 4);
    vSetHeld(0);
}
