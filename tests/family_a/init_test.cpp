#include "reader_a_fixture.h"

namespace {
// "CV0" data: the identifier, and the reader's version characters at 52, 53.
std::string Cv0(const std::string& id) {
    std::string d = id;
    d.resize(52, '-');
    return d + "V7" + "rest";
}
const std::string kIdent = "MOD-ID-0042";
} // namespace

class InitA : public ReaderA {
protected:
    void ModuleAnswers() {
        Module("P01");
        Module("P00hdr45" + kIdent);
    }
    const tIdcCaps& caps() { return a.caps(); }
    uint16_t st(int i) { return a.status().usField[i]; }
    OSerialReaderA a{&comm};
};

TEST_F(InitA, RefusesUnknownModesAndResendsTheResetOnceWhenAsked) {
    for (int mode : {0, 4, -1}) {
        tDevReturn r = Rec();
        EXPECT_EQ(1, a.Init(mode, &r));
        EXPECT_RECORD(r, 1224, 1);
    }
    EXPECT_TRUE(line->events.empty());

    struct Row {
        int mode;
        std::vector<std::string> replies;
        Texts transcript;
        int code;
    } rows[] = {
        {1, {N("18"), N("18")}, {"C00/30000", "C00/30000"}, 1291},
        {2, {N("19"), N("10")}, {"C01/30000", "C01/30000"}, 1283},
        {3, {N("10")}, {"C02/30000"}, 1283},
        // A failing "CQ0" does not stop the first Init.
        {1,
         {N("19"), P(), N("40"), N("10")},
         {"C00/30000", "C00/30000", "M:01/2000", "M:00/2000", "CQ0/10000", "CV0/10000"},
         1283},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        line->events.clear();
        OSerialReaderA fresh(&comm);
        for (const std::string& s : row.replies)
            Reader(s);
        tDevReturn r = Rec();
        EXPECT_EQ(1, fresh.Init(row.mode, &r));
        EXPECT_RECORD(r, row.code, 1);
        EXPECT_EQ(row.transcript, Transcript());
        EXPECT_EQ(3, fresh.status().usField[10]);
    }
}

TEST_F(InitA, IdentifiesTheModelAndConfiguresOnlyV2XfAndV2Cf) {
    const Texts config = {"CY105/10000", "CSL0/10000", "CSN1/10000", "CS71/10000", "CUA032/10000"};
    struct Row {
        const char* id;
        const char* model;
        bool configured;
    } rows[] = {
        {"HBU-NA053", "Omron-051", false}, {"HBU-NA120", "Omron-V2XF", true},
        {"HBU-NA139", "Omron-V2XF", true}, {"HBU-NA092", "Omron-V2AF", false},
        {"HBU-NA211", "Omron-V2CF", true}, {"HBU-NA05", "Omron-074", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        line->events.clear();
        reader.clear();
        OSerialReaderA d(&comm);
        Reader(P());
        ModuleAnswers();
        Reader(P("042"));
        Reader(P(Cv0(row.id)));
        for (int i = 0; i < 4; ++i)
            Reader(N("10")); // nothing of the configuration reaches Init's record
        Reader(P(std::string(40, 'i')));
        tDevReturn r = Rec();
        EXPECT_EQ(0, d.Init(1, &r));
        EXPECT_RECORD(r, 1201, 0);
        Texts expected = {"C00/30000", "M:01/5000", "M:00/5000", "CQ0/10000", "CV0/10000"};
        if (row.configured)
            expected.insert(expected.end(), config.begin(), config.end());
        EXPECT_EQ(expected, Transcript());

        const tIdcCaps& c = d.caps();
        EXPECT_STREQ(row.model, c.acModelName);
        EXPECT_STREQ(("V7+ " + kIdent).c_str(), c.acFirmware);
        EXPECT_EQ(1, c.usField[0]);
        EXPECT_EQ(1, c.usField[3]); // module probed
        EXPECT_EQ(42, c.usField[7]);
        EXPECT_EQ(42, d.status().usField[2]);
        EXPECT_EQ(1, d.status().usField[11]);
        EXPECT_EQ(255, d.status().usField[9]);
        if (row.configured) {
            EXPECT_EQ(std::string(31, 'i'), c.acInfo);
            EXPECT_EQ(1, c.usField[5]); // "CY105"
            EXPECT_EQ(2, c.usField[1]); // "CSL0" failed
            EXPECT_EQ(4, d.status().usField[4]);
            EXPECT_EQ(2, c.usField[4]);
        } else {
            EXPECT_EQ(0, c.usField[4]);
            EXPECT_STREQ("", c.acInfo);
        }
    }
}

TEST_F(InitA, ConfigurationFollowsTheKeys) {
    struct Row {
        const char* ini;
        Texts commands;
        uint16_t protocol, intakeCap, actCap, intake, act;
    } rows[] = {
        // clang-format off
        {"", {"CY105", "CSL0", "CSN1", "CS71", "CUA032"}, 1, 1, 1, 3, 3},
        {"[ProtocolMode]\nProtocolMode=1\n[IntakeMode]\nIntakeMode=1\n[ActMode]\nActMode=1\n"
         "[MotorSpeed]\nMotorSpeed=0\n", {"CY100", "CSL1", "CSN2", "CS70", "CUA032"}, 2, 1, 1, 1, 1},
        {"[ProtocolMode]\nProtocolMode=5\n[IntakeMode]\nIntakeMode=7\n[ActMode]\nActMode=7\n"
         "[MotorSpeed]\nMotorSpeed=9\n", {"CUA032"}, 0, 1, 1, 7, 7},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ini);
        env.vWriteConfig(std::string("[CARDREADER]\nPort=/dev/scripted\n") + row.ini);
        line->events.clear();
        OSerialReaderA d(&comm);
        Reader(P());
        Reader(P("000"));
        Reader(P(Cv0("HBU-NA139")));
        for (size_t i = 0; i < row.commands.size(); ++i)
            Reader(P());
        tDevReturn r = Rec();
        EXPECT_EQ(0, d.Init(2, &r));
        Texts got = Transcript();
        ASSERT_EQ(5 + row.commands.size(), got.size());
        for (size_t i = 0; i < row.commands.size(); ++i)
            EXPECT_EQ(row.commands[i] + "/10000", got[5 + i]);
        EXPECT_EQ(row.protocol, d.caps().usField[5]);
        EXPECT_EQ(row.intakeCap, d.caps().usField[1]);
        EXPECT_EQ(row.actCap, d.caps().usField[2]);
        EXPECT_EQ(row.intake, d.status().usField[4]);
        EXPECT_EQ(row.act, d.status().usField[3]);
        EXPECT_EQ(2, d.caps().usField[4]);
        EXPECT_STREQ("V7+ ", d.caps().acFirmware); // the absent module's empty identification
        EXPECT_EQ(2, d.status().usField[11]);
    }
}

