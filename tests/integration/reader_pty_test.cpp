// The exported functions against emulated readers over pseudo-terminals:
// the whole stack from IDC_ down to the bytes on a real terminal line, the
// configuration file and the trace file.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "emulator.h"
#include "quillon/idc.h"
#include "support/records.h"
#include "support/test_env.h"

namespace emu = quillon::emu;

namespace {

// The library's manager is process-wide: every test closes it, whatever
// happens.
struct CloseAtEnd {
    ~CloseAtEnd() { IDC_CloseComm(); }
};

constexpr uint32_t kNotWritten = 0xFFFFFFFFu;

std::string Port(const std::string& port) {
    return "[CARDREADER]\nPort=" + port + "\n";
}

// "->Leave Op(CARDREADER code)" lines, in order, each after the previous.
void ExpectLeaveLinesInOrder(const std::string& trace, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        const size_t found = trace.find(line, at);
        EXPECT_NE(std::string::npos, found) << line << "\nin\n" << trace;
        if (found != std::string::npos)
            at = found + line.size();
    }
}

} // namespace

// One customer's card through each serial family: open, initialise, take
// the card in, read its tracks, talk to its chip, count, give it back or
// keep it, close. Codes, decoded records and the trace file are checked.
TEST(ReaderOverPty, WholeTransactionPerFamily) {
    struct Row {
        emu::Family family;
        int type;
        bool life;            // the reader keeps life counters
        bool retain;          // keep the card instead of giving it back
        int endCode;          // code of the eject or retain
        uint32_t retainCount; // what the retain reports
    } rows[] = {
        {emu::Family::A, 1, true, false, 1202, kNotWritten},
        {emu::Family::B, 2, true, true, 1201, 1},
        {emu::Family::C, 3, false, true, 1201, kNotWritten}, // it reads no counter
    };
    const emu::Card card = emu::Card::Default();
    for (const Row& row : rows) {
        SCOPED_TRACE("CardReaderType " + std::to_string(row.type));
        emu::Options opt;
        opt.entryDelay = emu::kForever; // the card moves when the test lets it
        emu::Emulator reader(row.family, opt);
        const std::string port = reader.Start();
        // Cards the retain bin already holds (the card kept here makes one).
        const uint32_t binBefore = row.retain ? 0 : 7;
        reader.With([&](emu::Engine& g) { g.Model().counters.retainBin = binBefore; });
        TestEnv env(Port(port) + "[CardReaderType]\nCardReaderType=" + std::to_string(row.type) +
                    "\n[DllExtFunc]\nRemainDays=1\n");
        CloseAtEnd closer;
        std::vector<std::string> leaves; // the trace lines the calls must leave

        // A call that succeeds with code, its "->Leave" line expected in the
        // trace unless it is a plain positive status.
        const auto step = [&](const char* name, int code, std::function<int(tDevReturn*)> call) {
            SCOPED_TRACE(name);
            tDevReturn r = Record(77);
            EXPECT_EQ(0, call(&r));
            EXPECT_EQ(Codes(code, 0), Codes(r));
            if (code != 1201 || std::string(name) != "GetStatus")
                leaves.push_back(std::string("->Leave ") + name + "(CARDREADER " +
                                 std::to_string(code) + ")");
        };
        tDevReturn r = Record(77);
        ASSERT_EQ(0, IDC_SetCommPara(&r));
        EXPECT_EQ(77, r.iCode2) << "the port was opened by the selection already";
        step("Init", 1201, [](tDevReturn* p) { return IDC_Init(1, p); });
        tIdcStatus st{};
        step("GetStatus", 1201, [&](tDevReturn* p) { return IDC_GetStatus(&st, p); });
        EXPECT_EQ(1, st.usField[1]) << "no card";

        // The card stays at the gate for the whole AcceptCard (family C asks
        // the status after the entry command) and goes in after it.
        reader.InsertCard();
        step("AcceptCard", 1202, [](tDevReturn* p) { return IDC_AcceptCard(1, p); });
        ASSERT_TRUE(reader.LetCardIn());
        step("GetStatus", 1203, [&](tDevReturn* p) { return IDC_GetStatus(&st, p); });
        EXPECT_EQ(3, st.usField[1]) << "card inside";

        tIdcTracks t{};
        step("ReadTrack", 1203, [&](tDevReturn* p) { return IDC_ReadTrack(&t, p); });
        EXPECT_EQ(card.track1, std::string(reinterpret_cast<char*>(t.abTrack1), t.uiLen1));
        EXPECT_EQ(card.track2, std::string(reinterpret_cast<char*>(t.abTrack2), t.uiLen2));
        EXPECT_EQ(card.track3, std::string(reinterpret_cast<char*>(t.abTrack3), t.uiLen3));

        uint8_t atr[IDC_CHIP_REPLY_MAX] = {};
        uint32_t atrLen = 0, chipType = 99;
        step("ChipPower", 1203, [&](tDevReturn* p) {
            return IDC_ChipPower(1, uintptr_t(atr), uintptr_t(&atrLen), &chipType, p);
        });
        EXPECT_EQ(0u, chipType) << "processor card, T=0";
        EXPECT_EQ(card.Answer(), emu::Bytes(atr, atr + atrLen));

        // SELECT by name: the T=0 card has the answer waiting (61 xx) and
        // hands it over on GET RESPONSE.
        const uint8_t select[] = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0,
                                  0x00, 0x00, 0x00, 0x03, 0x10, 0x10};
        uint8_t reply[IDC_CHIP_REPLY_MAX] = {};
        uint32_t replyLen = 0;
        step("ChipIO", 1203, [&](tDevReturn* p) {
            return IDC_ChipIO(0, select, sizeof select, reply, &replyLen, p);
        });
        ASSERT_EQ(2u, replyLen);
        EXPECT_EQ(0x61, reply[0]);
        const uint8_t getResponse[] = {0x00, 0xC0, 0x00, 0x00, reply[1]};
        replyLen = 0;
        step("ChipIO", 1203, [&](tDevReturn* p) {
            return IDC_ChipIO(0, getResponse, sizeof getResponse, reply, &replyLen, p);
        });
        ASSERT_EQ(getResponse[4] + 2u, replyLen);
        EXPECT_EQ(0x90, reply[replyLen - 2]);
        EXPECT_EQ(0x00, reply[replyLen - 1]);
        const std::string fci(reinterpret_cast<char*>(reply), replyLen - 2);
        EXPECT_NE(std::string::npos, fci.find("VISA CREDIT"));
        step("ChipPower", 1203,
             [&](tDevReturn* p) { return IDC_ChipPower(3, 0, 0, &chipType, p); });

        if (row.life) {
            tIdcLife life{};
            r = Record(77);
            EXPECT_EQ(0, IDC_GetLifeInfo(&life, &r));
            const emu::Counters c = reader.GetCounters();
            EXPECT_EQ(1u, c.cardsIn);
            EXPECT_EQ(c.cardsIn, life.uiValue[0]);
            EXPECT_EQ(c.trackReads, life.uiValue[3]);
            EXPECT_EQ(c.chipActivations, life.uiValue[5]);
            if (row.family == emu::Family::A) { // the retain counter, as the reader keeps it
                EXPECT_EQ(binBefore, life.uiValue[1]);
            }
        }

        uint32_t count = kNotWritten;
        if (row.retain)
            step("RetainCard", row.endCode,
                 [&](tDevReturn* p) { return IDC_RetainCard(&count, p); });
        else
            step("EjectCard", row.endCode, [](tDevReturn* p) { return IDC_EjectCard(p); });
        EXPECT_EQ(row.retainCount, count);
        EXPECT_EQ(row.retain ? emu::CardPosition::Retained : emu::CardPosition::Gate,
                  reader.Position());

        EXPECT_EQ(0, IDC_CloseComm());
        EXPECT_EQ(0, reader.GetStats().badFrames);
        ExpectLeaveLinesInOrder(env.sReadFile("Vantrel/CARDREADER.log"), leaves);
    }
}

