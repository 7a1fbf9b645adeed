// Reply layouts of the three reader families and family A's auxiliary module.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

namespace {
constexpr Family A = Family::A, Bf = Family::B, C = Family::C;
constexpr CardPosition NoCard = CardPosition::None, Gate = CardPosition::Gate,
                       In = CardPosition::Inside, Bin = CardPosition::Retained;
constexpr ChipKind T0 = ChipKind::ProcessorT0, T1 = ChipKind::ProcessorT1, Pas = ChipKind::Passive,
                   Mem = ChipKind::Memory;
} // namespace

// A reader in a given state and its replies to commands sent in a row.
TEST(Readers, RepliesFollowTheState) {
    const std::string n1 = std::string("N99\0", 4), n7 = std::string("N77\0", 4);
    const struct {
        Family family;
        CardPosition pos;
        ChipKind chip;
        int slot;
        bool jam;
        std::vector<std::pair<std::string, std::string>> steps;
    } scenes[] = {
        // clang-format off
        {A, NoCard, T0, 0, false, {{"C10", "P1000"}, {"C11", "P1100000001000"}, {"CY105", "PY1*"},
            {"CY100", "PY1*"}, {"CSL0", "PSL*"}, {"CSL1", "PSL*"}, {"CSN1", "PSN*"},
            {"CSN2", "PSN*"}, {"CS70", "PS7*"}, {"CS71", "PS7*"}, {"CSL7", "NSL02"},
            {"CZZ", "NZZ00"}, {"C6a7", "N6a01"}, {"Q0", "PQ000110"}, {"01", "P01"},
            {"Q0", "PQ000111"}, {"99", n1}}},
        {A, Gate, T0, 0, false, {{"C10", "P1001"}, {"C11", "P1101000000010"}}},
        {A, Bin, T0, 0, false, {{"C10", "P1000"}, {"C11", "P1100000001000"}}},
        {A, In, T0, 0, false, {{"C10", "P1002"}, {"C11", "P1102000000110"},
            {"C721234567890", "P7202"}, {"C72" + std::string(41, '1'), "N7202"},
            {"C74123", "N7402"}, {"C41", "P4100"}, {"CQ0", "PQ000001"}, {"CQ1", "PQ100"},
            {"CQ0", "PQ000000"}}},
        {A, In, T0, 0, true, {{"C10", "N1010"}, {"C11", "P1102010000110"}, {"C30", "N3010"},
            {"C41", "N4110"}, {"C00", "N0010"}, {"C01", "N0110"}, {"C02", "N0210"}}},
        // Family A chip activation: only the one of the card's kind answers.
        {A, In, T0, 0, false, {{"CC0", "PC002"}, {"Ce11", "N*"}, {"Cm20", "N*"},
            {"CC2", "PC202*"}}},
        {A, In, T1, 0, false, {{"Cm21", "N*"}, {"CC2", "PC202*"}}},
        {A, In, Pas, 0, false, {{"CC2", "N*"}, {"Cm20", "N*"}, {"Ce11", "Pe102*"}}},
        {A, In, Mem, 0, false, {{"CC2", "N*"}, {"Ce11", "N*"}, {"Cm21", "N*"}, {"Cm20", "Pm202*"}}},
        {A, In, Mem, 3, false, {{"Cm20", "N*"}, {"Cm22", "N*"}, {"Cm24", "N*"}, {"Cm25", "N*"},
            {"Cm23", "Pm202*"}}},
        {Bf, NoCard, T0, 0, false, {{"C13", "P1300@@0@"}, {"CA1", "PA10027410310"},
            {"C:X0", "P:X*"}, {"C:X1", "P:X*"}, {"Cc90", "Pc9*"}, {"Cc91", "Pc9*"},
            {"Cc:1", "Pc:*"}, {"C65", "N6502"}, {"CI0", "NI002"}}},
        {Bf, Gate, T0, 0, false, {{"C13", "P1301@H0@"}}},
        {Bf, NoCard, T0, 0, false, {{"C:2", "P:2*"}, {"C13", "P1300A@0F"}}}, // accepting, mode 1
        {Bf, NoCard, T0, 0, false, {{"C:0", "P:0*"}, {"C13", "P1300A@0D"}}}, // mode 2
        {Bf, NoCard, T0, 0, false, {{"C:1", "P:1*"}, {"C13", "P1300A@0E"}}}, // mode 3
        {Bf, In, T0, 0, false, {{"C13", "P1302@P0@"}, {"CI0", "PI002*"}, {"C13", "P1302DP0@"}}},
        {Bf, In, T0, 0, true, {{"C13", "P1302@Q0@"}}},
        {Bf, In, T0, 0, false, {{"CC0", "PC00200"}, {"CC199", "PC102"}, {"C31", "N3150"},
            {"CC101", "PC102"}, {"CC0", "PC00201"}, {"C31", "P3100"}, {"CC0", "PC00002"},
            {"CC100", "PC100"}, {"CC1x", "NC101"}}}, // a full retain bin keeps the card
        {Bf, In, Pas, 0, false, {{"CI0", "N*"}, {"CR0", "N*"}, {"CU001", "N*"}, {"CI@", "P*"}}},
        {Bf, In, Mem, 2, false, {{"CI0", "N*"}, {"CI@", "N*"}, {"CU001", "N*"}, {"CR0", "P*"}}},
        {Bf, In, Mem, 5, false, {{"CI@", "N*"}, {"CR0", "N*"}, {"CU001", "P*"}}},
        {Bf, In, Mem, 0, false, {{"CR0", "P*"},
            {S({'C', 'R', '3', '0', 0, 4}), S({'P', 'R', '3', '0', '2', 0, 1, 2, 3})}}},
        {C, NoCard, T0, 0, false, {{"10", "P105"}, {"00", "P00CRD-C9001 1.07"},
            {"02", "P02CRD-C9001 1.07"}, {"77", n7}, {"76", "N76\x03"}, {"31", "N31\x03"}}},
        {C, Gate, T0, 0, false, {{"10", "P101"}}},
        {C, Bin, T0, 0, false, {{"10", "P105"}}},
        {C, In, T0, 0, false, {{"10", "P102"}, {"40", "P40"}, {"10", "P104"}, {"31", "P31="}}},
        {C, In, T0, 0, true, {{"10", "P100"}, {"25", "N25\x0A"}, {"24", "N24\x0A"},
            {"23", "N23\x0A"}, {"30", "N30\x0A"}, {"22", "N22\x0A"}, {"32", "N32\x0A"},
            {"35", "N35\x0A"}, {"00", "N00\x0A"}}},
        {C, In, T1, 0, false, {{"31", "P31>"}}},
        {C, In, Pas, 0, false, {{"31", "P317"}}},
        {C, In, ChipKind::None, 0, false, {{"31", "P319"}}},
        {C, In, Mem, 1, false, {{"31", "P31<"}}},
        {C, In, Mem, 3, false, {{"31", "P311"}}},
        {C, In, Mem, 0, false, {{"31", "P31;"}, {"D0", "ND0\x60"}, {S({'C', '0', 0, 4}), "NC0\x03"},
            {"C0", "PC0\xA2\x13\x10\x91"}, {S({'C', '0', 0, 4}), S({'P', 'C', '0', 0, 1, 2, 3})}}},
        {C, In, Mem, 4, false, {{"31", "P312"}, {"C0", "NC0\x60"}, // powered by detection
            {S({'>', '0', '5', '0', 4, 2}), S({'P', '>', '0', 4, 5})}}},
        // clang-format on
    };
    for (const auto& s : scenes) {
        SCOPED_TRACE(s.steps.front().first + " ... " + s.steps.back().first);
        Host h = Reader(s.family, s.pos, s.chip, s.slot, s.jam);
        h.Script(s.steps);
    }
}

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
    EXPECT_EQ(S({'P', '7', '6', '0', 49, '1', 0, '0', static_cast<int>(k.track3.size())}) +
                  k.track1 + k.track3,
              c.Cmd("76"));
}

