#include "readers/family_a/aux_module.h"

#include <algorithm>
#include <cstring>

#include "infra/reader_comm.h"
#include "infra/result_codes.h"
#include "platform/clock.h"
#include "platform/system.h"

using namespace quillon;

namespace {
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ENQ = 0x05;
constexpr uint8_t ACK = 0x06;
constexpr uint32_t kAreaSize = 1024; // send and receive areas
constexpr uint32_t kAckTimeoutMs = 2000;
constexpr unsigned kDtrSettleMs = 5;

// Leaves the exchange with a code; its catch (int) records it.
[[noreturn]] void Raise(Code eCode) {
    throw ToInt(eCode);
}
} // namespace

void OAuxModule::vPackFrame(uint8_t* pBuf, uint32_t uiBufSize, uint32_t* pLen) {
    const uint32_t n = *pLen & 0xFFFF;
    if (n + 6 > uiBufSize) {
        *pLen = 0;
        return;
    }
    std::memmove(pBuf + 4, pBuf, n);
    const uint32_t len = n + 1; // address byte and text
    pBuf[0] = STX;
    pBuf[1] = static_cast<uint8_t>(len >> 8);
    pBuf[2] = static_cast<uint8_t>(len & 0xFF);
    pBuf[3] = kAddress;
    pBuf[4 + n] = ETX;
    uint8_t bcc = 0;
    for (uint32_t i = 0; i < 5 + n; ++i)
        bcc ^= pBuf[i];
    pBuf[5 + n] = bcc;
    *pLen = n + 6;
}

int OAuxModule::iUnpackFrame(uint8_t* pBuf, uint32_t uiCount, uint32_t* pTextLen) {
    const uint8_t* pStx = static_cast<const uint8_t*>(std::memchr(pBuf, STX, uiCount));
    if (!pStx)
        return 1;
    const uint32_t s = static_cast<uint32_t>(pStx - pBuf);
    if (uiCount - s < 6 || pBuf[s + 3] != kAddress)
        return 1;
    const uint32_t len = (static_cast<uint32_t>(pBuf[s + 1]) << 8) | pBuf[s + 2];
    if (len == 0)
        return 1;
    const uint32_t end = s + len + 3; // where ETX belongs
    if (end >= uiCount)
        return 1;
    if (pBuf[end] != ETX) {
        // Complete only if the byte after it is the check byte of all before.
        if (end + 1 >= uiCount)
            return 1;
        uint8_t bcc = 0;
        for (uint32_t i = s; i <= end; ++i)
            bcc ^= pBuf[i];
        if (pBuf[end + 1] != bcc)
            return 1;
    }
    // With ETX in place the check byte is neither waited for nor compared.
    std::memmove(pBuf, pBuf + s + 4, len - 1);
    *pTextLen = len - 1;
    return 0;
}

int OAuxModule::iMapReplyCode(const uint8_t* pText, uint32_t uiLen) {
    if (uiLen == 0 || (pText[0] != 'P' && pText[0] != 'N'))
        return ToInt(Code::BrokenFrame);
    if (pText[0] == 'P')
        return ToInt(Code::Ok);
    if (uiLen < 4)
        return ToInt(Code::UnknownReply);
    switch (pText[3]) {
    case 0x00:
        return ToInt(Code::NotSupported);
    case 0x01:
        return ToInt(Code::BadArgument);
    case 0x02:
        return ToInt(Code::Refused);
    case 0x03:
        return ToInt(Code::Unavailable);
    case 0x04:
        return ToInt(Code::ReplyN4A);
    case 0x80:
        return ToInt(Code::ReplyN61);
    case 0x81:
        return ToInt(Code::NoReply);
    default:
        return ToInt(Code::UnknownReply);
    }
}

