// OAuxModule: the auxiliary module that shares the family-A reader's serial
// line. Two-character commands travel in STX frames addressed to 'F' (0x46)
// with an ACK/ENQ handshake, while DTR is raised. The module keeps no state:
// whether it is present is recorded by the driver that owns it.
#pragma once

#include <cstdint>

#include "quillon/idc.h"

class OReaderComm;

class OAuxModule {
public:
    static constexpr uint8_t kAddress = 0x46;
    static constexpr uint32_t kIdentLen = 11; // identification bytes of "00"

    explicit OAuxModule(OReaderComm* pComm) : m_pComm(pComm) {}
    virtual ~OAuxModule() = default;
    OAuxModule(const OAuxModule&) = delete;
    OAuxModule& operator=(const OAuxModule&) = delete;

    // "01" with the caller's record (its result is the result), then "00"
    // with a record of its own; the 11 identification bytes of the "00"
    // reply go to pIdent (at most uiIdentSize bytes, no terminator added).
    int iInitModule(tDevReturn* pRet, uint8_t* pIdent, uint32_t uiIdentSize);
    // Mode 0 "P0", 1 "P1", 2 "S0", any other "P0".
    int iSetMode(int iMode, tDevReturn* pRet);
    // "Q0": bit 1 sensors 3 and 4 both '1'; bit 2 sensor 5 or 6 '0'; bit 4
    // sensor 7 '0'. The bits are left alone when the exchange fails.
    int iGetModuleStatus(uint32_t* pBits, tDevReturn* pRet);

    // One command and its reply. *pReplyLen: in the size of pReply, out the
    // reply text length. Returns 0 or 1; the code is recorded in pRet.
    int iExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply, uint32_t* pReplyLen,
                     uint32_t uiTimeoutMs, tDevReturn* pRet);

    // Replaces the text in pBuf (uiBufSize bytes) by its frame; *pLen in the
    // text length, out the frame length, 0 when the frame would not fit.
    static void vPackFrame(uint8_t* pBuf, uint32_t uiBufSize, uint32_t* pLen);
    // 0 once pBuf[0..uiCount) holds a complete frame: its reply text is then
    // moved to the start of pBuf and its length stored in *pTextLen.
    static int iUnpackFrame(uint8_t* pBuf, uint32_t uiCount, uint32_t* pTextLen);
    // Reply text to a library code.
    static int iMapReplyCode(const uint8_t* pText, uint32_t uiLen);

private:
    OReaderComm* m_pComm;
};
