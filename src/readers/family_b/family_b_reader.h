// OFamilyBReader: the operations of a family-B reader, written once against
// the command exchange. A transport supplies tExchange (framing, handshake,
// receiving) and SetCommPara; everything else - the commands, their
// time-outs and the decoding of the replies into the caller's records - is
// the same whichever line the reader sits on.
//
// An exchange hands back what it got (code, reply header, data count) and
// writes no record; each operation gathers the outcome of its commands in
// its tDriverResult and ends it once (tFinish).
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

    tDriverResult Init(int iMode) override;
    tDriverResult GetStatus(tIdcStatus* pStatus) override;
    tDriverResult AcceptCard(int iMode) override;
    tDriverResult ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                         uint32_t* pReplyLen) override;
    tDriverResult ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4) override;
    tDriverResult EjectCard() override;
    tDriverResult GetLifeInfo(tIdcLife* pLife) override;
    tDriverResult ReadTrack(tIdcTracks* pTracks) override;
    tDriverResult ResetCount(int iCounter) override;
    tDriverResult RetainCard(uint32_t* pRetainCount) override;
    tDriverResult ReleaseAntiFishing() override;
    tDriverResult WriteTrack(tIdcTracks* pTracks) override;

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
    virtual tCommandReply tExchange(const uint8_t* pCommand, uint32_t uiCommandLen, uint8_t* pData,
                                    uint32_t uiDataSize, uint32_t uiTimeoutMs) = 0;

protected:
    // What an operation's record will show gathers in a tDriverResult: the
    // code of its last command and the header of the last reply it took.
    using tSmallReply = tReplyBuf<256>;
    using tLargeReply = tReplyBuf<kReplyMax>;

    // A text command with a zero-filled reply buffer; the exchange's outcome
    // goes into out. True when the reader answered positively.
    template <uint32_t N>
    bool bSend(const char* pText, tReplyBuf<N>& reply, tDriverResult& out, uint32_t uiTimeoutMs) {
        return bSendBytes(reinterpret_cast<const uint8_t*>(pText),
                          static_cast<uint32_t>(std::strlen(pText)), reply, out, uiTimeoutMs);
    }
    template <uint32_t N>
    bool bSendBytes(const uint8_t* pCommand, uint32_t uiLen, tReplyBuf<N>& reply,
                    tDriverResult& out, uint32_t uiTimeoutMs) {
        std::memset(&reply, 0, sizeof reply);
        const tCommandReply got = tExchange(pCommand, uiLen, reply.abData, N, uiTimeoutMs);
        reply.uiLen = got.uiDataLen;
        out.vTake(got);
        return out.bOk();
    }

private:
    // An operation of one command: its outcome is the operation's.
    tDriverResult tSingleCommand(const char* pText, uint32_t uiTimeoutMs);

    // Initialisation
    void vApplyConfig();
    int iApplyMode(const char* pKey, const char* pCmdMode0, const char* pCmdMode1,
                   uint16_t& usCapField);
    // Two decimal digits of "CC0" data; false (nothing changed) otherwise.
    bool bTakeRetainCounter(const uint8_t* pData, uint32_t* pCounter);

    // Chip
    tDriverResult tActivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol);
    tDriverResult tReactivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol);
    tDriverResult tDeactivate(uint32_t* pProtocol);
    // Three command characters followed by the APDU (it fits the command buffer).
    bool bSendApdu(const char* pPrefix, const uint8_t* pApdu, uint32_t uiApduLen,
                   tLargeReply& reply, tDriverResult& out);
    // A T=1 command, whole ("CI4") or in blocks ("CI5", the last "CI6"). False
    // when a command failed, or the card refused a block (bRefused).
    bool bSendT1(const uint8_t* pCommand, uint32_t uiLen, tLargeReply& reply, tDriverResult& out,
                 bool& bRefused);
    // Follows "CI7" while the last reply asks for it, appending its data;
    // records the operation's outcome.
    tDriverResult tContinueChipReply(uint8_t* pReply, uint32_t* pReplyLen, tDriverResult& out);
    static bool bAppendChipReply(const tLargeReply& reply, uint8_t* pReply, uint32_t* pReplyLen);
};

} // namespace quillon
