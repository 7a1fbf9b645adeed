// OReaderComm: the one communication object, shared by the serial drivers
// and the auxiliary module. Opens the port from the configuration (and the
// trace file with it), takes exact byte counts with a time-out, and turns a
// library code into the fields of a tDevReturn.
#pragma once

#include <cstdint>

#include "platform/dev_base.h"

class OTraceLog;

class OReaderComm : public ODevBase {
public:
    static constexpr uint16_t kRecvCapacity = 1024; // header of 4 bytes included
    static constexpr uint32_t kMaxWanted = kRecvCapacity - 4;

    OReaderComm(OTraceLog* pTraceLog, const char* pDevSection);
    ~OReaderComm() override;

    // 0: the port is open (or a USB reader needs none). 1: 1223 recorded.
    int iOpenPort(tDevReturn* pRet);
    // In *pCount the number wanted (1..1020), out the number delivered.
    // 0 when at least one byte was delivered.
    int iReadReply(uint8_t* pDest, uint32_t* pCount, uint32_t uiTimeoutMs);
    // Fills the record with the code and its flag; leaves 0 or 1 in *pCode.
    void vReportResult(int* pCode, tDevReturn* pRet);
    // Drops every byte received and not yet taken, on the line and here.
    void vDiscardInput();

    bool bPortOpen() const { return m_iPortOpen != 0; }
    OTraceLog* pTraceLog() const { return m_pTraceLog; }

private:
    uint16_t uiHeld() const;
    void vSetHeld(uint16_t uiCount);

    uint8_t* m_pRecvBuf;
    OTraceLog* m_pTraceLog;
    int m_iPortOpen;
};
