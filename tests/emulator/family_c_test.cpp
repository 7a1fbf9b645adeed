// Family C reader: reply layouts of the numeric commands.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

namespace {
std::string N(const char* cmd, uint8_t error) {
    return std::string("N") + cmd + static_cast<char>(error);
}
} // namespace

TEST(FamilyC, StatusCharacterAndIdentity) {
    struct Row {
        CardPosition pos;
        bool contacts, jam;
        const char* reply;
    } rows[] = {{CardPosition::None, false, false, "P105"},
                {CardPosition::Gate, false, false, "P101"},
                {CardPosition::Inside, false, false, "P102"},
                {CardPosition::Inside, true, false, "P104"},
                {CardPosition::Retained, false, false, "P105"},
                {CardPosition::Inside, false, true, "P100"}};
    for (const Row& r : rows) {
        Host h(Family::C);
        h.m().PlaceCard(r.pos);
        h.m().jam = r.jam;
        if (r.contacts) {
            EXPECT_EQ("P40", h.Cmd("40"));
        }
        EXPECT_EQ(r.reply, h.Cmd("10")) << Name(r.pos);
    }
    Options o;
    o.modelC = "QC-NUM-01";
    Host h(Family::C, o);
    EXPECT_EQ("QC-NUM-01 1.07", DataC(h.Cmd("00")));
    EXPECT_EQ("QC-NUM-01 1.07", DataC(h.Cmd("02")));
    EXPECT_EQ(N("77", 0x00), h.Cmd("77"));
}

TEST(FamilyC, EntryMovesAndJam) {
    Host h(Family::C);
    h.m().InsertCard(h.now);
    EXPECT_EQ("P25", h.Cmd("25"));
    EXPECT_EQ(CardPosition::Inside, h.m().Position());
    EXPECT_EQ("P32", h.Cmd("32"));
    EXPECT_EQ(CardPosition::Gate, h.m().Position());
    EXPECT_EQ("P79", h.Cmd("79")); // entry off: a card offered now stays at the gate
    h.m().RemoveCard();
    h.m().InsertCard(h.now);
    EXPECT_EQ(CardPosition::Gate, h.m().Position());
    EXPECT_EQ("P30", h.Cmd("30"));
    EXPECT_EQ("P35", h.Cmd("35"));
    EXPECT_EQ(CardPosition::Retained, h.m().Position());
    EXPECT_EQ(1u, h.m().counters.retainBin);
    h.m().jam = true;
    for (const char* c : {"25", "24", "23", "30", "22", "32", "35", "00"})
        EXPECT_EQ(N(c, 0x0A), h.Cmd(c)) << c;
}

TEST(FamilyC, TrackLayout) {
    Host h(Family::C);
    EXPECT_EQ(N("76", 0x03), h.Cmd("76"));
    h.m().PlaceCard(CardPosition::Inside);
    Card& c = h.m().card();
    c.track2.clear();
    const std::string d = DataC(h.Cmd("76"));
    ASSERT_GE(d.size(), 6u);
    EXPECT_EQ('0', d[0]);
    EXPECT_EQ(49, d[1]);
    EXPECT_EQ('1', d[2]);
    EXPECT_EQ(0, d[3]);
    EXPECT_EQ('0', d[4]);
    EXPECT_EQ(c.track3.size(), static_cast<size_t>(d[5]));
    EXPECT_EQ(c.track1 + c.track3, d.substr(6));
}

TEST(FamilyC, ChipKindCharacter) {
    struct Row {
        ChipKind kind;
        int slot;
        char c;
    } rows[] = {{ChipKind::ProcessorT0, 0, '='}, {ChipKind::ProcessorT1, 0, '>'},
                {ChipKind::Memory, 0, ';'},      {ChipKind::Memory, 1, '<'},
                {ChipKind::Memory, 3, '1'},      {ChipKind::Passive, 0, '7'},
                {ChipKind::None, 0, '9'}};
    for (const Row& r : rows) {
        Host h(Family::C);
        h.m().card().chip = r.kind;
        h.m().card().memorySlot = r.slot;
        EXPECT_EQ(N("31", 0x03), h.Cmd("31"));
        h.m().PlaceCard(CardPosition::Inside);
        EXPECT_EQ(std::string("P31") + r.c, h.Cmd("31"));
    }
}

TEST(FamilyC, ProcessorChipActivationAndExchange) {
    for (ChipKind kind : {ChipKind::ProcessorT0, ChipKind::ProcessorT1}) {
        const bool t1 = kind == ChipKind::ProcessorT1;
        Host h(Family::C);
        h.m().card().chip = kind;
        h.m().PlaceCard(CardPosition::Inside);
        const std::string atr = ToText(h.m().card().Answer());
        EXPECT_EQ("P40", h.Cmd("40"));
        const std::string d = DataC(h.Cmd("90"));
        ASSERT_EQ(atr.size() + 2, d.size());
        EXPECT_EQ(atr.size() + 1, static_cast<uint8_t>(d[0]));
        EXPECT_EQ(t1 ? 1 : 0, d[1]);
        EXPECT_EQ(atr, d.substr(2));

        const Bytes apdu = B({0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0x00, 0x00, 0x00, 0x03});
        const char code = t1 ? '4' : '3';
        Bytes cmd = B({'9', code, 0x00, static_cast<int>(apdu.size())});
        cmd.insert(cmd.end(), apdu.begin(), apdu.end());
        const std::string r = DataC(h.Cmd(cmd));
        ASSERT_GE(r.size(), 4u);
        EXPECT_EQ(r.size() - 2, static_cast<size_t>(static_cast<uint8_t>(r[0]) << 8 |
                                                    static_cast<uint8_t>(r[1])));
        EXPECT_EQ(t1 ? 0x90 : 0x61, static_cast<uint8_t>(r[r.size() - 2]));

        cmd[3] = 0x0B; // length field one too many
        EXPECT_EQ(std::string("N9") + code + '\x02', h.Cmd(cmd));
        EXPECT_EQ(N(t1 ? "93" : "94", 0x03),
                  h.Cmd(B({'9', t1 ? '3' : '4', 0x00, 0x02, 0x00, 0x00})));
        EXPECT_EQ("P91", h.Cmd("91"));
    }
}

TEST(FamilyC, MemoryChips) {
    Host h(Family::C);
    h.m().card().chip = ChipKind::Memory;
    h.m().PlaceCard(CardPosition::Inside);
    EXPECT_EQ(N("D0", 0x60), h.Cmd("D0"));
    EXPECT_EQ(std::string("NC0\x03"), h.Cmd(B({'C', 0x30, 0x00, 0x04}))); // not activated
    EXPECT_EQ(std::string("PC0\xA2\x13\x10\x91"), h.Cmd("C0"));
    EXPECT_EQ(std::string("\x00\x01\x02\x03", 4), DataC(h.Cmd(B({'C', 0x30, 0x00, 0x04}))));
    h.Cmd(B({'C', 0x38, 0x01, 0x7F}));
    EXPECT_EQ(0x7F, h.m().card().memory[1]);

    h.m().card().memorySlot = 4; // powered by detection, addressed with ">05"
    h.Cmd("91");
    EXPECT_EQ(N("C0", 0x60), h.Cmd("C0"));
    EXPECT_EQ("P312", h.Cmd("31"));
    EXPECT_EQ(std::string("\x04\x05", 2), DataC(h.Cmd(B({'>', '0', '5', 0x30, 0x04, 0x02}))));
}
