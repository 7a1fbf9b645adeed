#include <gtest/gtest.h>

#include "infra/reader_comm.h"
#include "support/open_port.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

using namespace quillon;

struct OpenCase {
    const char* name;
    const char* extraIni;
    OReaderComm::LineAdjust pfnAdjust;
    uint32_t baud;
    Parity parity;
    bool dtrAndHandshake;
};

void SlowOddLine(tLineSettings& s) {
    s.uiBaud = 1200;
    s.eParity = Parity::Odd;
}

TEST(ReaderComm, OpenPortAppliesTheCommonSettingsThenTheFamilys) {
    const OpenCase cases[] = {
        {"defaults", "", nullptr, 19200, Parity::Even, false},
        {"Dtr 1", "[Dtr]\nDtr=1\n", nullptr, 19200, Parity::Even, true},
        {"Dtr 0", "[Dtr]\nDtr=0\n", nullptr, 19200, Parity::Even, false},
        {"family's own line, Dtr kept", "[Dtr]\nDtr=1\n", SlowOddLine, 1200, Parity::Odd, true},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv env(std::string("[CARDREADER]\nPort=/dev/scripted\nBaudRate=19200\n") + c.extraIni);
        ScopedScriptedLine line;
        OReaderComm comm(nullptr, "CARDREADER");
        ASSERT_EQ(OReaderComm::PortOpening::Opened, comm.eOpenPort(c.pfnAdjust));
        EXPECT_EQ(0, ToInt(comm.tLastOutcome().eCode));
        const tLineSettings& s = line->lastSettings;
        EXPECT_EQ("/dev/scripted", s.sPort);
        EXPECT_EQ(c.baud, s.uiBaud);
        EXPECT_TRUE(s.eDataBits == DataBits::Eight && s.eStopBits == StopBits::One);
        EXPECT_TRUE(s.eParity == c.parity);
        EXPECT_EQ(c.dtrAndHandshake, s.bDtrOn);
        EXPECT_EQ(c.dtrAndHandshake, s.bRtsHandshake);
        // RTS raised, then DTR cleared.
        EXPECT_EQ((std::vector<uint32_t>{3, 6}), line->LineControls());

        // A second opening touches nothing.
        line->vClear();
        EXPECT_EQ(OReaderComm::PortOpening::AlreadyOpen, comm.eOpenPort());
        EXPECT_TRUE(line->events.empty());
    }
}

TEST(ReaderComm, ReadReplyBoundsAndPartialDelivery) {
    TestEnv env;
    ScopedScriptedLine line;
    OReaderComm comm(nullptr, "CARDREADER");
    ASSERT_EQ(0, OpenPort(comm));
    line->vClear();

    uint8_t dest[1100] = {};
    for (uint32_t wanted : {0u, 1021u, 5000u}) {
        uint32_t count = wanted;
        EXPECT_EQ(1, comm.iReadReply(dest, &count, 3000)) << wanted;
    }
    EXPECT_TRUE(line->events.empty()); // no wait for a count out of range

    // 5 wanted, 3 arrive, then nothing: the 3 are delivered.
    line->vFeed(B({0x10, 0x06, 0x41}));
    uint32_t count = 5;
    EXPECT_EQ(0, comm.iReadReply(dest, &count, 3000));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(B({0x10, 0x06, 0x41}), Bytes(dest, dest + 3));
    EXPECT_EQ((std::vector<uint32_t>{3000, 3000}), line->ReadTimeouts());

    // The buffer is empty afterwards: silence gives 1 and a count of 0.
    count = 1;
    EXPECT_EQ(1, comm.iReadReply(dest, &count, 20));
    EXPECT_EQ(0u, count);

    // An exact count leaves later bytes on the line, not in the buffer.
    line->vFeed(B({1, 2, 3, 4}));
    count = 2;
    EXPECT_EQ(0, comm.iReadReply(dest, &count, 100));
    EXPECT_EQ(2u, count);
    count = 2;
    EXPECT_EQ(0, comm.iReadReply(dest, &count, 100));
    EXPECT_EQ(B({3, 4}), Bytes(dest, dest + 2));

    // 1020 bytes is the most one call takes.
    line->vFeed(Bytes(1020, 0x55));
    count = 1020;
    EXPECT_EQ(0, comm.iReadReply(dest, &count, 100));
    EXPECT_EQ(1020u, count);

    // Discarding input purges the line.
    line->vFeed(B({9, 9}));
    comm.vDiscardInput();
    count = 1;
    EXPECT_EQ(1, comm.iReadReply(dest, &count, 10));
}

// A line that hangs up closes the port, whichever call notices it: nothing
// reaches the dead line afterwards, and once the device is back the port
// opens again. (While it is away an opening fails with 1223: the registry's
// tests.)
TEST(ReaderComm, HungUpLineClosesThePortUntilItIsOpenedAgain) {
    struct Row {
        const char* name;
        int (*call)(OReaderComm&); // the call that meets the hang-up; non-zero expected
    } rows[] = {
        {"send", [](OReaderComm& c) { return c.iWrite(B("C40").data(), 3); }},
        {"reply wait",
         [](OReaderComm& c) {
             uint8_t b[2];
             uint32_t n = 2;
             return c.iReadReply(b, &n, 3000);
         }},
        {"line control", [](OReaderComm& c) { return c.iSetDtr(true); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestEnv env;
        ScopedScriptedLine line;
        OReaderComm comm(nullptr, "CARDREADER");
        ASSERT_EQ(0, OpenPort(comm));

        line->vHangUp();
        EXPECT_NE(0, row.call(comm));
        EXPECT_FALSE(comm.bPortOpen());
        line->vClear();
        EXPECT_NE(0, comm.iWrite(B("C40").data(), 3));
        EXPECT_TRUE(line->events.empty()) << "the dead line is closed, not used";

        line->vComeBack();
        EXPECT_EQ(0, OpenPort(comm));
        EXPECT_EQ(0, ToInt(comm.tLastOutcome().eCode));
        EXPECT_EQ(2, line->iOpenCount);
        EXPECT_EQ(0, comm.iWrite(B("C40").data(), 3));
        EXPECT_EQ(B("C40"), line->Writes().back());
    }
}
