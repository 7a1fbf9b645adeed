// Family B reader: reply layouts of each command.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

TEST(FamilyB, StatusBytesFollowTheCard) {
    struct Row {
        const char* name;
        CardPosition pos;
        const char* before; // command sent first, or nullptr
        bool jam;
        std::string reply;
    } rows[] = {
        {"no card", CardPosition::None, nullptr, false,
         "P1300"
         "@@0@"},
        {"at the gate", CardPosition::Gate, nullptr, false,
         "P1301"
         "@H0@"},
        {"inside", CardPosition::Inside, nullptr, false,
         "P1302"
         "@P0@"},
        {"accepting, mode 1", CardPosition::None, "C:2", false,
         "P1300"
         "A@0F"},
        {"accepting, mode 2", CardPosition::None, "C:0", false,
         "P1300"
         "A@0D"},
        {"accepting, mode 3", CardPosition::None, "C:1", false,
         "P1300"
         "A@0E"},
        {"chip powered", CardPosition::Inside, "CI0", false,
         "P1302"
         "DP0@"},
        {"jammed", CardPosition::Inside, nullptr, true,
         "P1302"
         "@Q0@"},
    };
    for (const Row& r : rows) {
        Host h(Family::B);
        h.m().PlaceCard(r.pos);
        h.m().jam = r.jam;
        if (r.before) {
            EXPECT_EQ('P', h.Cmd(r.before)[0]) << r.name;
        }
        EXPECT_EQ(r.reply, h.Cmd("C13")) << r.name;
    }
}

TEST(FamilyB, IdentityDateAndLifeCounters) {
    Options o;
    o.firmwareB = "05230101";
    Host h(Family::B, o);
    EXPECT_EQ("05230101", DataAB(h.Cmd("CA1")));
    const std::string date = DataAB(h.Cmd("Ce2"));
    ASSERT_EQ(8u, date.size());
    EXPECT_EQ("51231", date.substr(1, 5));
    for (const char* c : {"C:X0", "C:X1", "Cc90", "Cc91", "Cc:1"})
        EXPECT_EQ('P', h.Cmd(c)[0]) << c;

    h.m().InsertCard(h.now);
    h.Cmd("C:2");
    h.Cmd("C30");
    const std::string life = DataAB(h.Cmd("CfA"));
    ASSERT_EQ(136u, life.size());
    EXPECT_EQ(std::string("\0\0\0\x01", 4), life.substr(0, 4));   // cards taken in
    EXPECT_EQ(std::string("\0\0\0\x01", 4), life.substr(4, 4));   // ejects
    EXPECT_EQ(std::string("\0\0\0\x0A", 4), life.substr(132, 4)); // frames received
}

TEST(FamilyB, InitialiseRetainAndTheFullBin) {
    struct Row {
        const char* cmd;
        CardPosition after;
    } rows[] = {{"C0432400010011", CardPosition::Gate},
                {"C0532400010011", CardPosition::Retained},
                {"C0632400010011", CardPosition::Inside}};
    for (const Row& r : rows) {
        Host h(Family::B);
        h.m().PlaceCard(CardPosition::Inside);
        EXPECT_EQ('P', h.Cmd(r.cmd)[0]) << r.cmd;
        EXPECT_EQ(r.after, h.m().Position()) << r.cmd;
        h.m().jam = true;
        EXPECT_EQ("N0410", h.Cmd("C0432400010011"));
    }
    Host h(Family::B);
    h.m().PlaceCard(CardPosition::Inside);
    EXPECT_EQ("00", DataAB(h.Cmd("CC0")));
    EXPECT_EQ("PC102", h.Cmd("CC199"));
    EXPECT_EQ("N3150", h.Cmd("C31")); // bin full: the card stays
    EXPECT_EQ(CardPosition::Inside, h.m().Position());
    h.Cmd("CC101");
    EXPECT_EQ("PC002"
              "01",
              h.Cmd("CC0"));
    EXPECT_EQ("P3100", h.Cmd("C31"));
    EXPECT_EQ("02", DataAB(h.Cmd("CC0")));
    EXPECT_EQ("PC100", h.Cmd("CC100"));
    EXPECT_EQ("NC101", h.Cmd("CC1x"));
}

