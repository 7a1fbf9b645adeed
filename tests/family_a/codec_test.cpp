// The family-A wire formats without a line: DLE frames, the incremental
// reply decoder and the USB reports (the reply-code map: ExchangeA tests).
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "readers/family_a/dle_codec.h"
#include "readers/family_a/hid_a_codec.h"
#include "support/scripted_line.h"

using namespace quillon;

namespace {
Bytes Encode(const Bytes& text, uint32_t size = 512) {
    Bytes out(size);
    out.resize(dle::EncodeFrame(text.data(), static_cast<uint32_t>(text.size()), out.data(), size));
    return out;
}

// Feeds the bytes in pieces of uiStep; the step the decoder ended on and the text.
std::pair<dle::OReplyDecoder::Step, std::string> Decode(const Bytes& wire, size_t uiStep) {
    dle::OReplyDecoder d;
    auto step = dle::OReplyDecoder::Step::NeedMore;
    for (size_t i = 0; i < wire.size() && step == dle::OReplyDecoder::Step::NeedMore; i += uiStep) {
        const size_t n = std::min(uiStep, wire.size() - i);
        step = d.eFeed(wire.data() + i, static_cast<uint32_t>(n));
    }
    return {step, step == dle::OReplyDecoder::Step::Frame
                      ? std::string(d.pText(), d.pText() + d.uiTextLen())
                      : std::string()};
}
} // namespace

// The frames of the longest texts: ExchangeA tests. The check byte covers the text and ETX.
TEST(DleCodec, FramesDoubleDleAndRespectTheBuffer) {
    EXPECT_EQ(Hex(B({0x10, 0x02, 0x10, 0x03, 0x03})), Hex(Encode(B(""))));
    EXPECT_EQ(Hex(B({0x10, 0x02, 'C', '4', '0', 0x10, 0x03, 0x44})), Hex(Encode(B("C40"))));
    EXPECT_EQ(Hex(B({0x10, 0x02, 'C', 0x10, 0x10, '1', 0x10, 0x03, 0x61})),
              Hex(Encode(B({'C', 0x10, '1'}))));
    EXPECT_EQ(0u, Encode(B("C40"), 7).size());
    // A lone DLE in the text, also right before the closing DLE ETX (whose DLE
    // is no partner for it); each check byte as if the pair were doubled.
    for (const Bytes& lone : {B({0x10, 0x02, 'A', 0x10, 'B', 0x10, 0x03, 0x03 ^ 'A' ^ 0x10 ^ 'B'}),
                              B({0x10, 0x02, 'A', 0x10, 0x10, 0x03, 0x03 ^ 'A'})})
        EXPECT_FALSE(dle::IsWholeFrame(lone.data(), static_cast<uint32_t>(lone.size())));
    // Every length, DLEs among the text: the frame's own check holds, and a
    // changed check byte, or a text byte changed, fails it.
    Bytes text;
    for (int len = 0; len <= 40; ++len) {
        const Bytes frame = Encode(text);
        EXPECT_TRUE(dle::IsWholeFrame(frame.data(), static_cast<uint32_t>(frame.size()))) << len;
        for (const size_t at : {frame.size() - 1, size_t{2} + len / 2}) {
            Bytes changed = frame;
            changed[at] ^= (changed[at] == 0x10 ? 0x20 : 0x01);
            EXPECT_FALSE(dle::IsWholeFrame(changed.data(), static_cast<uint32_t>(changed.size())))
                << len;
        }
        text.push_back(len % 5 == 3 ? 0x10 : uint8_t(len * 37 + 11));
    }
    EXPECT_TRUE(dle::IsAck(dle::kAck, 2));
    EXPECT_FALSE(dle::IsAck(dle::kNak, 2));
    EXPECT_FALSE(dle::IsAck(dle::kAck, 1));
}

