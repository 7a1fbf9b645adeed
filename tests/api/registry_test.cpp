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

TEST(Registry, PortFailureWritesNothing) {
    for (const char* typeLine : {"CardReaderType=1", ""}) {
        SCOPED_TRACE(typeLine);
        TestEnv env(Ini(typeLine));
        ScopedScriptedLine line;
        line->bFailOpen = true;
        const std::string before = env.sReadConfig();
        OReaderRegistry reg;
        OIdcDriver* active = nullptr;
        const int type = std::string(typeLine).empty() ? 2 : 1;
        EXPECT_EQ(type, Select(reg, active));
        EXPECT_EQ(before, env.sReadConfig());
        EXPECT_TRUE(line->Writes().empty());
        // The configured family stays active; its own SetCommPara retries.
        EXPECT_EQ(DriverOf(reg, type), active);
        tDevReturn r{};
        EXPECT_EQ(1, Into(active->SetCommPara(), r));
        EXPECT_EQ(1223, r.iCode2);
        EXPECT_EQ(0, r.iErrFlag2);
    }
}

// A port that fails under the probes is no reader: whether the line hung up
// before the selection, during the configured family's probe, or only
// refuses to send, nothing is written and no later family is taken for an
// answer. The configured family stays active and its SetCommPara opens the
// port again once the device is back.
TEST(Registry, PortFailingUnderTheProbesWritesNothing) {
    struct Row {
        const char* name;
        void (*fault)(LineScript&);
        bool closed; // the port is marked closed afterwards
    } rows[] = {
        {"hung up before", [](LineScript& s) { s.vHangUp(); }, true},
        {"hung up during the probe",
         [](LineScript& s) {
             s.responder = [&s](const Bytes&) {
                 s.vHangUp();
                 return Bytes{};
             };
         },
         true},
        {"sending refused", [](LineScript& s) { s.bFailWrite = true; }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestEnv env(Ini("")); // no type: family B is assumed and probed first
        ScopedScriptedLine line;
        OReaderRegistry reg;
        tDevReturn r{};
        ASSERT_EQ(0, OpenPort(*reg.pComm()));
        const std::string before = env.sReadConfig();
        row.fault(*line);

        OIdcDriver* active = nullptr;
        EXPECT_EQ(2, Select(reg, active));
        EXPECT_EQ(before, env.sReadConfig());
        EXPECT_EQ(DriverOf(reg, 2), active);
        EXPECT_EQ(row.closed, !reg.pComm()->bPortOpen());

        line->responder = nullptr;
        line->bFailWrite = false;
        line->vComeBack();
        r = tDevReturn{};
        EXPECT_EQ(0, Into(active->SetCommPara(), r));
        EXPECT_EQ(row.closed ? 2 : 1, line->iOpenCount);
    }
}
