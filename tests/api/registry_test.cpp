#include <gtest/gtest.h>

#include "api/reader_registry.h"
#include "infra/reader_comm.h"
#include "readers/idc_driver.h"
#include "support/open_port.h"
#include "support/records.h"
#include "support/scripted_line.h"
#include "support/selection.h"
#include "support/test_env.h"

using namespace quillon;

namespace {
std::string Ini(const std::string& typeLine) {
    return "[CARDREADER]\nPort=/dev/scripted\n" +
           (typeLine.empty() ? std::string() : "[CardReaderType]\n" + typeLine + "\n");
}
} // namespace

// Types that are not probed on the serial line: written back, no exchange.
// Types 4 and up open no port, whether one is configured or not, and the
// trace file still opens.
TEST(Registry, UsbAndUnknownTypesAreNotProbed) {
    struct Row {
        int type;
        int driverType; // the driver made active (0: left as it was)
        bool port;      // a Port key configured
    } rows[] = {{4, 4, true}, {5, 4, false}, {6, 6, true}, {9, 0, true}, {0, 0, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        TestEnv env((row.port ? "[CARDREADER]\nPort=/dev/scripted\n" : "") +
                    std::string("[DllExtFunc]\nRemainDays=1\n[CardReaderType]\nCardReaderType=0x") +
                    std::to_string(row.type) + "\n");
        ScopedScriptedLine line;
        {
            OReaderRegistry reg;
            OIdcDriver* sentinel = reinterpret_cast<OIdcDriver*>(&reg);
            OIdcDriver* active = sentinel;
            EXPECT_EQ(row.type, Select(reg, active));
            EXPECT_TRUE(line->Writes().empty());
            EXPECT_EQ(row.type >= 4 ? 0 : 1, line->iOpenCount); // types 4 and up need no port
            EXPECT_EQ(row.driverType ? DriverOf(reg, row.driverType) : sentinel, active);
            // Written back: "0x9" becomes "9".
            EXPECT_NE(env.sReadConfig().find("CardReaderType=" + std::to_string(row.type) + "\n"),
                      std::string::npos);
        }
        EXPECT_TRUE(env.bExists("Vantrel/CARDREADER.log")); // opened with or without a port
    }
}

// The port is opened the way the configured family opens it: family C at
// 9600 baud without parity whatever speed is configured, the others at the
// configured speed with even parity.
TEST(Registry, ConfiguredFamilyOpensThePortItsWay) {
    struct Row {
        const char* typeLine;
        uint32_t baud;
        Parity parity;
    } rows[] = {{"CardReaderType=1", 19200, Parity::Even},
                {"", 19200, Parity::Even},
                {"CardReaderType=3", 9600, Parity::None},
                {"CardReaderType=-1", 19200, Parity::Even}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.typeLine);
        const std::string type(row.typeLine);
        TestEnv env("[CARDREADER]\nPort=/dev/scripted\nBaudRate=19200\n" +
                    (type.empty() ? type : "[CardReaderType]\n" + type + "\n"));
        ScopedScriptedLine line;
        OReaderRegistry reg;
        OIdcDriver* active = nullptr;
        Select(reg, active);
        ASSERT_EQ(1, line->iOpenCount);
        EXPECT_EQ(row.baud, line->lastSettings.uiBaud);
        EXPECT_TRUE(row.parity == line->lastSettings.eParity);
        EXPECT_TRUE(line->lastSettings.eDataBits == DataBits::Eight &&
                    line->lastSettings.eStopBits == StopBits::One);
    }
}

// A port that does not open, or fails under the probes, is no reader:
// whether it never opens, the line hung up before the selection or during
// the configured family's probe, or only refuses to send, nothing is written
// and no later family is taken for an answer. The configured family (family
// B without a type) stays active; its SetCommPara fails with 1223 while the
// device is away and opens the port again once it is back.
TEST(Registry, PortFailingUnderTheProbesWritesNothing) {
    struct Row {
        const char* name;
        const char* typeLine;
        void (*fault)(LineScript&);
        bool opens;  // the port opens before the fault
        bool closed; // the port is marked closed afterwards
    } rows[] = {
        {"never opens", "CardReaderType=1", [](LineScript& s) { s.bFailOpen = true; }, false, true},
        {"never opens, no type", "", [](LineScript& s) { s.bFailOpen = true; }, false, true},
        {"hung up before", "", [](LineScript& s) { s.vHangUp(); }, true, true},
        {"hung up during the probe", "",
         [](LineScript& s) {
             s.responder = [&s](const Bytes&) {
                 s.vHangUp();
                 return Bytes{};
             };
         },
         true, true},
        {"sending refused", "", [](LineScript& s) { s.bFailWrite = true; }, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestEnv env(Ini(row.typeLine));
        ScopedScriptedLine line;
        OReaderRegistry reg;
        if (row.opens) {
            ASSERT_EQ(0, OpenPort(*reg.pComm()));
        }
        const std::string before = env.sReadConfig();
        row.fault(*line);

        OIdcDriver* active = nullptr;
        const int type = *row.typeLine ? 1 : 2;
        EXPECT_EQ(type, Select(reg, active));
        EXPECT_EQ(before, env.sReadConfig());
        EXPECT_EQ(DriverOf(reg, type), active);
        EXPECT_EQ(row.closed, !reg.pComm()->bPortOpen());
        EXPECT_TRUE(row.opens || line->Writes().empty());
        tDevReturn r{};
        if (row.closed) {
            EXPECT_EQ(1, Into(active->SetCommPara(), r));
            EXPECT_EQ(std::vector<int>({1223, 0}), std::vector<int>({r.iCode2, r.iErrFlag2}));
        }
        line->responder = nullptr;
        line->bFailWrite = line->bFailOpen = false;
        line->vComeBack();
        const int opened = line->iOpenCount;
        r = tDevReturn{};
        EXPECT_EQ(0, Into(active->SetCommPara(), r));
        EXPECT_EQ(opened + (row.closed ? 1 : 0), line->iOpenCount);
    }
}