TEST(DleCodec, DecoderTakesTheReplyInAnyPieces) {
    const Bytes withEtx = Encode(B({'P', '4', '0', '0', '0', 'A', 0x10, 0x03, 'B'}));
    // DLE ETX as data followed by the byte that matches the check so far.
    const uint8_t check = 0x03 ^ 'P' ^ '4' ^ '0' ^ '0' ^ '0' ^ 'A' ^ 0x10;
    const Bytes tricky = Encode(B({'P', '4', '0', '0', '0', 'A', 0x10, 0x03, check, 'B'}));
    // Wire bytes; step; text.
    const std::tuple<Bytes, dle::OReplyDecoder::Step, std::string> rows[] = {
        {Cat({withEtx, B("junk")}), dle::OReplyDecoder::Step::Frame,
         std::string("P4000A\x10\x03"
                     "B")},
        {tricky, dle::OReplyDecoder::Step::Frame,
         std::string("P4000A\x10\x03") + char(check) + "B"},
        {Encode(Bytes(1019, 'A'), 1024), dle::OReplyDecoder::Step::Frame, std::string(1019, 'A')},
        {Bytes(1024, 'A'), dle::OReplyDecoder::Step::Broken, ""},
        {Cat({Bytes(1022, 'A'), B({0x10, 0x03})}), dle::OReplyDecoder::Step::Broken, ""},
        {B({0x10, 0x02, 'P', 0x10, 0x03}), dle::OReplyDecoder::Step::NeedMore, ""},
    };
    for (const auto& [wire, step, text] : rows) {
        for (const size_t piece : {size_t{1}, size_t{3}, wire.size()}) {
            SCOPED_TRACE(Hex(wire).substr(0, 40) + " in pieces of " + std::to_string(piece));
            EXPECT_EQ(std::make_pair(step, text), Decode(wire, piece));
        }
    }
}

TEST(HidACodec, InputReportCarriesTheReplyText) {
    // Report; bytes read; the reply text decoded (empty: refused).
    const std::tuple<Bytes, uint32_t, std::string> rows[] = {
        {Cat({B({2, 0, 5}), B("P4000")}), 8, "P4000"},
        {Cat({B({9, 0, 7}), B("P4000ab")}), 64, "P4000ab"}, // the report ID is not checked
        {Cat({B({2, 0, 4}), B("P400")}), 64, ""},           // shorter than the header
        {Cat({B({2, 0, 7}), B("P4000ab")}), 9, ""},         // more than the report holds
        {Cat({B({2, 1, 1}), Bytes(257, 'P')}), 260, ""},    // more than the record shows
        {Cat({B({2, 1, 0}), Bytes(256, 'P')}), 259, std::string(256, 'P')},
        {B({2, 0}), 2, ""},
    };
    for (const auto& [report, count, text] : rows) {
        const uint8_t* p = nullptr;
        uint32_t len = 0;
        const bool ok = hid_a::DecodeReply(report.data(), count, &p, &len);
        EXPECT_EQ(!text.empty(), ok) << Hex(report).substr(0, 30);
        if (ok) {
            EXPECT_EQ(text, std::string(p, p + len));
        }
    }
}

TEST(HidACodec, OutputReportCarriesTheCommandText) {
    // Text; the report's head and text (empty: does not fit, nothing to send).
    const std::pair<Bytes, Bytes> rows[] = {
        {B("C11"), B({0x02, 0x00, 0x03, 'C', '1', '1'})},
        {B(""), B({0x02, 0x00, 0x00})},
        {Bytes(509, 'x'), Cat({B({0x02, 0x01, 0xFD}), Bytes(509, 'x')})}, // fills the report
        {Bytes(510, 'x'), B("")},
    };
    for (const auto& [text, head] : rows) {
        uint8_t report[hid::kCommandReportSize];
        std::memset(report, 0xEE, sizeof report);
        const uint32_t used =
            hid_a::EncodeCommand(text.data(), static_cast<uint32_t>(text.size()), report);
        EXPECT_EQ(Hex(head), Hex(Bytes(report, report + used))) << text.size();
        EXPECT_EQ(Bytes(sizeof report - used, 0), Bytes(report + used, report + sizeof report));
    }
}
