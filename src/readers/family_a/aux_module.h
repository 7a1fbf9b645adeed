// OAuxModule: the auxiliary module that shares the family-A reader's serial
// line. Two-character commands travel in STX frames addressed to 'F' (0x46)
// with an ACK/ENQ handshake, while DTR is raised (the exchange family C uses
// too, stx_exchange.h, with the module's profile). The module keeps no state:
// whether it is present is recorded by the driver that owns it.
#pragma once

#include <cstdint>

#include "infra/result_codes.h"
#include "quillon/idc.h"

namespace quillon {

class OReaderComm;

class OAuxModule {
public:
    static constexpr uint8_t kAddress = 0x46;
    static constexpr uint32_t kIdentLen = 11;  // identification bytes of "00"
    static constexpr uint32_t kTextArea = 256; // reply text kept of one exchange

    // A reply as the exchange hands it back: kind 'P' or 'N', the command's
    // echo, then data (for 'N' the error byte).
    struct tReply {
        quillon::Code eCode;            // the exchange's failure, or the reply's code
        uint8_t abText[kTextArea] = {}; // the reply text of a whole frame, zeros behind it
        uint32_t uiLen = 0;
    };

    explicit OAuxModule(quillon::OReaderComm* pComm) : m_pComm(pComm) {}
    virtual ~OAuxModule() = default;
    OAuxModule(const OAuxModule&) = delete;
    OAuxModule& operator=(const OAuxModule&) = delete;

    // "01" (its outcome is the caller's record and the result), then "00",
    // whose outcome reaches neither; the 11 identification bytes of the "00"
    // reply go to pIdent (at most uiIdentSize bytes, no terminator added).
    int iInitModule(tDevReturn* pRet, uint8_t* pIdent, uint32_t uiIdentSize);
    // Mode 0 "P0", 1 "P1", 2 "S0", any other "P0".
    int iSetMode(int iMode, tDevReturn* pRet);
    // "Q0": bit 1 sensors 3 and 4 both '1'; bit 2 sensor 5 or 6 '0'; bit 4
    // sensor 7 '0'. The bits are left alone when the exchange fails.
    int iGetModuleStatus(uint32_t* pBits, tDevReturn* pRet);

    // One command and its reply; no record is written. A wrong
    // acknowledgement does not end it (no ENQ, the reply is awaited all the
    // same); a reply that never forms a frame is BrokenFrame.
    tReply tExecCommand(const char* pCommand, uint32_t uiTimeoutMs);

private:
    // The one place an operation writes the caller's record; returns 0 or 1.
    int iRecord(quillon::Code eCode, tDevReturn* pRet);

    quillon::OReaderComm* m_pComm;
};

} // namespace quillon
