// The serial line on Windows: a COM port opened exclusively, configured
// through its DCB, with reads timed by COMMTIMEOUTS so that each returns as
// soon as the first bytes are there, or after its time-out.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/serial_line.h"
#include "platform/win32_handle.h"

namespace quillon {

// "COM3" and "com12" become "\\.\COM3" and "\\.\com12" (the only spelling
// that reaches COM10 and above); a name already in the device namespace, or
// any other path, is used as given. Not static: the tests check the mapping.
std::string sWin32PortPath(const std::string& name) {
    if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
        (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm') &&
        name.find_first_not_of("0123456789", 3) == std::string::npos) {
        return "\\\\.\\" + name;
    }
    return name;
}

// Turns the settings into the DCB, keeping the fields it does not govern;
// false when a setting has no DCB equivalent. Not static: the tests check the
// mapping, since Wine's ports keep not every field.
bool bWin32LineDcb(const tLineSettings& settings, DCB& dcb) {
    BYTE parity;
    switch (settings.eParity) {
    case Parity::None:
        parity = NOPARITY;
        break;
    case Parity::Odd:
        parity = ODDPARITY;
        break;
    case Parity::Even:
        parity = EVENPARITY;
        break;
    default:
        return false;
    }
    const BYTE byDataBits = static_cast<BYTE>(settings.eDataBits);
    if (settings.uiBaud == 0 || byDataBits < 5 || byDataBits > 8 ||
        (settings.eStopBits != StopBits::One && settings.eStopBits != StopBits::Two)) {
        return false;
    }

    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.uiBaud;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.eParity != Parity::None ? TRUE : FALSE;
    dcb.ByteSize = byDataBits;
    dcb.Parity = parity;
    dcb.StopBits = settings.eStopBits == StopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
    // Output waits for neither CTS nor DSR, and no software flow control: RTS
    // handshake governs only what comes in.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = settings.bDtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fRtsControl = settings.bRtsHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    // Every byte arrives as sent: no error replacement, no null stripping,
    // and an error does not stop the port.
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return true;
}

// Read time-outs of the two kinds of read the line makes. 0: ReadFile
// hands over what is queued, up to the count, and returns at once. n > 0: a
// one-byte read waits at most n ms and returns as soon as the byte is there.
// (Windows' own mode for "the first bytes or the time-out", interval and
// multiplier at MAXDWORD, is not kept by Wine, which waits out the whole
// constant; these two behave alike on both.) Writes give up after two
// seconds plus a millisecond per byte (a line held off by flow control).
COMMTIMEOUTS tWin32ReadTimeouts(uint32_t uiWaitMs) {
    COMMTIMEOUTS t{};
    if (uiWaitMs == 0) {
        t.ReadIntervalTimeout = MAXDWORD;
    } else {
        t.ReadTotalTimeoutConstant = uiWaitMs;
    }
    t.WriteTotalTimeoutMultiplier = 1;
    t.WriteTotalTimeoutConstant = 2000;
    return t;
}

namespace {

// The errors a COM port reports once its device has gone (a USB adapter
// pulled out): the handle is dead and only a new open helps.
bool bDeviceGone(DWORD dwError) {
    switch (dwError) {
    case ERROR_OPERATION_ABORTED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
        return true;
    default:
        return false;
    }
}

// Result of a failed port call: kHungUp when the device has gone, else 1.
int iFailure() {
    return bDeviceGone(::GetLastError()) ? OSerialLine::kHungUp : 1;
}

DWORD dwChunk(size_t uiLen) {
    return uiLen > static_cast<size_t>(MAXDWORD) ? MAXDWORD : static_cast<DWORD>(uiLen);
}

class OWin32SerialLine : public OSerialLine {
public:
    OWin32SerialLine() = default;
    ~OWin32SerialLine() override { vClose(); }
    OWin32SerialLine(const OWin32SerialLine&) = delete;
    OWin32SerialLine& operator=(const OWin32SerialLine&) = delete;

    int iOpen(const tLineSettings& settings) override {
        vClose();

        const std::string path = sWin32PortPath(settings.sPort);
        if (path.empty() || path.find('\0') != std::string::npos) {
            return 1;
        }
        // Share mode 0: nobody else opens the port while it is ours.
        OWinHandle port;
        port.vReset(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!port.bValid()) {
            return 1;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        if (!::GetCommState(port.hGet(), &dcb) || !bWin32LineDcb(settings, dcb) ||
            !::SetCommState(port.hGet(), &dcb)) {
            return 1;
        }
        (void)::PurgeComm(port.hGet(), PURGE_RXCLEAR | PURGE_TXCLEAR);
        m_port.vReset(port.hRelease());
        m_bTimeoutsKnown = false;
        if (!bReadTimeouts(0)) {
            m_port.vReset();
            return 1;
        }
        return 0;
    }

    void vClose() override {
        m_uiAheadAt = m_uiAheadLen = 0;
        m_port.vReset();
    }

    int iWrite(const uint8_t* pData, size_t uiLen) override {
        if (!m_port.bValid() || (pData == nullptr && uiLen != 0)) {
            return 1;
        }
        size_t uiDone = 0;
        while (uiDone < uiLen) {
            DWORD dwWritten = 0;
            if (!::WriteFile(m_port.hGet(), pData + uiDone, dwChunk(uiLen - uiDone), &dwWritten,
                             nullptr)) {
                return iFailure();
            }
            if (dwWritten == 0) {
                return iCheckPresent() == 0 ? 1 : kHungUp; // the write time-out ran out
            }
            uiDone += dwWritten;
        }
        return 0;
    }

    // Takes what is queued; when nothing is, waits for the first byte and
    // then takes what came with it. The bytes are read ahead, as many as have
    // arrived (up to the read-ahead buffer), and handed out over the calls
    // that want them.
    int iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t uiTimeoutMs) override {
        uiGot = 0;
        if (!m_port.bValid() || pBuf == nullptr || uiWant == 0) {
            return 1;
        }
        if (m_uiAheadAt >= m_uiAheadLen) {
            const int iRc = iReadAhead(uiTimeoutMs);
            if (iRc != 0) {
                return iRc;
            }
        }
        const size_t uiTake = std::min(uiWant, m_uiAheadLen - m_uiAheadAt);
        std::memcpy(pBuf, m_abAhead + m_uiAheadAt, uiTake);
        m_uiAheadAt += uiTake;
        uiGot = uiTake;
        return 0;
    }

