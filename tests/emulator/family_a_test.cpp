// Family A reader and its auxiliary module: reply layouts of each command.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

TEST(FamilyA, StatusCharactersFollowTheCard) {
    struct Row {
        CardPosition pos;
        bool jam;
        const char* c10;
        const char* c11;
    } rows[] = {
        {CardPosition::None, false, "P1000",
         "P1100"
         "000001000"},
        {CardPosition::Gate, false, "P1001",
         "P1101"
         "000000010"},
        {CardPosition::Inside, false, "P1002",
         "P1102"
         "000000110"},
        {CardPosition::Retained, false, "P1000",
         "P1100"
         "000001000"},
        {CardPosition::Inside, true, "N1010",
         "P1102"
         "010000110"},
    };
    for (const Row& r : rows) {
        Host h(Family::A);
        h.m().PlaceCard(r.pos);
        h.m().jam = r.jam;
        EXPECT_EQ(r.c10, h.Cmd("C10")) << Name(r.pos);
        EXPECT_EQ(r.c11, h.Cmd("C11")) << Name(r.pos);
    }
}

TEST(FamilyA, IdentityCountersAndInfo) {
    Options o;
    o.modelA = "HBU-NA139";
    o.versionA = "V7";
    Host h(Family::A, o);
    const std::string cv0 = DataAB(h.Cmd("CV0"));
    ASSERT_EQ(56u, cv0.size());
    EXPECT_EQ("HBU-NA139", cv0.substr(0, 9));
    EXPECT_EQ("V7", cv0.substr(52, 2));
    EXPECT_EQ(32u, DataAB(h.Cmd("CUA032")).size());
    for (const char* c : {"CY105", "CY100", "CSL0", "CSL1", "CSN1", "CSN2", "CS70", "CS71"})
        EXPECT_EQ('P', h.Cmd(c)[0]) << c;
    EXPECT_EQ("NSL02", h.Cmd("CSL7"));
    EXPECT_EQ("NZZ00", h.Cmd("CZZ"));

    EXPECT_EQ("000", DataAB(h.Cmd("CQ0")));
    h.m().PlaceCard(CardPosition::Inside);
    h.Cmd("C41");
    EXPECT_EQ("001", DataAB(h.Cmd("CQ0")));
    const std::string life = DataAB(h.Cmd("CM0"));
    ASSERT_EQ(112u, life.size());
    EXPECT_EQ("00000001", life.substr(16, 8));  // retains
    EXPECT_EQ("00000001", life.substr(104, 8)); // retain bin
    EXPECT_EQ("PQ100", h.Cmd("CQ1"));
    EXPECT_EQ("000", DataAB(h.Cmd("CQ0")));
}

TEST(FamilyA, CardEntryAfterTheConfiguredDelay) {
    Options o;
    o.entryDelay = 300;
    Host h(Family::A, o);
    h.m().InsertCard(h.now);
    EXPECT_EQ("P:201", h.Cmd("C:2"));
    h.now = 299;
    EXPECT_EQ("P1001", h.Cmd("C10"));
    h.now = 300;
    EXPECT_EQ("P1002", h.Cmd("C10"));
    EXPECT_EQ(1u, h.m().counters.cardsIn);

    o.autoInsert = true; // the customer brings a card to every entry command
    Host a(Family::A, o);
    a.Cmd("C40");
    a.now = 300;
    a.engine->Advance(a.now);
    EXPECT_EQ(CardPosition::Inside, a.m().Position());
}

TEST(FamilyA, MovesResetsAndJam) {
    struct Row {
        const char* cmd;
        CardPosition after;
        uint32_t bin;
    } rows[] = {{"C30", CardPosition::Gate, 0},
                {"C41", CardPosition::Retained, 1},
                {"C00", CardPosition::Gate, 0},
                {"C01", CardPosition::Retained, 1},
                {"C02", CardPosition::Inside, 0}};
    for (const Row& r : rows) {
        Host h(Family::A);
        h.m().PlaceCard(CardPosition::Inside);
        EXPECT_EQ('P', h.Cmd(r.cmd)[0]) << r.cmd;
        EXPECT_EQ(r.after, h.m().Position()) << r.cmd;
        EXPECT_EQ(r.bin, h.m().counters.retainBin) << r.cmd;
        h.m().jam = true;
        h.m().PlaceCard(CardPosition::Inside);
        EXPECT_EQ(std::string("N") + (r.cmd + 1) + "10", h.Cmd(r.cmd));
        EXPECT_EQ(CardPosition::Inside, h.m().Position());
    }
}

