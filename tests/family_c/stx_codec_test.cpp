// The STX frame of family C (no address, the check byte always decides) and
// of the auxiliary module (address 0x46, bytes before STX passed over, ETX in
// its place ends a reply), with no line: the frames the two protocols quote,
// and a reply judged byte by byte.
#include <gtest/gtest.h>

#include <tuple>

#include "readers/stx_codec.h"
#include "support/scripted_line.h"

using quillon::StxState;
using quillon::tStxFormat;

namespace {
const tStxFormat kC = {-1, false};
const tStxFormat kModule = {0x46, true};
} // namespace

TEST(StxCodec, EncodesTheQuotedFrames) {
    const std::vector<std::tuple<tStxFormat, Bytes, const char*>> rows = {
        {kC, B("10"), "02 00 02 31 30 03 02"},
        {kC, B("00"), "02 00 02 30 30 03 03"},
        {kC, B({'9', '3', 0x00, 0x02, 0xAA, 0xBB}), "02 00 06 39 33 00 02 AA BB 03 1E"},
        {kModule, B("Q0"), "02 00 03 46 51 30 03 25"},
        {kModule, B("01"), "02 00 03 46 30 31 03 45"},
    };
    for (const auto& [format, text, frame] : rows) {
        uint8_t out[16];
        const uint32_t n = quillon::StxEncode(format, text.data(), uint32_t(text.size()), out, 16);
        EXPECT_EQ(frame, Hex(Bytes(out, out + n)));
    }
    // A frame that does not fit the area is not built: family C's 1019 text
    // bytes fill 1024, the module's 1018.
    static uint8_t text[1020], out[1024];
    EXPECT_EQ(1024u, quillon::StxEncode(kC, text, 1019, out, sizeof out));
    EXPECT_EQ(0u, quillon::StxEncode(kC, text, 1020, out, sizeof out));
    EXPECT_EQ(1024u, quillon::StxEncode(kModule, text, 1018, out, sizeof out));
    EXPECT_EQ(0u, quillon::StxEncode(kModule, text, 1019, out, sizeof out));
}

// Fed one byte at a time, a reply stays NeedMore up to its last byte, which
// decides; a frame's text is what stands behind the length and the address.
TEST(StxCodec, JudgesARepliesBytesAsTheyCome) {
    // clang-format off
    const std::vector<std::tuple<const char*, tStxFormat, Bytes, StxState, std::string>> rows = {
        {"C positive, no data", kC, B({0x02, 0, 3, 'P', '1', '0', 0x03, 0x53}), StxState::Frame, "P10"},
        {"C wrong check byte", kC, B({0x02, 0, 3, 'P', '1', '0', 0x03, 0x54}), StxState::Broken, ""},
        {"C: ETX not looked at", kC, B({0x02, 0, 3, 'P', '1', '0', 0x04, 0x54}), StxState::Frame, "P10"},
        {"module, check byte not awaited", kModule, B({'x', 0x15, 0x02, 0, 3, 0x46, 'P', '1', 0x03}), StxState::Frame, "P1"},
        {"module without ETX, check byte right", kModule, B({0x02, 0, 3, 0x46, 'P', '1', 'Z', 0x7C}), StxState::Frame, "P1"},
        {"module without ETX, check byte wrong", kModule, B({0x02, 0, 3, 0x46, 'P', '1', 'Z', 0x7D}), StxState::Broken, ""},
        {"module, other address", kModule, B({0x02, 0, 3, 0x47, 'P', '1'}), StxState::Broken, ""},
        {"module, length 0", kModule, B({0x02, 0, 0, 0x46, 0x03, 0x47}), StxState::Broken, ""},
    };
    // clang-format on
    for (const auto& [name, format, bytes, verdict, text] : rows) {
        SCOPED_TRACE(name);
        quillon::OStxDecoder decoder(format);
        for (size_t i = 0; i + 1 < bytes.size(); ++i)
            ASSERT_EQ(StxState::NeedMore, decoder.eFeed(&bytes[i], 1)) << i;
        EXPECT_EQ(verdict, decoder.eFeed(&bytes.back(), 1));
        EXPECT_EQ(Hex(bytes), Hex(Bytes(decoder.pBytes(), decoder.pBytes() + decoder.uiCount())));
        if (verdict == StxState::Frame) {
            EXPECT_EQ(text, std::string(decoder.pText(), decoder.pText() + decoder.uiTextLen()));
        }
    }
}