// Chip exchanges through the readers: family A doubles DLE bytes both ways;
// long replies come in pieces (A "CF1" status 21 then "CF3", B "CI3" status
// '5' then "CI7"); family C frames APDUs with a length.
TEST(Readers, ChipExchanges) {
    Host a = Reader(A, In);
    const std::string atr = ToText(a.m().tCard().Answer());
    EXPECT_EQ(0x60, atr.at(1) & 0xF0); // the format byte tells T=0
    EXPECT_EQ("PC202" + atr, a.Cmd("CC2"));
    EXPECT_EQ("PF002\x61\x1D", a.Cmd(H("43 46 30 00 A4 04 00 07 A0 00 00 00 03 10 10 00")));
    EXPECT_EQ("10 02 50 46 30 30 32 10 10 11 90 00 10 03 " +
                  Hex({'P' ^ 'F' ^ '0' ^ '0' ^ '2' ^ 0x10 ^ 0x11 ^ 0x90 ^ 0x03}),
              Hex(a.Raw(H("43 46 30 00 B0 00 10 02")).reply)); // READ BINARY at 0x10: DLE first

    Host a1 = Reader(A, In, T1);
    EXPECT_EQ(0xE0, a1.Cmd("CC2").at(6) & 0xF0); // the format byte tells T=1
    EXPECT_EQ("NF001", a1.Cmd(H("43 46 30 00 84 00 00 08")));
    Bytes first = ToBytes("CF2");
    first.resize(363, 0x00); // a block the reader keeps until "CF1"
    EXPECT_EQ("PF202", a1.Cmd(first));
    a1.Script({{"CC6", "P*"}, {"CC2", "P*"}}); // power-off drops the kept block
    const std::string piece = a1.Cmd(H("43 46 31 00 B0 00 00 00"));
    EXPECT_EQ("PF121", piece.substr(0, 5));
    EXPECT_EQ(5 + 257u, piece.size()); // 256 bytes and the first of the next piece
    EXPECT_EQ('\x90', piece.back());
    a1.Script({{"CF3", std::string("PF302\x90\x00", 7)}, {"CF3", "NF301"}});

    Host b = Reader(Bf, In);
    EXPECT_EQ("P@002", b.Cmd("C@0"));
    const std::string atrB = b.Cmd("CI0").substr(5);
    EXPECT_EQ("PI802" + atrB, b.Cmd("CI8"));
    EXPECT_EQ("PI302\x61\x1D", b.Cmd(H("43 49 33 00 A4 04 00 05 A0 00 00 00 03")));
    const std::string part = b.Cmd(H("43 49 33 00 B0 00 00 00"));
    EXPECT_EQ("PI502", part.substr(0, 5));
    EXPECT_EQ(5 + 256u, part.size());
    b.Script({{"CI7", std::string("PI702\x90\x00", 7)},
              {"CI7", "NI702"},
              {S({'C', 'I', '4', 0, 0x84, 0, 0, 8}), "NI402"},
              {"CI1", "PI102"},
              {"C@2", "P@202"}});
    Host b1 = Reader(Bf, In, T1);
    EXPECT_EQ(0xE0, b1.Cmd("CI0").at(6) & 0xF0);
    EXPECT_EQ("PI502", b1.Cmd(H("43 49 35 00 A4 04 00 07 A0 00")));
    EXPECT_EQ("PI602\x6F", b1.Cmd(H("43 49 36 00 00 03 10 10 00")).substr(0, 6));

    for (const bool t1 : {false, true}) {
        Host c = Reader(C, In, t1 ? T1 : T0);
        const std::string answer = ToText(c.m().tCard().Answer());
        EXPECT_EQ("P40", c.Cmd("40"));
        EXPECT_EQ(S({'P', '9', '0', static_cast<int>(answer.size()) + 1, t1}) + answer,
                  c.Cmd("90"));
        const char code = t1 ? '4' : '3', other = t1 ? '3' : '4';
        Bytes cmd = H("39 00 00 0A 00 A4 04 00 05 A0 00 00 00 03");
        cmd[1] = code;
        const std::string r = c.Cmd(cmd).substr(3);
        EXPECT_EQ(r.size() - 2, static_cast<size_t>(static_cast<uint8_t>(r.at(0)) << 8 |
                                                    static_cast<uint8_t>(r.at(1))));
        EXPECT_EQ(t1 ? 0x90 : 0x61, static_cast<uint8_t>(r.at(r.size() - 2)));
        cmd[3] = 0x0B; // length field one too many
        EXPECT_EQ(S({'N', '9', code, 2}), c.Cmd(cmd));
        EXPECT_EQ(S({'N', '9', other, 3}), c.Cmd(B({'9', other, 0x00, 0x02, 0x00, 0x00})));
        EXPECT_EQ("P91", c.Cmd("91"));
    }
    Host m = Reader(C, In, Mem);
    m.Script({{"C0", "P*"}, {S({'C', '8', 1, 0x7F}), "P*"}}); // a memory write
    EXPECT_EQ(0x7F, m.m().tCard().memory[1]);
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