    int iSetModemLine(ModemLine eLine, bool bRaise) override {
        if (!m_port.bValid()) {
            return 1;
        }
        const DWORD dwFunc =
            eLine == ModemLine::Rts ? (bRaise ? SETRTS : CLRRTS) : (bRaise ? SETDTR : CLRDTR);
        return ::EscapeCommFunction(m_port.hGet(), dwFunc) ? 0 : iFailure();
    }

    void vPurgeInput() override {
        m_uiAheadAt = m_uiAheadLen = 0;
        if (m_port.bValid()) {
            (void)::PurgeComm(m_port.hGet(), PURGE_RXCLEAR);
        }
    }

private:
    // 0 while the port's device is there; kHungUp once it has gone. Also
    // clears a line error, which would otherwise stop further reads.
    int iCheckPresent() {
        DWORD dwErrors = 0;
        COMSTAT stat{};
        if (::ClearCommError(m_port.hGet(), &dwErrors, &stat)) {
            return 0;
        }
        return iFailure() == kHungUp ? kHungUp : 0;
    }

    // Fills the empty read-ahead: with what ClearCommError reports waiting,
    // in one ReadFile; when nothing is, waits for the first byte and takes
    // what came with it. 0 when at least one byte came.
    int iReadAhead(uint32_t uiTimeoutMs) {
        m_uiAheadAt = m_uiAheadLen = 0;
        DWORD dwErrors = 0;
        COMSTAT stat{};
        if (!::ClearCommError(m_port.hGet(), &dwErrors, &stat) && iFailure() == kHungUp) {
            return kHungUp;
        }
        DWORD dwRead = 0;
        if (stat.cbInQue > 0) {
            const DWORD dwAsk = std::min<DWORD>(stat.cbInQue, sizeof m_abAhead);
            if (!bReadTimeouts(0) ||
                !::ReadFile(m_port.hGet(), m_abAhead, dwAsk, &dwRead, nullptr)) {
                return iFailure();
            }
        }
        if (dwRead == 0) {
            if (uiTimeoutMs == 0) {
                return iCheckPresent() == 0 ? 1 : kHungUp;
            }
            if (!bReadTimeouts(uiTimeoutMs) ||
                !::ReadFile(m_port.hGet(), m_abAhead, 1, &dwRead, nullptr)) {
                return iFailure();
            }
            if (dwRead == 0) {
                // Nothing in time: a port whose device has gone says so here.
                return iCheckPresent() == 0 ? 1 : kHungUp;
            }
            // What came with the first byte, without waiting.
            DWORD dwMore = 0;
            if (bReadTimeouts(0) &&
                ::ReadFile(m_port.hGet(), m_abAhead + 1, sizeof m_abAhead - 1, &dwMore, nullptr)) {
                dwRead += dwMore;
            }
        }
        m_uiAheadLen = dwRead;
        return 0;
    }

    // Gives the port the read time-outs of tWin32ReadTimeouts(uiWaitMs)
    // unless it holds them already.
    bool bReadTimeouts(uint32_t uiWaitMs) {
        if (m_bTimeoutsKnown && m_uiWaitMs == uiWaitMs) {
            return true;
        }
        COMMTIMEOUTS timeouts = tWin32ReadTimeouts(uiWaitMs);
        m_bTimeoutsKnown = ::SetCommTimeouts(m_port.hGet(), &timeouts) != 0;
        m_uiWaitMs = uiWaitMs;
        return m_bTimeoutsKnown;
    }

    OWinHandle m_port;
    // Bytes read from the port and not yet handed out.
    uint8_t m_abAhead[1024];
    size_t m_uiAheadAt = 0;
    size_t m_uiAheadLen = 0;
    bool m_bTimeoutsKnown = false; // the port holds the time-outs of m_uiWaitMs
    uint32_t m_uiWaitMs = 0;
};

} // namespace

std::unique_ptr<OSerialLine> MakeSystemSerialLine() {
    return std::make_unique<OWin32SerialLine>();
}

} // namespace quillon
