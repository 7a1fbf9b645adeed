// OSerialReaderA: family A over the serial line (CardReaderType 1). Supplies
// the DLE-framed exchange with its ACK/ENQ handshake, and owns the auxiliary
// module that shares the line.
#pragma once

#include <memory>

#include "readers/family_a/aux_module.h"
#include "readers/family_a/family_a_reader.h"

class OSerialReaderA : public OFamilyAReader {
public:
    static constexpr uint32_t kSendSize = 512;  // a framed command must fit
    static constexpr uint32_t kRecvSize = 1024; // a whole reply frame must fit

    explicit OSerialReaderA(OReaderComm* pComm);
    ~OSerialReaderA() override;

    int SetCommPara(tDevReturn* pRet) override { return m_pComm->iOpenPort(pRet); }

    // DLE STX text DLE ETX BCC: a refused frame is sent again, three times in
    // all (BadArgument); no acknowledgement within 3000 ms ends it at once (NoAck); a
    // reply byte missing, a reply not whole by the frame's deadline (the
    // time-out plus the wire time of 1024 bytes plus a second), a reply that
    // would not fit the receive buffer or the caller's, or one shorter than
    // its header ends it with NoReply and DLE EOT. A frame longer than 512
    // bytes is refused (BadArgument), unsent.
    int iExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply, uint32_t* pReplyLen,
                     tDevReturn* pRet, uint32_t uiTimeoutMs) override;

    // Replaces the text in pBuf (uiBufSize bytes) by its frame, every DLE of
    // the text doubled; *pLen in the text length, out the frame length, or 0
    // when the frame would not fit.
    static void vPackFrame(uint8_t* pBuf, uint32_t uiBufSize, uint32_t* pLen);
    // 0 when pFrame[0..uiLen) is a well-formed frame with the right BCC.
    static int iCheckFrame(const uint8_t* pFrame, uint32_t uiLen);

    // The auxiliary-module entry flag: one for the whole process, clear at
    // load, set by the first card entry through the module (AcceptCard mode
    // 6); from then on every entry through the module re-initialises it first.
    static bool bModuleEntryDone() { return s_bModuleEntryDone; }

protected:
    void vProbeModule(tDevReturn* pRet) override;
    void vReadModuleSensors(tIdcStatus* pStatus, tDevReturn* pRet) override;
    int iModuleEntry(tDevReturn* pRet) override;

private:
    std::unique_ptr<OAuxModule> m_pModule;
    static bool s_bModuleEntryDone;
};
