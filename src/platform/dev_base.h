// ODevBase: the communication base every reader connection derives from.
// It owns the serial line, the INI configuration store and the last
// recorded outcome. Results are int, 0 = success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "quillon/idc.h"

#pragma pack(push, 1)
// Connection settings (384 bytes). Offsets are fixed; multi-byte values are
// little-endian and some are unaligned on purpose.
struct tCommCfg2 {
    int32_t iKind;             // 0: connection kind, 1 = RS-232 serial line
    int32_t iReserved4;        // 4
    uint32_t uiBaudRate;       // 8: bits per second
    int32_t iReserved12;       // 12
    // 16..44: line-control fields, used when non-zero (DTR line control).
    int32_t iCtsOutFlow;       // 16: 1 = output waits for CTS
    int32_t iDsrOutFlow;       // 20: 1 = output waits for DSR
    int32_t iDtrControl;       // 24: 0 DTR low, 1 DTR raised while open, 2 handshake
    int32_t iDsrSensitivity;   // 28: 1 = ignore input while DSR is low
    int32_t iTxContinueOnXoff; // 32
    int32_t iXonXoffOut;       // 36: 1 = software flow control on output
    int32_t iXonXoffIn;        // 40: 1 = software flow control on input
    int32_t iRtsControl;       // 44: 0 RTS low, 1 raised, 2 handshake (hardware flow)
    int32_t iReserved48;       // 48
    uint8_t byDataBits;        // 52: 5..8
    uint8_t byParity;          // 53: 0 none, 1 odd, 2 even
    uint8_t byStopBits;        // 54: 0 one, 2 two
    uint8_t abReserved55[2];   // 55
    uint32_t uiReadIntervalMs; // 57: longest gap between two received bytes
    uint32_t uiReadPerByteMs;  // 61: read time-out per byte wanted
    uint32_t uiReadConstMs;    // 65: read time-out added once
    uint32_t uiWritePerByteMs; // 69: write time-out per byte
    uint32_t uiWriteConstMs;   // 73: write time-out added once
    uint8_t abReserved77[51];  // 77
    char acPort[128];          // 128: port name, "/dev/ttyUSB0" or "COM3"
    uint8_t abReserved256[128];
};
#pragma pack(pop)
static_assert(sizeof(tCommCfg2) == 384, "tCommCfg2 is 384 bytes");
static_assert(offsetof(tCommCfg2, uiBaudRate) == 8, "baud rate at 8");
static_assert(offsetof(tCommCfg2, iCtsOutFlow) == 16, "line control at 16");
static_assert(offsetof(tCommCfg2, iRtsControl) == 44, "RTS control at 44");
static_assert(offsetof(tCommCfg2, byDataBits) == 52, "data bits at 52");
static_assert(offsetof(tCommCfg2, byParity) == 53, "parity at 53");
static_assert(offsetof(tCommCfg2, byStopBits) == 54, "stop bits at 54");
static_assert(offsetof(tCommCfg2, uiReadIntervalMs) == 57, "time-outs at 57");
static_assert(offsetof(tCommCfg2, uiWriteConstMs) == 73, "write constant at 73");
static_assert(offsetof(tCommCfg2, acPort) == 128, "port name at 128");

enum : uint32_t {
    kLineSetRts = 3, // raise RTS
    kLineClrRts = 4, // clear RTS
    kLineSetDtr = 5, // raise DTR
    kLineClrDtr = 6, // clear DTR
};

class OSerialLine;

class ODevBase {
public:
    ODevBase();
    virtual ~ODevBase();
    ODevBase(const ODevBase&) = delete;
    ODevBase& operator=(const ODevBase&) = delete;

    // 0: device ready (a port is configured, or a USB reader that needs none).
    virtual int iPreInitDev();
    // Fills kind 1, [CARDREADER] Port and BaudRate, 8 data bits, no parity, one stop bit.
    // A USB reader's record may carry no port name; opening a line then fails.
    virtual int iGetDefaultCommConfig2(tCommCfg2& cfg);
    // Opens the line with these settings (closing an earlier one first).
    virtual int iInitComm2(tCommCfg2 cfg, bool bOverlapped);
    // Line function: 3 raise RTS, 4 clear RTS, 5 raise DTR, 6 clear DTR.
    virtual int iExtendCommFunc(uint32_t uiFunc);
    virtual int iCloseComm2();
    // 0: all bytes sent.
    virtual int iSendCommand2(const uint8_t* pData, uint32_t uiLen, short sRetries, bool b1,
                              bool b2);
    // In: *pCount wanted; out: received. 0 when at least one byte arrived
    // within uiTimeoutMs; non-zero when nothing arrived. A time-out of 0
    // takes what has arrived without waiting.
    virtual int iWaitResult2(uint8_t* pBuf, uint32_t& uiCount, uint32_t uiTimeoutMs, short s,
                             bool b);
    // Discards received bytes nobody has read yet.
    virtual int iPurgeInput();

    virtual void vSetErrorFlag(int iReset);
    virtual void vSetErrorFlag(tDevReturn tRet);
    virtual tDevReturn tGetErrorFlag();

    // 0: found and value set; 1: missing file, section, key or not an integer.
    virtual int iGetIntValue(const char* pSection, const char* pKey, int& iValue);
    // 0: stored (atomically); 1: the file could not be written.
    virtual int iSetIntValue(const char* pSection, const char* pKey, int32_t iValue);

    char acVersion[32];
    char acName2[32];
    char acDevName[32];

    // A line is open and has not hung up.
    bool bLineOpen() const { return m_line != nullptr; }

protected:
    // Called once the line has hung up or failed with an I/O error; the line
    // is already closed, and every send or wait fails until iInitComm2 opens
    // it again.
    virtual void vOnLineLost() {}

private:
    // Closes a line that reported kHungUp and tells the derived class.
    int iLineResult(int iRc);

    std::unique_ptr<OSerialLine> m_line;
    tDevReturn m_lastOutcome;
};
