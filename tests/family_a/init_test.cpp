#include "support/scripted_reader.h"

using namespace quillon;

namespace {
// "CV0" data: the identifier, and the reader's version characters at 52, 53.
std::string Cv0(const std::string& id) {
    return ReaderA::P(id + std::string(52 - id.size(), '-') + "V7rest");
}
const std::string kIdent = "P00hdr45MOD-ID-0042";
} // namespace

using InitA = ReaderA;

TEST_F(InitA, RefusesUnknownModesAndResendsTheResetOnceWhenAsked) {
    for (int mode : {0, 4, -1}) {
        tDevReturn r = Rec();
        EXPECT_EQ(1, Into(a.Init(mode), r));
        EXPECT_RECORD(r, 1224, 1);
    }
    EXPECT_TRUE(line->events.empty());

    // The last row: a failing "CQ0" does not stop the first Init.
    // clang-format off
    const std::tuple<int, Texts, Texts, int> rows[] = {
        {1, {N("18"), N("18")}, {"C00/30000", "C00/30000"}, 1291},
        {2, {N("19"), N("10")}, {"C01/30000", "C01/30000"}, 1283},
        {3, {N("10")}, {"C02/30000"}, 1283},
        {1, {N("19"), P(), N("40"), N("10")},
         {"C00/30000", "C00/30000", "M:01/2000", "M:00/2000", "CQ0/10000", "CV0/10000"}, 1283},
    };
    // clang-format on
    for (const auto& [mode, replies, transcript, code] : rows) {
        SCOPED_TRACE(code);
        OSerialReaderA d(&comm);
        Replies(replies);
        tDevReturn r = Rec();
        EXPECT_EQ(1, Into(d.Init(mode), r));
        EXPECT_RECORD(r, code, 1);
        EXPECT_EQ(transcript, Transcript());
        EXPECT_EQ(3, d.tStatus().usField[10]);
    }
}

// Configuration failures reach neither Init's record nor its result.
TEST_F(InitA, IdentifiesTheModelAndConfiguresOnlyV2XfAndV2Cf) {
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"HBU-NA053", "Omron-051", false}, {"HBU-NA120", "Omron-V2XF", true},
        {"HBU-NA139", "Omron-V2XF", true}, {"HBU-NA092", "Omron-V2AF", false},
        {"HBU-NA211", "Omron-V2CF", true}, {"HBU-NA05", "Omron-074", false},
    };
    for (const auto& [id, model, configured] : rows) {
        SCOPED_TRACE(id);
        OSerialReaderA d(&comm);
        Replies(
            {P(), P("042"), Cv0(id), N("10"), N("10"), N("10"), N("10"), P(std::string(40, 'i'))});
        module = {B("P01"), B(kIdent)};
        tDevReturn r = Rec();
        EXPECT_EQ(0, Into(d.Init(1), r));
        EXPECT_RECORD(r, 1201, 0);
        Texts expected = {"C00/30000", "M:01/5000", "M:00/5000", "CQ0/10000", "CV0/10000"};
        if (configured)
            expected.insert(expected.end(), {"CY105/10000", "CSL0/10000", "CSN1/10000",
                                             "CS71/10000", "CUA032/10000"});
        EXPECT_EQ(expected, Transcript());
        const tIdcCaps& c = d.tCaps();
        const uint16_t* st = d.tStatus().usField;
        EXPECT_STREQ(model, c.acModelName);
        EXPECT_STREQ("V1.0.1 b6", c.acLibVersion);
        EXPECT_STREQ("V7+ MOD-ID-0042", c.acFirmware);
        EXPECT_EQ(
            (std::vector<int>{1, 1, 42, 42, 1, 255}),
            (std::vector<int>{c.usField[0], c.usField[3], c.usField[7], st[2], st[11], st[9]}));
        // Configured: "CY105" sent, "CSL0" failed, 31 bytes of the "CUA032" data kept.
        EXPECT_EQ((configured ? std::vector<int>{1, 2, 4, 2} : std::vector<int>{0, 0, 0, 0}),
                  (std::vector<int>{c.usField[5], c.usField[1], st[4], c.usField[4]}));
        EXPECT_EQ(configured ? std::string(31, 'i') : "", c.acInfo);
    }
}

