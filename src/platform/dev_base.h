// ODevBase: the communication base every reader connection derives from.
// It owns the serial line and reaches the INI configuration store. Results
// are int, 0 = success.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/line_settings.h"
#include "quillon/idc.h"

namespace quillon {

class OSerialLine;

class ODevBase {
public:
    ODevBase();
    virtual ~ODevBase();
    ODevBase(const ODevBase&) = delete;
    ODevBase& operator=(const ODevBase&) = delete;

    // The configured line: [CARDREADER] Port and BaudRate (9600 when missing
    // or not positive), 8 data bits, no parity, one stop bit, modem lines
    // left alone. 1 when no port is configured.
    int iGetDefaultLineSettings(tLineSettings& settings);
    // Opens the line with these settings (closing an earlier one first).
    int iOpenLine(const tLineSettings& settings);
    void vCloseLine();
    // A line is open and has not hung up.
    bool bLineOpen() const { return m_line != nullptr; }

    // 0: all bytes sent (the line gives a held-off write a bounded time).
    int iWrite(const uint8_t* pData, uint32_t uiLen);
    // In: uiCount wanted; out: received (never more than wanted). 0 when at
    // least one byte arrived within uiTimeoutMs; non-zero when nothing did.
    // A time-out of 0 takes what has arrived without waiting.
    int iRead(uint8_t* pBuf, uint32_t& uiCount, uint32_t uiTimeoutMs);
    int iSetRts(bool bRaise);
    int iSetDtr(bool bRaise);
    // Discards received bytes nobody has read yet.
    int iPurgeInput();

    // 0: found and value set; 1: missing file, section, key or not an integer.
    int iGetIntValue(const char* pSection, const char* pKey, int& iValue);
    // 0: stored (atomically); 1: the file could not be written.
    int iSetIntValue(const char* pSection, const char* pKey, int32_t iValue);

    char acVersion[32];
    char acDevName[32];

protected:
    // Called once the line has hung up or failed with an I/O error; the line
    // is already closed, and every write or read fails until iOpenLine opens
    // it again.
    virtual void vOnLineLost() {}

private:
    // Closes a line that reported kHungUp and tells the derived class.
    int iLineResult(int iRc);
    int iSetModemLine(ModemLine eLine, bool bRaise);

    std::unique_ptr<OSerialLine> m_line;
};

} // namespace quillon
