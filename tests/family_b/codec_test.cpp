// The family-B wire format without a line: frames, the decoder fed as bytes
// arrive, the reply-code map, the USB reply reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "readers/family_b/b_codec.h"
#include "readers/family_b/crc16_xmodem.h"
#include "support/frames.h"

namespace famb = quillon::famb;
using famb::Decoded;

namespace {
Bytes WithCrc(const Bytes& f) { // the CRC of all before it, high byte first
    const uint16_t crc = quillon::Crc16Xmodem(f.data(), f.size());
    return Cat({f, B({crc >> 8, crc & 0xFF})});
}
// A copy with its last byte changed: a frame whose CRC no longer holds.
Bytes LastFlipped(Bytes f) {
    if (!f.empty())
        f.back() ^= 0x01;
    return f;
}
} // namespace

TEST(CodecB, CrcCheckValueAndCommandFrame) {
    const Bytes digits = B("123456789");
    EXPECT_EQ(0x31C3, quillon::Crc16Xmodem(digits.data(), digits.size()));
    // Any length, any bytes: a message followed by its own CRC checks to 0.
    Bytes msg;
    for (size_t len = 0; len < 70; ++len) {
        const Bytes whole = WithCrc(msg);
        EXPECT_EQ(0, quillon::Crc16Xmodem(whole.data(), whole.size())) << len;
        msg.push_back(uint8_t(len * 37 + 11));
    }
    uint8_t out[famb::kCommandMax + 5] = {};
    const uint32_t n = famb::EncodeFrame(B("C11").data(), 0x10003, out, sizeof out);
    EXPECT_EQ(Hex(B({0xF2, 0x00, 0x03, 'C', '1', '1', 0xD5, 0x0B})), Hex(Bytes(out, out + n)));
    // Too long a command, or a frame that does not fit: nothing to send.
    const Bytes big(famb::kCommandMax + 1, 'x');
    EXPECT_EQ(0u, famb::EncodeFrame(big.data(), uint32_t(big.size()), out, sizeof out));
    EXPECT_EQ(0u, famb::EncodeFrame(B("C11").data(), 3, out, 7));
}

// Fed in pieces of `step` bytes: the state after each, and the payload taken.
TEST(CodecB, DecoderTakesAFrameAsItArrives) {
    const Bytes good = FrameB(B("P1100DATA"));
    const Bytes badCrc = LastFlipped(good);
    Bytes badStart = good;
    badStart[0] = 0xF3;
    const std::vector<std::tuple<const char*, Bytes, size_t, Decoded, size_t>> rows = {
        // name, bytes, piece size, final state, bytes fed until it
        {"whole", good, good.size(), Decoded::Frame, good.size()},
        {"dripping", good, 1, Decoded::Frame, good.size()},
        {"bad CRC", badCrc, 1, Decoded::Broken, good.size()},
        {"bad start byte, judged when whole", badStart, 1, Decoded::Broken, good.size()},
        {"payload 4: no reply header", FrameB(B("P000")), 1, Decoded::Broken, 3},
        {"frame longer than the buffer", B({0xF2, 0x03, 0xFC}), 1, Decoded::Broken, 3},
        {"more than the frame", Cat({good, B("junk")}), 64, Decoded::Frame, good.size() + 4},
    };
    for (const auto& [name, bytes, step, final, until] : rows) {
        SCOPED_TRACE(name);
        famb::OFrameDecoder decoder;
        size_t fed = 0;
        Decoded state = Decoded::NeedMore;
        while (state == Decoded::NeedMore && fed < bytes.size()) {
            const size_t n = std::min(step, bytes.size() - fed);
            state = decoder.Feed(bytes.data() + fed, uint32_t(n));
            fed += n;
        }
        EXPECT_EQ(final, state);
        EXPECT_EQ(until, fed);
        EXPECT_EQ(0u, decoder.uiWanted());
        if (final == Decoded::Frame) {
            EXPECT_EQ("P1100DATA",
                      std::string(decoder.pPayload(), decoder.pPayload() + decoder.uiPayloadLen()));
        }
    }
}