TEST(FamilyA, TrackReadLayoutAndWrites) {
    Host h(Family::A);
    EXPECT_EQ("N6a01", h.Cmd("C6a7"));
    h.m().PlaceCard(CardPosition::Inside);
    const Card& c = h.m().card();
    std::string d = DataAB(h.Cmd("C6a7"));
    EXPECT_EQ("0000000", d.substr(0, 7));
    EXPECT_EQ("049036" + Digits(c.track3.size(), 3), d.substr(7, 9));
    EXPECT_EQ(c.track1 + c.track2 + c.track3, d.substr(16));

    EXPECT_EQ("P7202", h.Cmd("C721234567890"));
    h.m().card().track3.clear();
    d = DataAB(h.Cmd("C6a7"));
    EXPECT_EQ("0000001", d.substr(0, 7));
    EXPECT_EQ("049010000", d.substr(7, 9));
    EXPECT_EQ("1234567890", d.substr(16 + 49));
    EXPECT_EQ("N7202", h.Cmd("C72" + std::string(41, '1')));
    EXPECT_EQ("N7402", h.Cmd("C74123"));
}

TEST(FamilyA, ChipActivationAnswersByKind) {
    struct Row {
        ChipKind kind;
        int slot;
        const char* answers; // the one activation that answers
        uint8_t nibble;      // high nibble of the format byte, 0 if not checked
    } rows[] = {{ChipKind::ProcessorT0, 0, "CC2", 0x60},
                {ChipKind::ProcessorT1, 0, "CC2", 0xE0},
                {ChipKind::Passive, 0, "Ce11", 0},
                {ChipKind::Memory, 0, "Cm20", 0},
                {ChipKind::Memory, 3, "Cm23", 0}};
    const char* tries[] = {"CC2", "Ce11", "Cm20", "Cm21", "Cm22", "Cm23", "Cm24", "Cm25"};
    for (const Row& r : rows) {
        Host h(Family::A);
        h.m().card().chip = r.kind;
        h.m().card().memorySlot = r.slot;
        h.m().PlaceCard(CardPosition::Inside);
        EXPECT_EQ("PC002", h.Cmd("CC0"));
        for (const char* t : tries) {
            const std::string reply = h.Cmd(t);
            if (std::string(t) != r.answers) {
                EXPECT_EQ('N', reply[0]) << t;
                continue;
            }
            const std::string atr = DataAB(reply);
            EXPECT_EQ(ToText(h.m().card().Answer()), atr) << t;
            if (r.nibble) {
                EXPECT_EQ(r.nibble, static_cast<uint8_t>(atr[1]) & 0xF0);
            }
        }
    }
}

TEST(FamilyA, T0ExchangeWithGetResponseAndStuffedBytes) {
    Host h(Family::A);
    h.m().PlaceCard(CardPosition::Inside);
    h.Cmd("CC2");
    const Bytes select = B({'C', 'F', '0', 0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x00,
                            0x03, 0x10, 0x10, 0x00});
    const std::string sw = DataAB(h.Cmd(select)); // the AID holds DLE bytes both ways
    ASSERT_EQ(2u, sw.size());
    EXPECT_EQ(0x61, static_cast<uint8_t>(sw[0]));
    const uint8_t len = static_cast<uint8_t>(sw[1]);
    EXPECT_EQ(std::string("\x6C") + static_cast<char>(len),
              DataAB(h.Cmd(B({'C', 'F', '0', 0x00, 0xC0, 0x00, 0x00, 0xFF}))));
    const std::string fci = DataAB(h.Cmd(B({'C', 'F', '0', 0x00, 0xC0, 0x00, 0x00, len})));
    ASSERT_EQ(len + 2u, fci.size());
    EXPECT_EQ(0x6F, static_cast<uint8_t>(fci[0]));
    EXPECT_EQ("\x90", fci.substr(len, 1));
    // READ BINARY from offset 0x10: the reply data starts with DLE, sent doubled
    Host::Trip t = h.Raw(B({'C', 'F', '0', 0x00, 0xB0, 0x00, 0x10, 0x02}));
    EXPECT_EQ(Hex(B({0x10, 0x02, 'P', 'F', '0', '0', '2', 0x10, 0x10, 0x11, 0x90, 0x00, 0x10, 0x03,
                     'P' ^ 'F' ^ '0' ^ '0' ^ '2' ^ 0x10 ^ 0x11 ^ 0x90 ^ 0x03})),
              Hex(t.reply));
}

