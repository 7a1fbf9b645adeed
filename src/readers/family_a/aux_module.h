// OAuxModule: the auxiliary module that shares the family-A reader's serial
// line. Two-character commands travel in STX frames addressed to 'F' (0x46)
// with an ACK/ENQ handshake, while DTR is raised (the exchange family C uses
// too, stx_exchange.h, with the module's profile). The module keeps no state:
// whether it is present is recorded by the driver that owns it.
#pragma once

#include <cstdint>

#include "infra/result_codes.h"
#include "readers/driver_result.h"

namespace quillon {

class OReaderComm;

class OAuxModule {
public:
    static constexpr uint8_t kAddress = 0x46;
    static constexpr uint32_t kIdentLen = 11;  // identification bytes of "00"
    static constexpr uint32_t kTextArea = 256; // reply text kept of one exchange
    static constexpr uint32_t kDataAt = 3;     // behind the kind and the command's echo
    // The data of a reply, zeros behind it: for kind 'N' the error byte.
    using tData = tReplyBuf<kTextArea - kDataAt>;

    explicit OAuxModule(quillon::OReaderComm* pComm) : m_pComm(pComm) {}
    virtual ~OAuxModule() = default;
    OAuxModule(const OAuxModule&) = delete;
    OAuxModule& operator=(const OAuxModule&) = delete;

    // Each operation returns its code, which the communication object also
    // keeps as the last outcome (flags by the code's class).
    // "01" (its code is the operation's), then "00", whose code is not
    // looked at; the 11 identification bytes of the "00" reply go to pIdent
    // (at most uiIdentSize bytes, no terminator added).
    quillon::Code eInitModule(uint8_t* pIdent, uint32_t uiIdentSize);
    // Mode 0 "P0", 1 "P1", 2 "S0", any other "P0".
    quillon::Code eSetMode(int iMode);
    // "Q0": bit 1 sensors 3 and 4 both '1'; bit 2 sensor 5 or 6 '0'; bit 4
    // sensor 7 '0'. The bits are left alone when the exchange fails.
    quillon::Code eGetModuleStatus(uint32_t* pBits);

    // One command and its reply: the reply's data (of a whole frame) into
    // data. A wrong acknowledgement does not end it (no ENQ, the reply is
    // awaited all the same); a reply that never forms a frame is BrokenFrame.
    tCommandReply tExecCommand(const char* pCommand, uint32_t uiTimeoutMs, tData& data);

private:
    // An operation's code, kept as the last outcome.
    quillon::Code eRecord(quillon::Code eCode);

    quillon::OReaderComm* m_pComm;
};

} // namespace quillon
