// The simulated card: its chip's APDU answers and its way through the reader.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

// Each row a fresh chip and APDUs in a row: the reply's status word and length.
TEST(Chip, ApduAnswersInSequence) {
    const std::string select = "00 A4 04 00 07 A0 00 00 00 03 10 10";
    const size_t fci = 29 + 2; // 6F len | 84 07 aid | A5 len | 50 0B "VISA CREDIT" | 87 01 01
    struct Step {
        std::string apdu, sw;
        size_t length;
    };
    const std::pair<ChipKind, std::vector<Step>> rows[] = {
        // clang-format off
        {ChipKind::ProcessorT0, {{select, "61 1D", 2}, {"00 C0 00 00 40", "6C 1D", 2}, // wrong Le
            {"00 C0 00 00 1D", "90 00", fci}}},
        {ChipKind::ProcessorT0, {{select, "61 1D", 2}, {"00 C0 00 00 14", "61 09", 22}, // short Le
            {"00 C0 00 00 09", "90 00", 11}}},
        {ChipKind::ProcessorT0, {{select, "61 1D", 2}, {"00 84 00 00 08", "90 00", 10},
            {"00 C0 00 00 1D", "69 85", 2}}}, // another command drops the response
        {ChipKind::ProcessorT1, {{select, "90 00", fci}, // by full and partial name, PSE
            {"00 A4 04 00 05 A0 00 00 00 03", "90 00", fci},
            {"00 A4 04 00 0E " + Hex(ToBytes("1PAY.SYS.DDF01")), "90 00", 25}}},
        {ChipKind::ProcessorT0, {{"00 A4 04 00 02 B0 00", "6A 82", 2},
            {"00 A4 00 00 02 3F 00", "6A 86", 2}, {"00 84 00 00 05", "6C 08", 2},
            {"00 B0 01 00 01", "6B 00", 2}, {"00 C0 00 00 10", "69 85", 2},
            {"00 12 00 00", "6D 00", 2}, {"A0 A4 04 00", "6E 00", 2}, {"00 A4", "67 00", 2},
            {"00 B0 00 00 00", "90 00", 258}, {"00 B0 00 F0 20", "6C 10", 2}}},
        // clang-format on
    };
    for (const auto& [kind, steps] : rows) {
        Card card = Card::Default();
        card.chip = kind;
        ChipSim chip;
        for (const Step& s : steps) {
            const Bytes got = chip.Apdu(card, H(s.apdu));
            ASSERT_GE(got.size(), 2u) << s.apdu;
            EXPECT_EQ(s.sw, Hex(Bytes(got.end() - 2, got.end()))) << s.apdu;
            EXPECT_EQ(s.length, got.size()) << s.apdu;
        }
    }
}

TEST(CardWay, InsertRemoveEjectRetain) {
    ReaderModel m(Options{});
    m.InsertCard(0);
    EXPECT_TRUE(m.RemoveCard()); // from the gate only
    EXPECT_FALSE(m.RemoveCard());
    m.EnableEntry(1, 0);
    m.InsertCard(0);
    EXPECT_EQ(CardPosition::Inside, m.Position());
    EXPECT_FALSE(m.EntryEnabled() || m.RemoveCard());
    m.active = ChipKind::ProcessorT0;
    EXPECT_TRUE(m.Eject());
    EXPECT_EQ(ChipKind::None, m.active); // the chip loses power
    EXPECT_TRUE(m.Retain());             // from the gate too
    EXPECT_FALSE(m.Retain());
    EXPECT_EQ(CardPosition::Retained, m.Position());
    EXPECT_EQ(1u, m.counters.cardsIn);
    EXPECT_EQ(1u, m.counters.ejects);
    EXPECT_EQ(1u, m.counters.retainBin);
}

// A held entry waits for the test, however much time passes.
TEST(CardWay, HeldEntryGoesInOnlyWhenLetIn) {
    Options o;
    o.entryDelay = kForever;
    ReaderModel m(o);
    EXPECT_FALSE(m.LetCardIn()); // nothing pending
    m.InsertCard(0);
    m.EnableEntry(1, 0);
    m.Advance(1000000000);
    EXPECT_EQ(CardPosition::Gate, m.Position());
    EXPECT_TRUE(m.LetCardIn());
    EXPECT_EQ(CardPosition::Inside, m.Position());
    EXPECT_FALSE(m.LetCardIn());
    EXPECT_EQ(1u, m.counters.cardsIn);
}