int OAuxModule::iExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                             uint32_t* pReplyLen, uint32_t uiTimeoutMs, tDevReturn* pRet) {
    const uint32_t uiReplySize = (pReply && pReplyLen) ? *pReplyLen : 0;
    if (pReplyLen)
        *pReplyLen = 0;
    int iCode = ToInt(Code::Ok);
    try {
        m_pComm->iSetDtr(true);
        SleepMs(kDtrSettleMs);

        uint8_t send[kAreaSize] = {};
        uint32_t len = uiLen & 0xFFFF;
        if ((len && !pText) || len > sizeof send)
            Raise(Code::BadArgument);
        if (len)
            std::memcpy(send, pText, len);
        vPackFrame(send, sizeof send, &len);
        if (len == 0)
            Raise(Code::BadArgument);

        m_pComm->vDiscardInput(); // nothing left over from an earlier exchange
        if (m_pComm->iWrite(send, len) != 0)
            Raise(Code::CommFailed);

        // The two acknowledgement bytes may come in two pieces; together they
        // get 2000 ms, not 2000 ms each.
        uint8_t ack[2] = {};
        uint32_t got = 0;
        const uint64_t ackDeadline = NowMs() + kAckTimeoutMs;
        for (uint32_t waitMs = kAckTimeoutMs; got < 2 && waitMs > 0; waitMs = MsLeft(ackDeadline)) {
            uint32_t count = 2 - got;
            if (m_pComm->iRead(ack + got, count, waitMs) != 0 || !count)
                break;
            got += std::min<uint32_t>(count, 2 - got);
        }
        if (got == 0)
            Raise(Code::BadAck); // no answer: the module is taken to be absent
        if (got == 2 && ack[0] == ACK && ack[1] == kAddress) {
            static const uint8_t enq[2] = {ENQ, kAddress};
            if (m_pComm->iWrite(enq, 2) != 0)
                Raise(Code::CommFailed);
        }
        // Without the acknowledgement the reply is awaited all the same.

        // Each byte may take the caller's time-out, the whole frame not much more.
        OReaderComm::OFrame replyFrame(m_pComm, uiTimeoutMs, kAreaSize - 1);
        uint8_t recv[kAreaSize] = {};
        uint32_t count = 0;
        uint32_t textLen = 0;
        bool complete = false;
        while (!complete && count < kAreaSize - 1) {
            uint32_t one = 1;
            if (m_pComm->iRead(recv + count, one, m_pComm->uiFrameWaitMs(uiTimeoutMs)) != 0 ||
                one == 0)
                break;
            ++count;
            complete = iUnpackFrame(recv, count, &textLen) == 0;
        }
        if (complete) {
            const uint32_t n = std::min(textLen, uiReplySize);
            if (n)
                std::memcpy(pReply, recv, n);
            if (pReplyLen)
                *pReplyLen = n;
        }

        m_pComm->iSetDtr(false);
        SleepMs(kDtrSettleMs);
        // Bytes that never formed a frame are no reply, whatever they hold.
        iCode = complete ? iMapReplyCode(recv, textLen) : ToInt(Code::BrokenFrame);
    } catch (int code) {
        iCode = code; // DTR stays raised
    }
    m_pComm->vReportResult(&iCode, pRet);
    return iCode;
}

int OAuxModule::iInitModule(tDevReturn* pRet, uint8_t* pIdent, uint32_t uiIdentSize) {
    uint8_t reply[256] = {};
    uint32_t len = sizeof reply;
    const int r = iExecCommand(reinterpret_cast<const uint8_t*>("01"), 2, reply, &len, 5000, pRet);

    tDevReturn own;
    std::memset(&own, 0, sizeof own);
    uint8_t ident[256] = {};
    len = sizeof ident;
    iExecCommand(reinterpret_cast<const uint8_t*>("00"), 2, ident, &len, 5000, &own);
    if (pIdent)
        std::memcpy(pIdent, ident + 8, std::min(kIdentLen, uiIdentSize));
    return r;
}

int OAuxModule::iSetMode(int iMode, tDevReturn* pRet) {
    const char* pCmd = iMode == 1 ? "P1" : iMode == 2 ? "S0" : "P0";
    uint8_t reply[256] = {};
    uint32_t len = sizeof reply;
    return iExecCommand(reinterpret_cast<const uint8_t*>(pCmd), 2, reply, &len, 10000, pRet);
}

int OAuxModule::iGetModuleStatus(uint32_t* pBits, tDevReturn* pRet) {
    uint8_t t[256] = {};
    uint32_t len = sizeof t;
    const int r = iExecCommand(reinterpret_cast<const uint8_t*>("Q0"), 2, t, &len, 2000, pRet);
    if (r == 0 && pBits) {
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