TEST(FamilyA, T1LongReplyComesInPiecesWithStatus21) {
    Host h(Family::A);
    h.m().card().chip = ChipKind::ProcessorT1;
    h.m().PlaceCard(CardPosition::Inside);
    h.Cmd("CC2");
    EXPECT_EQ("NF001", h.Cmd(B({'C', 'F', '0', 0x00, 0x84, 0x00, 0x00, 0x08})));
    Bytes first = B({'C', 'F', '2'});
    first.resize(363, 0x00); // a block the reader keeps until "CF1"
    EXPECT_EQ("PF202", h.Cmd(first));
    h.Cmd("CC6"); // power-off drops the kept block
    h.Cmd("CC2");
    const std::string piece = h.Cmd(B({'C', 'F', '1', 0x00, 0xB0, 0x00, 0x00, 0x00}));
    EXPECT_EQ("PF121", piece.substr(0, 5));
    ASSERT_EQ(257u, DataAB(piece).size()); // 256 bytes and the first of the next piece
    const std::string rest = h.Cmd("CF3");
    EXPECT_EQ("PF302", rest.substr(0, 5));
    EXPECT_EQ(std::string("\x90\x00", 2), DataAB(rest));
    EXPECT_EQ('\x90', DataAB(piece)[256]);
    EXPECT_EQ("NF301", h.Cmd("CF3"));
}

TEST(FamilyA, ForcedReplyReplacesTheCommand) {
    Host h(Family::A);
    h.m().PlaceCard(CardPosition::Inside);
    h.engine->ForceReply("C6a7", 'N', "44");
    h.engine->ForceReply("C30", 'N', "10", kForever);
    EXPECT_EQ("N6a44", h.Cmd("C6a7"));
    EXPECT_EQ('P', h.Cmd("C6a7")[0]);
    EXPECT_EQ("N3010", h.Cmd("C30"));
    EXPECT_EQ("N3010", h.Cmd("C30"));
    EXPECT_EQ(CardPosition::Inside, h.m().Position());
}

TEST(AuxModule, RepliesAndFeed) {
    Host h(Family::A);
    const std::string q = h.Mod("Q0");
    EXPECT_EQ("PQ000110", q); // not initialised yet: character 7 is '0'
    EXPECT_EQ("P01", h.Mod("01"));
    EXPECT_EQ("PQ000111", h.Mod("Q0"));
    const std::string id = h.Mod("00");
    ASSERT_EQ(19u, id.size());
    EXPECT_EQ("AUX-MOD 1.2", id.substr(8, 11));
    EXPECT_EQ("N99" + std::string(1, '\0'), h.Mod("99"));

    h.engine->Module()->stock = 1;
    EXPECT_EQ("PP1", h.Mod("P1")); // feeds its card into the reader
    EXPECT_EQ(CardPosition::Inside, h.m().Position());
    h.m().PlaceCard(CardPosition::None);
    EXPECT_EQ("NP1\x03", h.Mod("P1")); // empty
    EXPECT_EQ("PQ000011", h.Mod("Q0"));
    h.engine->Module()->jammed = true;
    EXPECT_EQ("NP1\x04", h.Mod("P1"));
    EXPECT_EQ("PQ011011", h.Mod("Q0"));

    const std::vector<Received>& log = h.engine->Log();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log[0].module);
    EXPECT_EQ("Q0", log[0].text);
}