// The reader selection at IDC_SetCommPara with real readers on the line.
// Configured 2 with a family-A reader: family B hears nothing within its
// time-out (the one slow case here), family A answers, 1 is recorded.
// Configured 2 with a family-B reader: one status exchange, 2 stays. Either
// way the file keeps its comments and other keys byte for byte.
TEST(ReaderOverPty, SelectionRecordsTheFamilyThatAnswers) {
    struct Row {
        emu::Family family;
        const char* recorded;
        std::vector<std::string> commands; // what the reader received: one status query
        bool otherFamilyAsked;             // family B's frame reached the line first
    } rows[] = {
        {emu::Family::A, "1", {"C11", "C10"}, true},
        {emu::Family::B, "2", {"C13", "C11"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("recorded ") + row.recorded);
        emu::Emulator reader(row.family);
        const std::string port = reader.Start();
        auto ini = [&](const char* type) {
            return "; kiosk 7, reader by the door\n" + Port(port) + "BaudRate=9600\n\n" +
                   "[CardReaderType]\n; set by the installer\nCardReaderType=" + type +
                   "  ; family\n\n[Dtr]\nDtr=0\n";
        };
        TestEnv env(ini("2"));
        CloseAtEnd closer;

        tDevReturn r = Record(77);
        ASSERT_EQ(0, IDC_SetCommPara(&r));
        EXPECT_EQ(row.commands, reader.Commands());
        EXPECT_EQ(row.otherFamilyAsked, reader.GetStats().strayBytes > 0);
        EXPECT_EQ(ini(row.recorded), env.sReadConfig());

        // The driver of the family found is the one that answers now.
        tIdcStatus st{};
        r = Record(77);
        EXPECT_EQ(0, IDC_GetStatus(&st, &r));
        EXPECT_EQ(1201, r.iCode2);
    }
}
