#include "readers/family_a/serial_reader_a.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "infra/result_codes.h"

using namespace quillon;

namespace {
constexpr uint8_t DLE = 0x10;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ENQ = 0x05;
constexpr uint8_t ACK = 0x06;
constexpr uint32_t kAckTimeoutMs = 3000;
constexpr int kMaxSends = 3; // a frame refused three times is given up
constexpr uint32_t kWorkSize = 1024;

// Leaves the exchange with a code; its catch (int) records it.
[[noreturn]] void Raise(Code eCode) {
    throw ToInt(eCode);
}
} // namespace

bool OSerialReaderA::s_bModuleEntryDone = false;

OSerialReaderA::OSerialReaderA(OReaderComm* pComm)
    : OFamilyAReader(pComm), m_pModule(new (std::nothrow) OAuxModule(pComm)) {
    if (!m_pModule)
        usCap(kCapModule) = 2; // no module object: never probed
}

OSerialReaderA::~OSerialReaderA() = default;

// ------------------------------------------------------------ exchange

void OSerialReaderA::vPackFrame(uint8_t* pBuf, uint32_t uiBufSize, uint32_t* pLen) {
    const uint32_t n = *pLen & 0xFFFF;
    uint8_t work[kWorkSize];
    uint32_t w = 0;
    uint8_t bcc = 0;
    work[w++] = DLE;
    work[w++] = STX;
    for (uint32_t i = 0; i < n; ++i) {
        if (w + 2 + 3 > sizeof work) {
            *pLen = 0;
            return;
        }
        bcc ^= pBuf[i];
        work[w++] = pBuf[i];
        if (pBuf[i] == DLE)
            work[w++] = DLE;
    }
    work[w++] = DLE;
    work[w++] = ETX;
    work[w++] = static_cast<uint8_t>(bcc ^ ETX);
    if (w > uiBufSize) {
        *pLen = 0;
        return;
    }
    std::memcpy(pBuf, work, w);
    *pLen = w;
}

int OSerialReaderA::iCheckFrame(const uint8_t* pFrame, uint32_t uiLen) {
    if (uiLen < 5 || pFrame[0] != DLE || pFrame[1] != STX || pFrame[uiLen - 3] != DLE ||
        pFrame[uiLen - 2] != ETX)
        return 1;
    uint8_t bcc = 0;
    // Text positions 2..n-4; a DLE in the text comes doubled, and its partner
    // must lie in the text too (a DLE DLE ETX is data, not the end).
    for (uint32_t i = 2; i + 3 < uiLen; ++i) {
        bcc ^= pFrame[i];
        if (pFrame[i] == DLE) {
            if (i + 4 >= uiLen || pFrame[i + 1] != DLE)
                return 1;
            ++i;
        }
    }
    return pFrame[uiLen - 1] == static_cast<uint8_t>(bcc ^ ETX) ? 0 : 1;
}