TEST_F(InitA, SecondInitEndsAfterTheRetainCounter) {
    Reader(P());
    ModuleAnswers();
    Reader(P("007"));
    Reader(P(Cv0("HBU-NA092")));
    tDevReturn r = Rec();
    ASSERT_EQ(0, a.Init(1, &r));

    line->events.clear();
    Reader(P());
    ModuleAnswers();
    Reader(N("10"));
    r = Rec();
    EXPECT_EQ(1, a.Init(3, &r));
    EXPECT_RECORD(r, 1283, 1);
    EXPECT_EQ((Texts{"C02/30000", "M:01/5000", "M:00/5000", "CQ0/10000"}), Transcript());
    EXPECT_STREQ(("V7+ " + kIdent).c_str(), caps().acFirmware); // appended once only
    EXPECT_EQ(7, caps().usField[7]);                            // kept on failure
}

TEST_F(InitA, ModuleProbeSetsItsState) {
    struct Row {
        const char* resetStatus;
        std::vector<Bytes> module; // replies to "01" and "00"; none: silent
        uint16_t capState, statusState;
    } rows[] = {
        {"00", {B("P01"), B("P00")}, 1, 1},         {"00", {}, 2, 2},
        {"02", {Cat({B("N01"), B({0x04})})}, 1, 1}, // 1231 while the reader reports 1203
        {"00", {Cat({B("N01"), B({0x04})})}, 1, 3}, {"02", {Cat({B("N01"), B({0x02})})}, 1, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.statusState);
        line->events.clear();
        OSerialReaderA d(&comm);
        reader.push_back(B(std::string("P00") + row.resetStatus));
        module.assign(row.module.begin(), row.module.end());
        Reader(P("000"));
        Reader(N("10")); // "CV0" fails: no identification
        tDevReturn r = Rec();
        EXPECT_EQ(1, d.Init(1, &r));
        EXPECT_EQ(row.capState, d.caps().usField[3]);
        EXPECT_EQ(row.statusState, d.status().usField[11]);
        EXPECT_EQ(row.resetStatus[1] == '2' ? 3 : 0, d.status().usField[1]);
        EXPECT_EQ(0, d.caps().usField[0]);
        EXPECT_STREQ("", d.caps().acModelName);
        EXPECT_STREQ("  + ", d.caps().acFirmware);

        // Found absent once: never probed again.
        line->events.clear();
        module.clear();
        Reader(P());
        Reader(P("000"));
        Reader(N("10"));
        EXPECT_EQ(1, d.Init(1, &r));
        EXPECT_EQ(row.capState == 2 ? 3u : 5u, Transcript().size());
    }
}
