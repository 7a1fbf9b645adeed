// OFamilyBReader: the operations of a family-B reader, written once against
// the command exchange. A transport supplies iExecCommand (framing,
// handshake, receiving) and SetCommPara; everything else - the commands,
// their time-outs, the reply-code map and the decoding of the replies into
// the caller's records - is the same whichever line the reader sits on.
#pragma once

#include <cstdint>

#include "readers/reader_base.h"

class OFamilyBReader : public OReaderBase {
public:
    static constexpr uint32_t kCommandMax = 1024; // longest command (chip I/O buffer)
    static constexpr uint32_t kReplyMax = 1024;   // receive buffer of one reply frame
    static constexpr uint32_t kReplyHeader = 5;   // kind, two echo characters, status

    explicit OFamilyBReader(OReaderComm* pComm);

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
    static int iMapReplyCode(uint8_t byKind, uint16_t usStatus);

protected:
    // One command to the reader and its reply. Sends uiCommandLen & 0xFFFF
    // command bytes, hands the reply data (payload from offset 5) to pData,
    // at most uiDataSize bytes, with their count in *pDataLen, stores the five
    // reply header bytes at the start of acReplyText and records the code of
    // the exchange through vReportResult. Returns 0 or 1.
    virtual int iExecCommand(const uint8_t* pCommand, uint32_t uiCommandLen, uint8_t* pData,
                             uint32_t uiDataSize, uint32_t* pDataLen, tDevReturn* pRet,
                             uint32_t uiTimeoutMs) = 0;

    // For the exchanges: takes a checked reply payload (at least five bytes),
    // copies its data bounded by uiDataSize, stores the header bytes in the
    // record and returns the mapped code.
    static int iTakeReply(const uint8_t* pPayload, uint32_t uiPayloadLen, uint8_t* pData,
                          uint32_t uiDataSize, uint32_t* pDataLen, tDevReturn* pRet);

private:
    template <uint32_t N> struct tReply {
        uint8_t abData[N];
        uint32_t uiLen;
    };
    using tSmallReply = tReply<256>;
    using tLargeReply = tReply<kReplyMax>;

    // A text command with a zero-filled reply buffer.
    template <uint32_t N>
    int iSend(const char* pText, tReply<N>& reply, tDevReturn* pRet, uint32_t uiTimeoutMs) {
        return iSendText(pText, reply.abData, N, &reply.uiLen, pRet, uiTimeoutMs);
    }
    int iSendText(const char* pText, uint8_t* pData, uint32_t uiDataSize, uint32_t* pDataLen,
                  tDevReturn* pRet, uint32_t uiTimeoutMs);
    // Three command characters followed by the APDU; BadArgument when it does not
    // fit the command buffer.
    int iSendApdu(const char* pPrefix, const uint8_t* pApdu, uint32_t uiApduLen, tLargeReply& reply,
                  tDevReturn* pRet);

    void vApplyConfig();
    int iApplyMode(const char* pKey, const char* pCmdMode0, const char* pCmdMode1,
                   uint16_t& usCapField);
    // Two decimal digits of "CC0" data; false (nothing changed) otherwise.
    bool bTakeRetainCounter(const uint8_t* pData, uint32_t* pCounter);

    int iActivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol, tDevReturn* pRet);
    int iReactivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol, tDevReturn* pRet);
    int iDeactivate(uint32_t* pProtocol, tDevReturn* pRet);
    // Follows "CI7" while the last reply asks for it, appending its data.
    int iContinueChipReply(uint8_t* pReply, uint32_t* pReplyLen, tDevReturn* pRet);
    static bool bAppendChipReply(const tLargeReply& reply, uint8_t* pReply, uint32_t* pReplyLen);
};
