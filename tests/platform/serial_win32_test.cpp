// The Win32 line: port names, the DCB and the read time-outs it derives from
// the settings, and a line that could not be opened. (Transfers over a real
// port need a serial device or an emulated one under Wine.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/dev_base.h"
#include "platform/serial_line.h"
#include "support/test_env.h"

// The line's own mappings.
std::string sWin32PortPath(const char* pField, size_t uiFieldSize);
bool bWin32LineDcb(const tCommCfg2& cfg, DCB& dcb);
COMMTIMEOUTS tWin32ReadTimeouts(uint32_t uiTimeoutMs);

namespace {

tCommCfg2 Cfg(uint32_t baud, uint8_t data, uint8_t parity, uint8_t stop) {
    tCommCfg2 cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.iKind = 1;
    cfg.uiBaudRate = baud;
    cfg.byDataBits = data;
    cfg.byParity = parity;
    cfg.byStopBits = stop;
    return cfg;
}

} // namespace

TEST(SerialWin32, PortPath) {
    struct Case {
        const char* field;
        const char* path;
    } const cases[] = {
        {"COM3", "\\\\.\\COM3"},
        {"com12", "\\\\.\\com12"},
        {"\\\\.\\COM3", "\\\\.\\COM3"},
        {"COM", "COM"},
        {"COM3x", "COM3x"},
        {"C:\\ports\\reader", "C:\\ports\\reader"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.path, sWin32PortPath(c.field, std::strlen(c.field) + 1)) << c.field;

    // A field filled to the end without a terminator is read to its end only.
    char field[6] = {'C', 'O', 'M', '4', '2', '7'};
    EXPECT_EQ("\\\\.\\COM4", sWin32PortPath(field, 4));
}

TEST(SerialWin32, SettingsBecomeTheDcb) {
    struct Case {
        uint32_t baud;
        uint8_t data, parity, stop;
        int cts, dsr, dtr, dsrSense, txCont, xonOut, xonIn, rts;
        BYTE parityOut, stopOut;
        DWORD dtrOut, rtsOut;
    } const cases[] = {
        {9600, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, NOPARITY, ONESTOPBIT, DTR_CONTROL_DISABLE,
         RTS_CONTROL_DISABLE},
        {9600, 8, 2, 0, 0, 0, 1, 0, 0, 0, 0, 2, EVENPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE,
         RTS_CONTROL_HANDSHAKE}, // the "Dtr=1" line control
        {19200, 7, 1, 2, 1, 1, 2, 1, 1, 0, 0, 1, ODDPARITY, TWOSTOPBITS, DTR_CONTROL_HANDSHAKE,
         RTS_CONTROL_ENABLE},
        {115200, 5, 0, 1, 0, 0, 0, 0, 0, 1, 1, 3, NOPARITY, ONE5STOPBITS, DTR_CONTROL_DISABLE,
         RTS_CONTROL_TOGGLE},
    };
    for (const Case& c : cases) {
        tCommCfg2 cfg = Cfg(c.baud, c.data, c.parity, c.stop);
        cfg.iCtsOutFlow = c.cts;
        cfg.iDsrOutFlow = c.dsr;
        cfg.iDtrControl = c.dtr;
        cfg.iDsrSensitivity = c.dsrSense;
        cfg.iTxContinueOnXoff = c.txCont;
        cfg.iXonXoffOut = c.xonOut;
        cfg.iXonXoffIn = c.xonIn;
        cfg.iRtsControl = c.rts;
        DCB dcb{};
        dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = TRUE; // as a port may come
        dcb.XonLim = 123;                                      // not governed: kept
        ASSERT_TRUE(bWin32LineDcb(cfg, dcb)) << c.baud;
        EXPECT_EQ(sizeof(DCB), dcb.DCBlength);
        EXPECT_EQ(c.baud, dcb.BaudRate);
        EXPECT_EQ(c.data, dcb.ByteSize);
        EXPECT_EQ(c.parityOut, dcb.Parity);
        EXPECT_EQ(c.parity != 0, dcb.fParity != 0);
        EXPECT_EQ(c.stopOut, dcb.StopBits);
        EXPECT_EQ(c.cts != 0, dcb.fOutxCtsFlow != 0);
        EXPECT_EQ(c.dsr != 0, dcb.fOutxDsrFlow != 0);
        EXPECT_EQ(c.dtrOut, dcb.fDtrControl);
        EXPECT_EQ(c.dsrSense != 0, dcb.fDsrSensitivity != 0);
        EXPECT_EQ(c.txCont != 0, dcb.fTXContinueOnXoff != 0);
        EXPECT_EQ(c.xonOut != 0, dcb.fOutX != 0);
        EXPECT_EQ(c.xonIn != 0, dcb.fInX != 0);
        EXPECT_EQ(c.rtsOut, dcb.fRtsControl);
        EXPECT_TRUE(dcb.fBinary);
        EXPECT_FALSE(dcb.fErrorChar || dcb.fNull || dcb.fAbortOnError);
        EXPECT_NE(dcb.XonChar, dcb.XoffChar);
        EXPECT_EQ(123, dcb.XonLim);
    }
}

TEST(SerialWin32, SettingsWithoutADcbEquivalentAreRefused) {
    struct Case {
        const char* what;
        uint32_t baud;
        uint8_t data, parity, stop;
        int dtr, rts;
    } const cases[] = {
        {"baud 0", 0, 8, 0, 0, 0, 0},         {"4 data bits", 9600, 4, 0, 0, 0, 0},
        {"9 data bits", 9600, 9, 0, 0, 0, 0}, {"parity 3", 9600, 8, 3, 0, 0, 0},
        {"stop bits 3", 9600, 8, 0, 3, 0, 0}, {"DTR 3", 9600, 8, 0, 0, 3, 0},
        {"RTS 4", 9600, 8, 0, 0, 0, 4},       {"RTS -1", 9600, 8, 0, 0, 0, -1},
    };
    for (const Case& c : cases) {
        tCommCfg2 cfg = Cfg(c.baud, c.data, c.parity, c.stop);
        cfg.iDtrControl = c.dtr;
        cfg.iRtsControl = c.rts;
        DCB dcb{};
        EXPECT_FALSE(bWin32LineDcb(cfg, dcb)) << c.what;
    }
}

TEST(SerialWin32, ReadTimeouts) {
    struct Case {
        uint32_t wait;
        DWORD interval, constant;
    } const cases[] = {
        {0, MAXDWORD, 0}, // only what is queued, at once
        {1, 0, 1},        // the first byte, or 1 ms
        {3000, 0, 3000},
        {MAXDWORD, 0, MAXDWORD},
    };
    for (const Case& c : cases) {
        const COMMTIMEOUTS t = tWin32ReadTimeouts(c.wait);
        EXPECT_EQ(c.interval, t.ReadIntervalTimeout) << c.wait;
        EXPECT_EQ(0u, t.ReadTotalTimeoutMultiplier) << c.wait;
        EXPECT_EQ(c.constant, t.ReadTotalTimeoutConstant) << c.wait;
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
    // No handle was left open on the file (the port is opened without sharing).
    HANDLE h = ::CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    ::CloseHandle(h);

    uint8_t buf[4] = {1, 2, 3, 4};
    size_t got = 7;
    EXPECT_NE(0, line->iWrite(buf, sizeof buf));
    EXPECT_NE(0, line->iRead(buf, sizeof buf, got, 10));
    EXPECT_EQ(0u, got);
    for (uint32_t func : {kLineSetRts, kLineClrRts, kLineSetDtr, kLineClrDtr})
        EXPECT_NE(0, line->iLineControl(func)) << func;
    line->vPurgeInput();
    line->vClose();
}