TEST(CodecB, DecoderCutShort) {
    // A head of two bytes reads as length 0x0100: the body is still wanted.
    famb::OFrameDecoder head;
    EXPECT_EQ(Decoded::NeedMore, head.Feed(B({0xF2, 0x01}).data(), 2));
    EXPECT_EQ(Decoded::NeedMore, head.CutShort());
    EXPECT_EQ(0x100u + 2, head.uiWanted());
    // A start byte alone: length 0, refused.
    famb::OFrameDecoder start;
    start.Feed(B({0xF2}).data(), 1);
    EXPECT_EQ(Decoded::Broken, start.CutShort());
    // A body cut short is judged on what came, its last two bytes as the CRC.
    const Bytes cut = WithCrc(Cat({B({0xF2, 0x00, 0x09}), B("P1100AB")})); // 9 announced, 7 came
    const Bytes cutBad = LastFlipped(cut);
    for (const auto& [bytes, state] :
         {std::make_pair(cut, Decoded::Frame), std::make_pair(cutBad, Decoded::Broken)}) {
        famb::OFrameDecoder body;
        EXPECT_EQ(Decoded::NeedMore, body.Feed(bytes.data(), uint32_t(bytes.size())));
        EXPECT_EQ(state, body.CutShort());
        if (state == Decoded::Frame) {
            EXPECT_EQ(7u, body.uiPayloadLen());
        }
    }
}

// A handful of the reader's replies; every status the map does not know gives 1221.
TEST(CodecB, ReplyCodes) {
    const std::vector<std::pair<std::string, int>> rows = {
        {"P00", 1201}, {"P01", 1202}, {"P02", 1203}, {"P03", 1221}, {"N30", 1291}, {"N50", 1297},
        {"N53", 1235}, {"N25", 1233}, {"N29", 1233}, {"N66", 1279}, {"NB0", 1236}, {"N42", 1221},
        {"N07", 1221}, {"N70", 1221}, {"N0A", 1221}, {"NB1", 1221}, {"X00", 1221},
    };
    for (const auto& [reply, code] : rows) {
        SCOPED_TRACE(reply);
        const uint16_t status = uint16_t((reply[1] << 8) | reply[2]);
        EXPECT_EQ(code, quillon::ToInt(famb::MapReply(uint8_t(reply[0]), status)));
    }
}

TEST(CodecB, TakeReplyBoundsTheData) {
    const Bytes payload = B("N1130ABCDEF");
    uint8_t data[4] = {};
    const quillon::tCommandReply r =
        famb::TakeReply(payload.data(), uint32_t(payload.size()), data, 4);
    EXPECT_EQ(quillon::Code::ResetAgain, r.eCode);
    EXPECT_EQ("N1130", std::string(r.abShown, r.abShown + r.uiShownLen));
    EXPECT_EQ("ABCD", std::string(data, data + r.uiDataLen));
    EXPECT_EQ(0u, famb::TakeReply(payload.data(), uint32_t(payload.size()), nullptr, 4).uiDataLen);
}

TEST(CodecB, HidReplyPlan) {
    // Payload length; usable, further reports, one more report that carries nothing.
    const std::vector<std::tuple<int, bool, uint32_t, bool>> rows = {
        {10, true, 0, false},   {61, true, 0, true},  {200, true, 3, false},
        {1021, true, 15, true}, {4, false, 0, false}, {1022, false, 15, false},
    };
    for (const auto& [len, usable, further, spill] : rows) {
        SCOPED_TRACE(len);
        const uint8_t first[3] = {0x04, uint8_t(len >> 8), uint8_t(len)};
        const famb::tHidPlan plan = famb::PlanHidReply(first, 1024);
        EXPECT_EQ(usable, plan.bUsable);
        EXPECT_EQ(uint32_t(len), plan.uiPayloadLen);
        if (usable) {
            EXPECT_EQ(std::make_pair(further, spill), std::make_pair(plan.uiFurther, plan.bSpill));
        }
    }
}