// The module answers, is silent (absent) or fails; its identification follows the version.
TEST_F(InitA, ConfigurationFollowsTheKeysAndTheModuleStateIsSet) {
    // Keys; module replies; configuration commands; protocol, intake, act, module state; version.
    // clang-format off
    using Row = std::tuple<const char*, std::vector<Bytes>, Texts, std::vector<int>, const char*>;
    const Row rows[] = {
        {"", {}, {"CY105", "CSL0", "CSN1", "CS71", "CUA032"}, {1, 3, 3, 2}, "V7+ "},
        {"[ProtocolMode]\nProtocolMode=1\n[IntakeMode]\nIntakeMode=1\n[ActMode]\nActMode=1\n"
         "[MotorSpeed]\nMotorSpeed=0\n", {B("P01"), B(kIdent)}, {"CY100", "CSL1", "CSN2", "CS70", "CUA032"},
         {2, 1, 1, 1}, "V7+ MOD-ID-0042"},
        {"[ProtocolMode]\nProtocolMode=5\n[IntakeMode]\nIntakeMode=7\n[ActMode]\nActMode=7\n"
         "[MotorSpeed]\nMotorSpeed=9\n", {B({'N', '0', '1', 0x04})}, {"CUA032"}, {0, 7, 7, 3}, "V7+ "},
    };
    // clang-format on
    for (const auto& [ini, replies, commands, fields, version] : rows) {
        SCOPED_TRACE(ini);
        env.vWriteConfig(std::string("[CARDREADER]\nPort=/dev/scripted\n") + ini);
        OSerialReaderA d(&comm);
        Replies({P(), P("000"), Cv0("HBU-NA139")});
        Texts expected = {"C01/30000", "M:01", "M:00", "CQ0/10000", "CV0/10000"};
        for (const std::string& c : commands) {
            Reader(P());
            expected.push_back(c + "/10000");
        }
        module.assign(replies.begin(), replies.end());
        tDevReturn r = Rec();
        EXPECT_EQ(0, Into(d.Init(2), r));
        Texts got = Transcript();
        ASSERT_EQ(expected.size(), got.size());
        for (size_t i : {1, 2})
            got[i].resize(4); // the module's time-out depends on its answer
        EXPECT_EQ(expected, got);
        const tIdcCaps& c = d.tCaps();
        const uint16_t* st = d.tStatus().usField;
        EXPECT_EQ((std::vector<int>{1, 1, 2}),
                  (std::vector<int>{c.usField[1], c.usField[2], c.usField[4]}));
        EXPECT_EQ(fields, (std::vector<int>{c.usField[5], st[4], st[3], st[11]}));
        EXPECT_STREQ(version, c.acFirmware);
    }
}

TEST_F(InitA, SecondInitEndsAfterTheRetainCounter) {
    Replies({P(), P("007"), Cv0("HBU-NA092"), P(), N("10")});
    module = {B("P01"), B(kIdent), B("P01"), B(kIdent)};
    tDevReturn r = Rec();
    ASSERT_EQ(0, Into(a.Init(1), r));
    line->events.clear();
    r = Rec();
    EXPECT_EQ(1, Into(a.Init(3), r));
    EXPECT_RECORD(r, 1283, 1);
    EXPECT_EQ((Texts{"C02/30000", "M:01/5000", "M:00/5000", "CQ0/10000"}), Transcript());
    EXPECT_STREQ("V7+ MOD-ID-0042", a.tCaps().acFirmware); // appended once only
    EXPECT_EQ(7, a.tCaps().usField[7]);                    // kept on failure
}
