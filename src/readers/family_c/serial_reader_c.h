// OSerialReaderC: family C over the serial line (CardReaderType 3). Two-digit
// ASCII commands in STX-length frames with an exclusive-or check byte, DTR
// raised around each exchange.
#pragma once

#include <cstdint>

#include "readers/reader_base.h"

class OSerialReaderC : public OSerialReaderBase {
public:
    // Frame bytes around the command text: STX, two length bytes, ETX, BCC.
    static constexpr uint32_t kFrameOverhead = 5;
    // Send and receive areas of one exchange.
    static constexpr uint32_t kAreaSize = 1024;

    explicit OSerialReaderC(OReaderComm* pComm);

    // Opens the port at 9600 baud, 8 data bits, no parity, one stop bit,
    // whatever speed the configuration gives.
    int SetCommPara(tDevReturn* pRet) override;

    int Init(int iMode, tDevReturn* pRet) override;
    int GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) override;
    int AcceptCard(int iMode, tDevReturn* pRet) override;
    // The chip type recorded by ChipPower picks the command form; the
    // selector is not used.
    int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
               uint32_t* pReplyLen, tDevReturn* pRet) override;
    // Actions 1 and 2 power on: uArg2 = answer-to-reset buffer (out), uArg3 =
    // its length (uint32_t*, out), pArg4 = chip type (uint32_t*, out).
    // Action 3 powers off and sets the chip type to 255.
    int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                  tDevReturn* pRet) override;
    int EjectCard(tDevReturn* pRet) override;
    int ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;
    int RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) override;
    // Not supported by this family: NotSupported with flags 0, result 1, nothing sent.
    int GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) override;
    int ResetCount(int iCounter, tDevReturn* pRet) override;
    int WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;
    int ReleaseAntiFishing(tDevReturn* pRet) override;

    // One command exchange: frames the text, sends it, waits for ACK, asks for
    // the reply with ENQ and receives the whole reply frame (STX .. BCC) into
    // pReply. *pReplyLen: in the capacity of pReply, out the number of frame
    // bytes placed there (the frame length unless the buffer is smaller).
    // The code goes to *pRet through the communication object; returns 0 or 1.
    int iExecCommand(const uint8_t* pText, uint32_t uiTextLen, uint8_t* pReply, uint32_t* pReplyLen,
                     tDevReturn* pRet, uint32_t uiTimeoutMs);

    // Replaces the text (of *pLen bytes) by its frame; *pLen becomes n + 5.
    // pBuf must hold *pLen + kFrameOverhead bytes.
    static void vPackFrame(uint8_t* pBuf, uint32_t* pLen);
    // 0 when the last byte is the exclusive-or of all bytes before it, else BrokenFrame.
    static int iCheckFrame(const uint8_t* pFrame, uint32_t uiLen);
    // Library code of a received reply frame.
    static int iMapReplyCode(const uint8_t* pFrame, uint32_t uiLen);

private:
    int iNotSupported(tDevReturn* pRet) {
        return iSetRecord(pRet, ToInt(quillon::Code::NotSupported), 0, 1);
    }
    // Sends a two-character command (no parameters).
    int iSend(const char* pCommand, uint8_t* pReply, uint32_t* pReplyLen, tDevReturn* pRet,
              uint32_t uiTimeoutMs);
    // Status refresh into the driver's own record.
    void vRefreshStatus(tDevReturn* pRet) { GetStatus(&m_status, pRet); }
    // The status refresh that ends an operation whose result is iResult and
    // whose own outcome is `outcome`: the refreshed code reaches *pRet only
    // when it is of the same class as the result; otherwise the operation's
    // outcome stays the caller's and the communication object's last result.
    // Returns iResult.
    int iRefreshAfter(int iResult, const tDevReturn& outcome, tDevReturn* pRet);
    int iRefreshAfter(int iResult, tDevReturn* pRet) {
        const tDevReturn outcome = *pRet;
        return iRefreshAfter(iResult, outcome, pRet);
    }
    // Code and flag fields only: the reply text area stays the caller's.
    static void vCopyOutcome(tDevReturn* pRet, const tDevReturn& from) {
        pRet->iCode1 = from.iCode1;
        pRet->iCode2 = from.iCode2;
        pRet->iErrFlag1 = from.iErrFlag1;
        pRet->iErrFlag2 = from.iErrFlag2;
    }
    void vChipOff() {
        m_status.usField[kStChipPower] = 2;
        m_status.usField[kStChipType] = 255;
    }
};