int OSerialReaderA::iExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                                 uint32_t* pReplyLen, tDevReturn* pRet, uint32_t uiTimeoutMs) {
    const uint32_t uiReplySize = (pReply && pReplyLen) ? *pReplyLen : 0;
    if (pReplyLen)
        *pReplyLen = 0;
    int iCode = ToInt(Code::Ok);
    bool bAbort = false; // a reply was asked for and did not arrive whole
    try {
        uint8_t send[kSendSize] = {};
        uint32_t len = uiLen & 0xFFFF;
        if ((len && !pText) || len > sizeof send)
            Raise(Code::BadArgument);
        if (len)
            std::memcpy(send, pText, len);
        vPackFrame(send, sizeof send, &len);
        if (len == 0)
            Raise(Code::BadArgument); // the frame would not fit: nothing is sent

        for (int sends = 1;; ++sends) {
            m_pComm->vDiscardInput(); // nothing left over from an earlier exchange
            if (m_pComm->iWrite(send, len) != 0)
                Raise(Code::CommFailed);
            uint8_t ack[2] = {};
            uint32_t got = sizeof ack;
            OReaderComm::OFrame ackFrame(m_pComm, kAckTimeoutMs, sizeof ack);
            if (m_pComm->iReadReply(ack, &got, kAckTimeoutMs) != 0)
                Raise(Code::NoAck); // silence: the frame is not sent again
            if (got == 2 && ack[0] == DLE && ack[1] == ACK)
                break;
            if (sends == kMaxSends)
                Raise(Code::BadArgument); // refused three times
        }

        static const uint8_t enq[2] = {DLE, ENQ};
        if (m_pComm->iWrite(enq, sizeof enq) != 0)
            Raise(Code::CommFailed);

        bAbort = true;
        // Each byte may take the caller's time-out, the whole frame not much more.
        OReaderComm::OFrame replyFrame(m_pComm, uiTimeoutMs, kRecvSize);
        uint8_t recv[kRecvSize] = {};
        // Byte i of the frame. The bytes come in as they have arrived, many
        // at a time; each wait for a further one keeps the caller's time-out.
        uint32_t arrived = 0;
        auto readByte = [&](uint32_t i) {
            if (i >= sizeof recv)
                Raise(Code::NoReply); // longer than the receive buffer
            if (i < arrived)
                return;
            uint32_t n = static_cast<uint32_t>(sizeof recv) - i;
            if (n > OReaderComm::kMaxWanted)
                n = OReaderComm::kMaxWanted;
            if (m_pComm->iReadSome(recv + i, &n, uiTimeoutMs) != 0 || n == 0)
                Raise(Code::NoReply);
            arrived = i + n;
        };
        uint32_t frameLen = 0;
        for (uint32_t i = 0; frameLen == 0;) {
            readByte(i);
            if (i >= 2 && recv[i - 1] == DLE && recv[i] == ETX) {
                readByte(i + 1); // the BCC, if this DLE ETX ends the frame
                if (iCheckFrame(recv, i + 2) == 0)
                    frameLen = i + 2;
                else
                    i += 2; // DLE ETX was data: keep the bytes, go on
            } else {
                ++i;
            }
        }

        // Reply text with the doubled DLEs collapsed.
        uint8_t text[kRecvSize];
        uint32_t textLen = 0;
        for (uint32_t p = 2; p + 3 < frameLen; ++p) {
            text[textLen++] = recv[p];
            if (recv[p] == DLE)
                ++p;
        }
        if (textLen < kReplyHeader)
            Raise(Code::NoReply);
        const uint32_t dataLen = textLen - kReplyHeader;
        if (dataLen > uiReplySize)
            Raise(Code::NoReply); // more than the caller can take
        bAbort = false;

        if (dataLen)
            std::memcpy(pReply, text + kReplyHeader, dataLen);
        if (pReplyLen)
            *pReplyLen = dataLen;
        std::memcpy(pRet->acReplyText, text, kReplyHeader);
        iCode = iMapReplyCode(text[0], static_cast<uint16_t>((text[3] << 8) | text[4]));
    } catch (int code) {
        iCode = code;
    }
    if (bAbort && iCode == ToInt(Code::NoReply)) {
        static const uint8_t eot[2] = {DLE, EOT};
        m_pComm->iWrite(eot, sizeof eot);
    }
    return iReport(iCode, pRet);
}

// ------------------------------------------------------ auxiliary module

void OSerialReaderA::vProbeModule(tDevReturn* pRet) {
    if (usCap(kCapModule) == 2 || !m_pModule)
        return; // found absent once: never probed again
    uint8_t ident[128] = {};
    if (m_pModule->iInitModule(pRet, ident, sizeof ident) == 0) {
        usCap(kCapModule) = 1;
        usStatus(kStModule) = 1;
    } else if (pRet->iCode2 == ToInt(Code::BadAck)) {
        usCap(kCapModule) = 2;
        usStatus(kStModule) = 2;
    } else {
        usCap(kCapModule) = 1;
        usStatus(kStModule) =
            (pRet->iCode2 == ToInt(Code::ReplyN4A) && usStatus(kStState) == 3) ? 1 : 3;
    }
    char* pVersion = m_caps.acFirmware;
    const size_t len = strnlen(pVersion, sizeof m_caps.acFirmware - 1);
    if (len < 5)
        std::snprintf(pVersion + len, sizeof m_caps.acFirmware - len, "  + %.11s",
                      reinterpret_cast<const char*>(ident));
}

void OSerialReaderA::vReadModuleSensors(tIdcStatus* pStatus, tDevReturn* pRet) {
    if (usCap(kCapModule) != 1 || !m_pModule)
        return;
    uint32_t bits = 0;
    if (m_pModule->iGetModuleStatus(&bits, pRet) == 0) {
        pStatus->usField[kStModuleSensor1] = (bits & 1) ? 3 : 1;
        pStatus->usField[kStModuleSensor2] = (bits & 2) ? 2 : 1;
        pStatus->usField[kStModuleSensor4] = (bits & 4) ? 2 : 1;
    } else {
        usStatus(kStModule) = 3;
        pStatus->usField[kStModule] = 3;
    }
}

int OSerialReaderA::iModuleEntry(tDevReturn* pRet) {
    iCommand("C10", 20000, pRet);
    if (usStatus(kStModule) != 1 || pRet->iCode2 == ToInt(Code::CardInside) || !m_pModule)
        return iReport(ToInt(Code::Unavailable), pRet);
    uint32_t bits = 0;
    if (m_pModule->iGetModuleStatus(&bits, pRet) == 0) {
        if ((bits & 4) || s_bModuleEntryDone) {
            uint8_t ident[128] = {};
            m_pModule->iInitModule(pRet, ident, sizeof ident);
            iCommand("C01", 20000, pRet);
        }
        if (bits & 1) {
            usStatus(kStModule) = 3;
            return iReport(ToInt(Code::Unavailable), pRet);
        }
    }
    s_bModuleEntryDone = true;
    return m_pModule->iSetMode(1, pRet);
}
