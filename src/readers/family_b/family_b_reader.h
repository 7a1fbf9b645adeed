// OFamilyBReader: the operations of a family-B reader, written once against
// the command exchange. A transport supplies tExchange (framing, handshake,
// receiving) and SetCommPara; everything else - the commands, their
// time-outs and the decoding of the replies into the caller's records - is
// the same whichever line the reader sits on.
//
// An exchange hands back what it got (code, reply header, data count) and
// writes no record; each operation gathers the outcome of its commands and
// writes the caller's record once, at its end (iFinish).
//
// family_b_reader.cpp: sending, Init, status, card moves, counters;
// family_b_tracks.cpp: the magnetic tracks; family_b_chip.cpp: the chip.
#pragma once

#include <cstdint>
#include <cstring>

#include "readers/family_b/b_codec.h"
#include "readers/reader_base.h"

namespace quillon {

class OFamilyBReader : public OReaderBase {
public:
    static constexpr uint32_t kCommandMax = quillon::famb::kCommandMax;
    static constexpr uint32_t kReplyMax = quillon::famb::kReplyMax;
    static constexpr uint32_t kReplyHeader = quillon::famb::kReplyHeader;

    explicit OFamilyBReader(quillon::OReaderComm* pComm);

    int Init(int iMode, tDevReturn* pRet) override;
    int GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) override;
    int AcceptCard(int iMode, tDevReturn* pRet) override;
    int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
               uint32_t* pReplyLen, tDevReturn* pRet) override;
    int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                  tDevReturn* pRet) override;
    int EjectCard(tDevReturn* pRet) override;
    int GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) override;
    int ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;
    int ResetCount(int iCounter, tDevReturn* pRet) override;
    int RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) override;
    int ReleaseAntiFishing(tDevReturn* pRet) override;
    int WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;

    // Reply kind and the two status characters (first in the high byte) to a
    // library code.
    static int iMapReplyCode(uint8_t byKind, uint16_t usStatus) {
        return ToInt(quillon::famb::MapReply(byKind, usStatus));
    }

    // One command to the reader and its reply. Sends uiCommandLen & 0xFFFF
    // command bytes and hands the reply data (payload from offset 5 on, at
    // most uiDataSize bytes) to pData. Returns the code of the exchange, the
    // reply header once a reply was taken and the count of data handed over;
    // writes no record.
    virtual quillon::famb::tReply tExchange(const uint8_t* pCommand, uint32_t uiCommandLen,
                                            uint8_t* pData, uint32_t uiDataSize,
                                            uint32_t uiTimeoutMs) = 0;

protected:
    // What an operation leaves in the caller's record: the code of its last
    // command and the header of the last reply it took.
    struct tOutcome {
        quillon::Code eCode = quillon::Code::Ok;
        uint8_t abHeader[kReplyHeader] = {};
        uint32_t uiHeaderLen = 0;

        bool bOk() const { return quillon::IsSuccess(eCode); }
        void vTake(const quillon::famb::tReply& reply) {
            eCode = reply.eCode;
            if (reply.uiHeaderLen) {
                std::memcpy(abHeader, reply.abHeader, sizeof abHeader);
                uiHeaderLen = reply.uiHeaderLen;
            }
        }
    };
    // Writes the outcome into the caller's record; returns 0 or 1 by its code.
    using OReaderBase::iFinish;
    int iFinish(const tOutcome& out, tDevReturn* pRet) {
        vPutReplyText(pRet, out.abHeader, out.uiHeaderLen);
        return iFinish(out.eCode, pRet);
    }

    template <uint32_t N> struct tReplyBuf {
        uint8_t abData[N];
        uint32_t uiLen;
    };
    using tSmallReply = tReplyBuf<256>;
    using tLargeReply = tReplyBuf<kReplyMax>;

    // A text command with a zero-filled reply buffer; the exchange's outcome
    // goes into out. True when the reader answered positively.
    template <uint32_t N>
    bool bSend(const char* pText, tReplyBuf<N>& reply, tOutcome& out, uint32_t uiTimeoutMs) {
        return bSendBytes(reinterpret_cast<const uint8_t*>(pText),
                          static_cast<uint32_t>(std::strlen(pText)), reply, out, uiTimeoutMs);
    }
    template <uint32_t N>
    bool bSendBytes(const uint8_t* pCommand, uint32_t uiLen, tReplyBuf<N>& reply, tOutcome& out,
                    uint32_t uiTimeoutMs) {
        std::memset(&reply, 0, sizeof reply);
        const quillon::famb::tReply got = tExchange(pCommand, uiLen, reply.abData, N, uiTimeoutMs);
        reply.uiLen = got.uiDataLen;
        out.vTake(got);
        return out.bOk();
    }

private:
    // An operation of one command: its outcome is the operation's.
    int iSingleCommand(const char* pText, uint32_t uiTimeoutMs, tDevReturn* pRet);

    // Initialisation
    void vApplyConfig();
    int iApplyMode(const char* pKey, const char* pCmdMode0, const char* pCmdMode1,
                   uint16_t& usCapField);
    // Two decimal digits of "CC0" data; false (nothing changed) otherwise.
    bool bTakeRetainCounter(const uint8_t* pData, uint32_t* pCounter);

    // Chip
    int iActivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol, tDevReturn* pRet);
    int iReactivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol, tDevReturn* pRet);
    int iDeactivate(uint32_t* pProtocol, tDevReturn* pRet);
    // Three command characters followed by the APDU (it fits the command buffer).
    bool bSendApdu(const char* pPrefix, const uint8_t* pApdu, uint32_t uiApduLen,
                   tLargeReply& reply, tOutcome& out);
    // Follows "CI7" while the last reply asks for it, appending its data;
    // records the operation's outcome.
    int iContinueChipReply(uint8_t* pReply, uint32_t* pReplyLen, tOutcome& out, tDevReturn* pRet);
    static bool bAppendChipReply(const tLargeReply& reply, uint8_t* pReply, uint32_t* pReplyLen);
};

} // namespace quillon
