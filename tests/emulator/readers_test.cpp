// Reply layouts of the three reader families and family A's auxiliary module.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

namespace {
constexpr Family A = Family::A, Bf = Family::B, C = Family::C;
constexpr CardPosition NoCard = CardPosition::None, Gate = CardPosition::Gate,
                       In = CardPosition::Inside, Bin = CardPosition::Retained;
} // namespace

TEST(FamilyA, IdentityLifeInformationAndEntryDelay) {
    Options o;
    o.modelA = "HBU-NA139";
    o.versionA = "V7";
    o.entryDelay = 300;
    Host h(Family::A, o);
    const std::string cv0 = h.Cmd("CV0").substr(5);
    EXPECT_EQ(56u, cv0.size());
    EXPECT_EQ("HBU-NA139V7", cv0.substr(0, 9) + cv0.substr(52, 2));
    EXPECT_EQ(5 + 32u, h.Cmd("CUA032").size());
    h.m().InsertCard(h.now);
    EXPECT_EQ("P:201", h.Cmd("C:2"));
    h.now = 299;
    EXPECT_EQ("P1001", h.Cmd("C10"));
    h.now = 300;
    h.Script({{"C10", "P1002"}, {"C41", "P4100"}});
    const std::string life = h.Cmd("CM0").substr(5);
    EXPECT_EQ(112u, life.size());
    EXPECT_EQ("00000001|00000001", life.substr(16, 8) + "|" + life.substr(104, 8)); // retains, bin
}

TEST(Readers, MovesTakeTheCardWhereTheySay) {
    const std::tuple<Family, const char*, CardPosition, uint32_t> rows[] = {
        // clang-format off
        {A, "C30", Gate, 0}, {A, "C41", Bin, 1}, {A, "C00", Gate, 0}, {A, "C01", Bin, 1},
        {A, "C02", In, 0}, {Bf, "C0432400010011", Gate, 0}, {Bf, "C0532400010011", Bin, 1},
        {Bf, "C0632400010011", In, 0}};
    // clang-format on
    for (const auto& [family, cmd, after, bin] : rows) {
        Host h = Reader(family, In);
        EXPECT_EQ('P', h.Cmd(cmd)[0]) << cmd;
        EXPECT_EQ(after, h.m().Position()) << cmd;
        EXPECT_EQ(bin, h.m().counters.retainBin) << cmd;
    }
    Options o;
    o.autoInsert = true; // a customer brings a card to every entry command
    Host a(Family::A, o), c(Family::C);
    a.Cmd("C40");
    a.engine->Advance(0);
    EXPECT_EQ(In, a.m().Position());
    c.m().InsertCard(c.now);
    c.Script({{"25", "P25"}, {"32", "P32"}, {"79", "P79"}}); // in, out, entry off
    EXPECT_TRUE(c.m().RemoveCard());
    c.m().InsertCard(c.now);
    EXPECT_EQ(Gate, c.m().Position()); // entry off: the card stays at the gate
    c.Script({{"30", "P30"}, {"35", "P35"}});
    EXPECT_EQ(Bin, c.m().Position());
}

TEST(Readers, TrackLayouts) {
    Host a = Reader(A, In), b = Reader(Bf, In), c = Reader(C, In);
    const Card k = a.m().tCard(); // the same default card in all three
    EXPECT_EQ("P6a020000000049036" + Digits(k.track3.size(), 3) + k.track1 + k.track2 + k.track3,
              a.Cmd("C6a7"));
    a.Cmd("C721234567890");
    a.m().tCard().track3.clear();
    EXPECT_EQ("P6a020000001049010000" + k.track1 + "1234567890", a.Cmd("C6a7"));
    // clang-format off
    b.Script({{"C65", "P6502" + k.track1 + "~" + k.track2 + "~" + k.track3}, {"C67", "P6702111"},
              {"C71ABC", "P7102"}, {"C61", "P6102ABC"}});
    b.m().tCard().track2.clear();
    b.Script({{"C67", "P6702101"}, {"C65", "P6502ABC~~" + k.track3}, {"C62", "N6224"},
              {"CD2", "ND224"}, {"CD:", "ND:24"}, {"C63", "P6302" + k.track3}});
    // clang-format on
    c.m().tCard().track2.clear(); // each track: status, length, then the characters
    const std::string head{'P', '7', '6', '0', 49, '1', 0, '0', char(k.track3.size())};
    EXPECT_EQ(head + k.track1 + k.track3, c.Cmd("76"));
}

TEST(Readers, ForcedReplyReplacesTheCommand) {
    Host h = Reader(A, In);
    h.engine->ForceReply("C6a7", 'N', "44");
    h.engine->ForceReply("C30", 'N', "10", kForever);
    h.Script({{"C6a7", "N6a44"}, {"C6a7", "P6a02*"}, {"C30", "N3010"}, {"C30", "N3010"}});
    EXPECT_EQ(In, h.m().Position());
}

TEST(AuxModule, IdentityAndFeed) {
    Host h(Family::A);
    const std::string id = h.Cmd("00", true);
    EXPECT_EQ("AUX-MOD 1.2", id.substr(8));
    EXPECT_EQ(19u, id.size());
    h.engine->Module()->stock = 1;
    h.Script({{"01", "P01"}, {"P1", "PP1"}}); // initialised, it feeds its card into the reader
    EXPECT_EQ(In, h.m().Position());
    h.m().PlaceCard(NoCard);
    h.Script({{"P1", "NP1\x03"}, {"Q0", "PQ000011"}}); // empty
    h.engine->Module()->jammed = true;
    h.Script({{"Q0", "PQ011011"}});
    EXPECT_TRUE(h.engine->Log().at(0).module && h.engine->Log()[0].text == "00");
}
