// The Win32 line: port names, the DCB and read time-outs it derives from the
// settings, and a line that could not be opened.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dev_base.h"
#include "platform/serial_line.h"
#include "support/test_env.h"

std::string sWin32PortPath(const char* pField, size_t uiFieldSize);
bool bWin32LineDcb(const tCommCfg2& cfg, DCB& dcb);
COMMTIMEOUTS tWin32ReadTimeouts(uint32_t uiTimeoutMs);

namespace {

// The eight line-control fields in record order: CTS flow, DSR flow, DTR,
// DSR sensitivity, TX on XOFF, XON/XOFF out, XON/XOFF in, RTS.
using Lines = std::array<int32_t, 8>;

tCommCfg2 Cfg(uint32_t baud, uint8_t data, uint8_t parity, uint8_t stop, Lines lines = {}) {
    tCommCfg2 cfg{};
    cfg.iKind = 1;
    cfg.uiBaudRate = baud;
    cfg.byDataBits = data;
    cfg.byParity = parity;
    cfg.byStopBits = stop;
    std::memcpy(&cfg.iCtsOutFlow, lines.data(), sizeof lines);
    return cfg;
}

} // namespace

TEST(SerialWin32, PortPath) {
    const auto path = [](const char* field) { return sWin32PortPath(field, strlen(field) + 1); };
    EXPECT_EQ("\\\\.\\COM3", path("COM3"));
    EXPECT_EQ("\\\\.\\com12", path("com12"));
    EXPECT_EQ("\\\\.\\COM250", path("COM250"));
    EXPECT_EQ("\\\\.\\COM3", path("\\\\.\\COM3"));
    EXPECT_EQ("COM", path("COM"));
    EXPECT_EQ("COM3x", path("COM3x"));
    EXPECT_EQ("C:\\ports\\reader", path("C:\\ports\\reader"));
    EXPECT_EQ("", path(""));
    // A field filled to the end without a terminator is read to its end only.
    EXPECT_EQ("\\\\.\\COM4", sWin32PortPath("COM427", 4));
}

TEST(SerialWin32, SettingsBecomeTheDcb) {
    struct Case {
        tCommCfg2 cfg;
        BYTE parity, stop;
        DWORD dtr, rts;
    } const cases[] = {
        {Cfg(9600, 8, 0, 0), NOPARITY, ONESTOPBIT, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
        // Each flag column differs from every other, so no two can be mixed up.
        {Cfg(9600, 8, 2, 0, {1, 0, 1, 0, 1, 0, 1, 2}), EVENPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE,
         RTS_CONTROL_HANDSHAKE},
        {Cfg(19200, 7, 1, 2, {1, 1, 2, 1, 0, 0, 0, 1}), ODDPARITY, TWOSTOPBITS,
         DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE},
        {Cfg(115200, 5, 0, 1, {0, 0, 0, 1, 0, 1, 1, 3}), NOPARITY, ONE5STOPBITS,
         DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE},
    };
    for (const Case& c : cases) {
        const tCommCfg2& s = c.cfg;
        SCOPED_TRACE(s.uiBaudRate);
        DCB dcb{};
        dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = TRUE; // as a port may come
        dcb.XonLim = 123;                                      // not governed: kept
        ASSERT_TRUE(bWin32LineDcb(s, dcb));
        // Length, baud, size, parity (and its flag), stop bits, the line-control
        // fields in record order, then binary, error char, null, abort, XonLim.
        EXPECT_EQ(
            (std::vector<int64_t>{sizeof(DCB), s.uiBaudRate, s.byDataBits, c.parity,
                                  s.byParity != 0, c.stop, s.iCtsOutFlow, s.iDsrOutFlow, c.dtr,
                                  s.iDsrSensitivity, s.iTxContinueOnXoff, s.iXonXoffOut,
                                  s.iXonXoffIn, c.rts, 1, 0, 0, 0, 123}),
            (std::vector<int64_t>{dcb.DCBlength, dcb.BaudRate, dcb.ByteSize, dcb.Parity,
                                  dcb.fParity, dcb.StopBits, dcb.fOutxCtsFlow, dcb.fOutxDsrFlow,
                                  dcb.fDtrControl, dcb.fDsrSensitivity, dcb.fTXContinueOnXoff,
                                  dcb.fOutX, dcb.fInX, dcb.fRtsControl, dcb.fBinary, dcb.fErrorChar,
                                  dcb.fNull, dcb.fAbortOnError, dcb.XonLim}));
        EXPECT_NE(dcb.XonChar, dcb.XoffChar);
    }
}

TEST(SerialWin32, SettingsWithoutADcbEquivalentAreRefused) {
    int row = 0;
    for (const tCommCfg2& cfg :
         {Cfg(0, 8, 0, 0), Cfg(9600, 4, 0, 0), Cfg(9600, 9, 0, 0), Cfg(9600, 8, 3, 0),
          Cfg(9600, 8, 0, 3), Cfg(9600, 8, 0, 0, {0, 0, 3}),
          Cfg(9600, 8, 0, 0, {0, 0, 0, 0, 0, 0, 0, 4}),
          Cfg(9600, 8, 0, 0, {0, 0, 0, 0, 0, 0, 0, -1})}) {
        DCB dcb{};
        EXPECT_FALSE(bWin32LineDcb(cfg, dcb)) << "row " << row++;
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
        tCommCfg2 cfg = Cfg(9600, 8, 0, 0);
        std::snprintf(cfg.acPort, sizeof cfg.acPort, "%s", port);
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
    EXPECT_NE(0, line->iLineControl(kLineSetDtr));
}
