// The serial line behind ODevBase: one small interface, one backend per OS,
// and a scripted stand-in for tests. The factory is internal to the library
// (never exported): tests replace it to put a scripted line under the whole
// stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/line_settings.h"
#include "platform/replaceable_factory.h"

namespace quillon {

class OSerialLine {
public:
    // Returned by iWrite, iRead and iSetModemLine when the device has gone
    // (an unplugged USB adapter, a hung-up terminal): the connection is dead
    // for good and only a new iOpen can bring the port back.
    static constexpr int kHungUp = 2;

    virtual ~OSerialLine() = default;
    // 0: opened with these settings.
    virtual int iOpen(const tLineSettings& settings) = 0;
    virtual void vClose() = 0;
    // 0: all bytes written; kHungUp: the device has gone.
    virtual int iWrite(const uint8_t* pData, size_t uiLen) = 0;
    // Waits at most uiTimeoutMs for the first byte and returns what has
    // arrived, up to uiWant. 0 with uiGot >= 1, or non-zero with uiGot 0
    // (kHungUp when the device has gone; bytes that came before are still
    // delivered first). A time-out of 0 takes what is there without waiting.
    // A line may read ahead: what arrived beyond uiWant is kept for the next
    // read, and vPurgeInput drops it with the rest of the stale input.
    virtual int iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t uiTimeoutMs) = 0;
    // Raises or clears RTS or DTR. 0: done; kHungUp: the device has gone.
    virtual int iSetModemLine(ModemLine eLine, bool bRaise) = 0;
    // Drops received bytes not yet read.
    virtual void vPurgeInput() = 0;
};

// The operating system's line (termios or Win32).
std::unique_ptr<OSerialLine> MakeSystemSerialLine();

// Makes the line for every new connection: OSerialLineFactory::pMake().
// Tests put a scripted line in with fnReplace; an empty maker restores the
// system line.
using OSerialLineFactory = OReplaceableFactory<OSerialLine, &MakeSystemSerialLine>;
using SerialLineFactory = OSerialLineFactory::Maker;

} // namespace quillon
