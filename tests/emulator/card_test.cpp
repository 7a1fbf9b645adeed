// The simulated card: its chip's APDU answers and the card's way through
// the reader.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

namespace {
const Bytes kSelectVisa =
    B({0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10});
const size_t kFciLen = 29; // 6F len | 84 07 aid | A5 len | 50 0B "VISA CREDIT" | 87 01 01
} // namespace

TEST(Chip, ApduAnswersInSequence) {
    struct Step {
        Bytes apdu;
        Bytes sw; // the last two bytes expected
        size_t length;
    };
    struct Row {
        const char* name;
        ChipKind kind;
        std::vector<Step> steps;
    } rows[] = {
        {"T=0 select, then get response",
         ChipKind::ProcessorT0,
         {{kSelectVisa, B({0x61, 29}), 2},
          {B({0x00, 0xC0, 0x00, 0x00, 29}), B({0x90, 0x00}), kFciLen + 2}}},
        {"T=0 wrong Le, then the right one",
         ChipKind::ProcessorT0,
         {{kSelectVisa, B({0x61, 29}), 2},
          {B({0x00, 0xC0, 0x00, 0x00, 0x40}), B({0x6C, 29}), 2},
          {B({0x00, 0xC0, 0x00, 0x00, 29}), B({0x90, 0x00}), kFciLen + 2}}},
        {"T=0 short Le takes part of the response",
         ChipKind::ProcessorT0,
         {{kSelectVisa, B({0x61, 29}), 2},
          {B({0x00, 0xC0, 0x00, 0x00, 20}), B({0x61, 9}), 22},
          {B({0x00, 0xC0, 0x00, 0x00, 9}), B({0x90, 0x00}), 11}}},
        {"T=0 another command drops the response",
         ChipKind::ProcessorT0,
         {{kSelectVisa, B({0x61, 29}), 2},
          {B({0x00, 0x84, 0x00, 0x00, 0x08}), B({0x90, 0x00}), 10},
          {B({0x00, 0xC0, 0x00, 0x00, 29}), B({0x69, 0x85}), 2}}},
        {"T=1 select answers at once",
         ChipKind::ProcessorT1,
         {{kSelectVisa, B({0x90, 0x00}), kFciLen + 2}}},
        {"select by partial name and by the PSE name",
         ChipKind::ProcessorT1,
         {{B({0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0x00, 0x00, 0x00, 0x03}), B({0x90, 0x00}),
           kFciLen + 2},
          {[] {
               Bytes b = B({0x00, 0xA4, 0x04, 0x00, 14});
               Bytes pse = ToBytes("1PAY.SYS.DDF01");
               b.insert(b.end(), pse.begin(), pse.end());
               return b;
           }(),
           B({0x90, 0x00}), 25}}},
        {"errors",
         ChipKind::ProcessorT0,
         {{B({0x00, 0xA4, 0x04, 0x00, 0x02, 0xB0, 0x00}), B({0x6A, 0x82}), 2},
          {B({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}), B({0x6A, 0x86}), 2},
          {B({0x00, 0x84, 0x00, 0x00, 0x05}), B({0x6C, 0x08}), 2},
          {B({0x00, 0xB0, 0x01, 0x00, 0x01}), B({0x6B, 0x00}), 2},
          {B({0x00, 0xC0, 0x00, 0x00, 0x10}), B({0x69, 0x85}), 2},
          {B({0x00, 0x12, 0x00, 0x00}), B({0x6D, 0x00}), 2},
          {B({0xA0, 0xA4, 0x04, 0x00}), B({0x6E, 0x00}), 2},
          {B({0x00, 0xA4}), B({0x67, 0x00}), 2}}},
        {"read binary, whole file",
         ChipKind::ProcessorT0,
         {{B({0x00, 0xB0, 0x00, 0x00, 0x00}), B({0x90, 0x00}), 258},
          {B({0x00, 0xB0, 0x00, 0xF0, 0x20}), B({0x6C, 0x10}), 2}}},
    };
    for (const Row& r : rows) {
        Card card = Card::Default();
        card.chip = r.kind;
        ChipSim chip;
        for (size_t i = 0; i < r.steps.size(); ++i) {
            const Step& s = r.steps[i];
            const Bytes got = chip.Apdu(card, s.apdu);
            ASSERT_GE(got.size(), 2u) << r.name << " step " << i;
            EXPECT_EQ(Hex(s.sw), Hex(Bytes(got.end() - 2, got.end()))) << r.name << " step " << i;
            EXPECT_EQ(s.length, got.size()) << r.name << " step " << i;
        }
    }
}

TEST(Chip, AnswerToResetFormatByteTellsTheProtocol) {
    const Bytes t0 = Card::DefaultAtr(ChipKind::ProcessorT0, 0);
    const Bytes t1 = Card::DefaultAtr(ChipKind::ProcessorT1, 0);
    EXPECT_EQ(0x3B, t0[0]);
    EXPECT_EQ(0x60, t0[1] & 0xF0);
    EXPECT_EQ(t0.size(), 4u + (t0[1] & 0x0F)); // TS T0 TB1 TC1 + historical bytes
    EXPECT_EQ(0x3B, t1[0]);
    EXPECT_EQ(0xE0, t1[1] & 0xF0);
    EXPECT_EQ(t1.size(), 9u + (t1[1] & 0x0F));         // + TD1 TD2 TA3 TB3 TCK
    EXPECT_EQ(0, XorOf(t1.data() + 1, t1.size() - 1)); // TCK
    const Bytes memory = Card::DefaultAtr(ChipKind::Memory, 0);
    EXPECT_EQ(Hex(B({0xA2, 0x13, 0x10})), Hex(Bytes(memory.begin(), memory.begin() + 3)));
}

TEST(Chip, DefaultTracksHaveTheirFormat) {
    const Card c = Card::Default();
    EXPECT_EQ("%B", c.track1.substr(0, 2));
    EXPECT_EQ('?', c.track1.back());
    EXPECT_LE(c.track1.size(), 79u);
    EXPECT_EQ(';', c.track2[0]);
    EXPECT_LE(c.track2.size(), 40u);
    EXPECT_LE(c.track3.size(), 107u);
    EXPECT_EQ(std::string::npos, c.track3.find_first_not_of(";=?0123456789"));
}

TEST(CardWay, InsertRemoveEjectRetain) {
    Options o;
    o.entryDelay = 100;
    ReaderModel m(o);
    EXPECT_FALSE(m.RemoveCard());
    m.InsertCard(0);
    EXPECT_EQ(CardPosition::Gate, m.Position()); // entry not enabled: stays at the gate
    m.Advance(1000);
    EXPECT_EQ(CardPosition::Gate, m.Position());
    EXPECT_TRUE(m.RemoveCard());
    m.EnableEntry(1, 1000);
    m.InsertCard(1050);
    m.Advance(1149);
    EXPECT_EQ(CardPosition::Gate, m.Position());
    m.Advance(1150);
    EXPECT_EQ(CardPosition::Inside, m.Position());
    EXPECT_FALSE(m.EntryEnabled());
    EXPECT_FALSE(m.RemoveCard());
    m.active = ChipKind::ProcessorT0;
    EXPECT_TRUE(m.Eject());
    EXPECT_EQ(ChipKind::None, m.active);
    EXPECT_TRUE(m.Retain()); // from the gate too
    EXPECT_EQ(CardPosition::Retained, m.Position());
    EXPECT_FALSE(m.Retain());
    EXPECT_EQ(1u, m.counters.cardsIn);
    EXPECT_EQ(1u, m.counters.ejects);
    EXPECT_EQ(1u, m.counters.retainBin);
}
