#include "readers/family_b/serial_reader_b.h"

#include <cstring>

#include "infra/result_codes.h"
#include "readers/family_b/crc16_xmodem.h"

using quillon::Code;

namespace {
constexpr uint8_t kStart = 0xF2;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEot = 0x04;
constexpr uint32_t kAckTimeoutMs = 3000;
constexpr uint32_t kFrameHeader = 3; // start byte, length high, length low
constexpr uint32_t kCrcLen = 2;
} // namespace

OSerialReaderB::OSerialReaderB(OReaderComm* pComm) : OFamilyBReader(pComm) {}

int OSerialReaderB::iExecCommand(const uint8_t* pCommand, uint32_t uiCommandLen, uint8_t* pData,
                                 uint32_t uiDataSize, uint32_t* pDataLen, tDevReturn* pRet,
                                 uint32_t uiTimeoutMs) {
    int code = 0;
    if (pDataLen)
        *pDataLen = 0;
    try {
        const uint32_t n = uiCommandLen & 0xFFFF;
        if (n > kCommandMax || (!pCommand && n))
            throw ToInt(Code::BadArgument);
        uint8_t frame[kFrameHeader + kCommandMax + kCrcLen] = {};
        frame[0] = kStart;
        frame[1] = static_cast<uint8_t>(n >> 8);
        frame[2] = static_cast<uint8_t>(n);
        if (n)
            std::memcpy(frame + kFrameHeader, pCommand, n);
        const uint16_t crc = quillon::Crc16Xmodem(frame, kFrameHeader + n);
        frame[kFrameHeader + n] = static_cast<uint8_t>(crc >> 8);
        frame[kFrameHeader + n + 1] = static_cast<uint8_t>(crc);

        // Whatever is left from an earlier exchange is not this reply.
        m_pComm->vDiscardInput();
        if (m_pComm->iWrite(frame, n + kFrameHeader + kCrcLen) != 0)
            throw ToInt(Code::CommFailed);

        uint8_t ack = 0;
        uint32_t count = 1;
        if (m_pComm->iReadReply(&ack, &count, kAckTimeoutMs) != 0)
            throw ToInt(Code::NoReply);
        if (ack != kAck)
            throw ToInt(Code::BadAck); // NAK or anything else; not sent again

        // Each wait may take the caller's time-out, the whole frame not much more.
        OReaderComm::OFrame replyFrame(m_pComm, uiTimeoutMs, kReplyMax);
        uint8_t reply[kReplyMax] = {};
        count = kFrameHeader;
        // A header cut short reads as zeros: its length decides what follows
        // (too short a frame is refused; a missing body is a missing reply).
        if (m_pComm->iReadReply(reply, &count, uiTimeoutMs) != 0 ||
            (count < kFrameHeader && m_pComm->bFrameLate()))
            throw ToInt(Code::NoReply);
        const uint32_t announced = (static_cast<uint32_t>(reply[1]) << 8) | reply[2];
        if (announced < kReplyHeader || announced + kCrcLen > kReplyMax - kFrameHeader)
            throw ToInt(Code::BrokenFrame); // nothing of it is taken

        // Payload and CRC, in pieces the receive buffer can hand over.
        const uint32_t wanted = announced + kCrcLen;
        uint32_t got = 0;
        while (got < wanted) {
            uint32_t piece = wanted - got;
            if (piece > OReaderComm::kMaxWanted)
                piece = OReaderComm::kMaxWanted;
            const uint32_t asked = piece;
            if (m_pComm->iReadReply(reply + kFrameHeader + got, &piece, uiTimeoutMs) != 0)
                break;
            got += piece;
            if (piece < asked)
                break;
        }
        if (got == 0 || (got < wanted && m_pComm->bFrameLate()))
            throw ToInt(Code::NoReply); // nothing, or not all of it within the frame's time

        // Checked over what actually arrived.
        const uint32_t received = kFrameHeader + got;
        const uint16_t sent =
            static_cast<uint16_t>((reply[received - 2] << 8) | reply[received - 1]);
        if (reply[0] != kStart || quillon::Crc16Xmodem(reply, received - kCrcLen) != sent ||
            got < kReplyHeader + kCrcLen)
            throw ToInt(Code::BrokenFrame);

        code = iTakeReply(reply + kFrameHeader, got - kCrcLen, pData, uiDataSize, pDataLen, pRet);
        const uint8_t ackOut = kAck;
        m_pComm->iWrite(&ackOut, 1);
    } catch (int thrown) {
        code = thrown;
        if (code == ToInt(Code::NoReply)) {
            // Cancel whatever the reader still means to send.
            const uint8_t cancel[2] = {kDle, kEot};
            m_pComm->iWrite(cancel, 2);
        }
    }
    return iReport(code, pRet);
}