TEST(FamilyB, Tracks) {
    Host h(Family::B);
    EXPECT_EQ("N6502", h.Cmd("C65"));
    h.m().PlaceCard(CardPosition::Inside);
    Card& c = h.m().card();
    EXPECT_EQ(c.track1 + "~" + c.track2 + "~" + c.track3, DataAB(h.Cmd("C65")));
    EXPECT_EQ("111", DataAB(h.Cmd("C67")));
    EXPECT_EQ("P7102", h.Cmd("C71ABC"));
    EXPECT_EQ("ABC", DataAB(h.Cmd("C61")));
    c.track2.clear();
    EXPECT_EQ("101", DataAB(h.Cmd("C67")));
    EXPECT_EQ("ABC~~" + c.track3, DataAB(h.Cmd("C65")));
    for (const char* t : {"C62", "CD2", "CD:"})
        EXPECT_EQ(std::string("N") + (t + 1) + "24", h.Cmd(t));
    EXPECT_EQ(c.track3, DataAB(h.Cmd("C63")));
}

TEST(FamilyB, ChipT0ReplyContinuesWithCI7) {
    Host h(Family::B);
    EXPECT_EQ("NI002", h.Cmd("CI0"));
    h.m().PlaceCard(CardPosition::Inside);
    EXPECT_EQ("P@002", h.Cmd("C@0"));
    const std::string atr = DataAB(h.Cmd("CI0"));
    EXPECT_EQ(0x60, static_cast<uint8_t>(atr.at(1)) & 0xF0);
    EXPECT_EQ(atr, DataAB(h.Cmd("CI8")));
    const std::string sw = DataAB(
        h.Cmd(B({'C', 'I', '3', 0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0x00, 0x00, 0x00, 0x03})));
    EXPECT_EQ(0x61, static_cast<uint8_t>(sw.at(0)));

    const std::string first = h.Cmd(B({'C', 'I', '3', 0x00, 0xB0, 0x00, 0x00, 0x00}));
    EXPECT_EQ("PI502", first.substr(0, 5)); // '5': more follows
    EXPECT_EQ(256u, DataAB(first).size());
    const std::string last = h.Cmd("CI7");
    EXPECT_EQ("PI702", last.substr(0, 5));
    EXPECT_EQ(std::string("\x90\x00", 2), DataAB(last));
    EXPECT_EQ("NI702", h.Cmd("CI7"));
    EXPECT_EQ("NI402", h.Cmd(B({'C', 'I', '4', 0x00, 0x84, 0x00, 0x00, 0x08})));
    EXPECT_EQ("PI102", h.Cmd("CI1"));
    EXPECT_EQ("P@202", h.Cmd("C@2"));
}

TEST(FamilyB, ChipT1BlocksAndOtherKinds) {
    Host h(Family::B);
    h.m().card().chip = ChipKind::ProcessorT1;
    h.m().PlaceCard(CardPosition::Inside);
    EXPECT_EQ(0xE0, static_cast<uint8_t>(DataAB(h.Cmd("CI0")).at(1)) & 0xF0);
    EXPECT_EQ("PI502", h.Cmd(B({'C', 'I', '5', 0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00})));
    const std::string fci = DataAB(h.Cmd(B({'C', 'I', '6', 0x00, 0x00, 0x03, 0x10, 0x10, 0x00})));
    EXPECT_EQ(0x6F, static_cast<uint8_t>(fci.at(0)));
    EXPECT_EQ(std::string("\x90\x00", 2), fci.substr(fci.size() - 2));

    struct Row {
        ChipKind kind;
        int slot;
        const char* answers;
    } rows[] = {{ChipKind::Passive, 0, "CI@"},
                {ChipKind::Memory, 2, "CR0"},
                {ChipKind::Memory, 5, "CU001"}};
    for (const Row& r : rows) {
        Host k(Family::B);
        k.m().card().chip = r.kind;
        k.m().card().memorySlot = r.slot;
        k.m().PlaceCard(CardPosition::Inside);
        for (const char* t : {"CI0", "CI@", "CR0", "CU001"})
            EXPECT_EQ(std::string(t) == r.answers, k.Cmd(t)[0] == 'P') << t;
    }
    Host m(Family::B);
    m.m().card().chip = ChipKind::Memory;
    m.m().PlaceCard(CardPosition::Inside);
    m.Cmd("CR0");
    EXPECT_EQ(std::string("\x00\x01\x02\x03", 4),
              DataAB(m.Cmd(B({'C', 'R', '3', 0x30, 0x00, 0x04}))));
}
