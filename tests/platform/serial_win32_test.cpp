// The Win32 line: port names, the DCB and read time-outs it derives from the
// settings, and a line that could not be opened.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/serial_line.h"
#include "support/test_env.h"

namespace quillon {
std::string sWin32PortPath(const std::string& name);
bool bWin32LineDcb(const tLineSettings& settings, DCB& dcb);
COMMTIMEOUTS tWin32ReadTimeouts(uint32_t uiTimeoutMs);
} // namespace quillon

using namespace quillon;

namespace {

tLineSettings Cfg(uint32_t baud, DataBits data, Parity parity, StopBits stop,
                  bool dtrAndRts = false) {
    tLineSettings s;
    s.uiBaud = baud;
    s.eDataBits = data;
    s.eParity = parity;
    s.eStopBits = stop;
    s.bDtrOn = s.bRtsHandshake = dtrAndRts;
    return s;
}

} // namespace

TEST(SerialWin32, PortPath) {
    EXPECT_EQ("\\\\.\\COM3", sWin32PortPath("COM3"));
    EXPECT_EQ("\\\\.\\com12", sWin32PortPath("com12"));
    EXPECT_EQ("\\\\.\\COM250", sWin32PortPath("COM250"));
    EXPECT_EQ("\\\\.\\COM3", sWin32PortPath("\\\\.\\COM3"));
    EXPECT_EQ("COM", sWin32PortPath("COM"));
    EXPECT_EQ("COM3x", sWin32PortPath("COM3x"));
    EXPECT_EQ("C:\\ports\\reader", sWin32PortPath("C:\\ports\\reader"));
    EXPECT_EQ("", sWin32PortPath(""));
}

TEST(SerialWin32, SettingsBecomeTheDcbOrAreRefused) {
    using D = DataBits;
    using P = Parity;
    using S = StopBits;
    struct Case {
        tLineSettings cfg;
        BYTE parity, stop;
        DWORD dtr, rts;
    } const cases[] = {
        {Cfg(9600, D::Eight, P::None, S::One), NOPARITY, ONESTOPBIT, DTR_CONTROL_DISABLE,
         RTS_CONTROL_DISABLE},
        {Cfg(9600, D::Eight, P::Even, S::One, true), EVENPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE,
         RTS_CONTROL_HANDSHAKE},
        {Cfg(19200, D::Seven, P::Odd, S::Two), ODDPARITY, TWOSTOPBITS, DTR_CONTROL_DISABLE,
         RTS_CONTROL_DISABLE},
        {Cfg(115200, D::Five, P::None, S::Two, true), NOPARITY, TWOSTOPBITS, DTR_CONTROL_ENABLE,
         RTS_CONTROL_HANDSHAKE},
    };
    for (const Case& c : cases) {
        const tLineSettings& s = c.cfg;
        SCOPED_TRACE(s.uiBaud);
        DCB dcb{};
        // As a port may come: every flag the settings do not ask for set.
        dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = TRUE;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = dcb.fInX = TRUE;
        dcb.XonLim = 123; // not governed: kept
        ASSERT_TRUE(bWin32LineDcb(s, dcb));
        // Length, baud, size, parity (and its flag), stop bits, DTR, RTS, then
        // the flags that must be off whatever the settings, binary, XonLim.
        EXPECT_EQ((std::vector<int64_t>{sizeof(DCB), s.uiBaud, static_cast<int64_t>(s.eDataBits),
                                        c.parity, s.eParity != P::None, c.stop, c.dtr, c.rts, 0, 0,
                                        0, 0, 0, 0, 0, 0, 0, 1, 123}),
                  (std::vector<int64_t>{dcb.DCBlength, dcb.BaudRate, dcb.ByteSize, dcb.Parity,
                                        dcb.fParity, dcb.StopBits, dcb.fDtrControl, dcb.fRtsControl,
                                        dcb.fOutxCtsFlow, dcb.fOutxDsrFlow, dcb.fDsrSensitivity,
                                        dcb.fTXContinueOnXoff, dcb.fOutX, dcb.fInX, dcb.fErrorChar,
                                        dcb.fNull, dcb.fAbortOnError, dcb.fBinary, dcb.XonLim}));
        EXPECT_NE(dcb.XonChar, dcb.XoffChar);
    }
    // Settings without a DCB equivalent are refused.
    for (const tLineSettings& cfg :
         {Cfg(0, D::Eight, P::None, S::One), Cfg(9600, static_cast<D>(4), P::None, S::One),
          Cfg(9600, static_cast<D>(9), P::None, S::One),
          Cfg(9600, D::Eight, static_cast<P>(3), S::One),
          Cfg(9600, D::Eight, P::None, static_cast<S>(3))}) {
        DCB dcb{};
        EXPECT_FALSE(bWin32LineDcb(cfg, dcb)) << cfg.uiBaud << " " << int(cfg.eDataBits) << " "
                                              << int(cfg.eParity) << " " << int(cfg.eStopBits);
    }
}

TEST(SerialWin32, ReadTimeouts) {
    // 0: only what is queued, at once; n: the first byte, or n ms.
    for (DWORD wait : {DWORD(0), DWORD(1), DWORD(3000), DWORD(MAXDWORD)}) {
        const COMMTIMEOUTS t = tWin32ReadTimeouts(wait);
        EXPECT_EQ(wait == 0 ? MAXDWORD : 0, t.ReadIntervalTimeout) << wait;
        EXPECT_EQ(0u, t.ReadTotalTimeoutMultiplier) << wait;
        EXPECT_EQ(wait, t.ReadTotalTimeoutConstant) << wait;
        EXPECT_NE(0u, t.WriteTotalTimeoutConstant) << "a held-off write must end";
    }
}

TEST(SerialWin32, ALineThatDidNotOpenRefusesEverythingAndKeepsNoHandle) {
    TestEnv env;
    // A plain file opens but is no serial port.
    const std::string file = env.dir() + "\\not-a-port";
    std::fclose(std::fopen(file.c_str(), "wb"));
    auto line = MakeSystemSerialLine();
    for (const char* port : {"COM250", "", file.c_str()}) {
        tLineSettings cfg = Cfg(9600, DataBits::Eight, Parity::None, StopBits::One);
        cfg.sPort = port;
        EXPECT_NE(0, line->iOpen(cfg)) << port;
    }
    // No handle was left on the file (the port is opened without sharing).
    HANDLE h = ::CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    ::CloseHandle(h);

    uint8_t buf[4] = {1, 2, 3, 4};
    size_t got = 7;
    EXPECT_NE(0, line->iWrite(buf, sizeof buf));
    EXPECT_NE(0, line->iRead(buf, sizeof buf, got, 10));
    EXPECT_EQ(0u, got);
    EXPECT_NE(0, line->iSetModemLine(ModemLine::Dtr, true));
}
