#include "support/scripted_reader.h"

using namespace quillon;

namespace {
tIdcTracks Filled() {
    tIdcTracks t;
    std::memset(&t, 0xAB, sizeof t);
    return t;
}
} // namespace

using TracksChipA = ReaderA;

TEST_F(TracksChipA, ReadTrack) {
    const std::string a79(79, 'a'), c107(107, 'c'), x = "\xAB";
    const std::string d = P("x000000085010003" + a79 + "bbbbbb2222222222333");
    // Reply; result and code; lengths (none: track record untouched); first bytes of the
    // three areas. A reply without three-digit lengths is broken: DLE EOT follows it.
    // clang-format off
    const std::tuple<std::string, int, int, std::vector<uint32_t>, Texts> rows[] = {
        {P("x000101076000000" + std::string(76, 'a')), 0, 1201, {76, 0, 0},
         {std::string(76, 'a') + x + x + x + x, x, x}},
        // 85 stated, 79 taken: track 2 still starts 85 bytes in.
        {d, 0, 1201, {79, 10, 3}, {a79 + x, std::string(10, '2') + x, "333" + x}},
        // Lengths beyond the area, and beyond the bytes the reader sent.
        {P("x000000002005999AAbbbbb" + c107 + "c"), 0, 1201, {2, 5, 107},
         {"AA" + x, "bbbbb" + x, c107 + x}},
        {P("x000000003999009AAA0123"), 0, 1201, {3, 4, 0}, {"AAA" + x, "0123" + x, x}},
        {P("x000000000004000" "2222"), 0, 1201, {0, 4, 0}, {x, "2222" + x, x}},
        {P("x010203005000000hello"), 1249, 1201, {}, {}}, // no status "00"
        {P("x0000000a5000000hello"), 1, 1299, {}, {}},
        {P("x000000005 00000hello"), 1, 1299, {}, {}},
        {P("x00000000500000"), 1, 1299, {}, {}}, // the last digit missing
    };
    // clang-format on
    for (const auto& [reply, result, code, lens, areas] : rows) {
        SCOPED_TRACE(reply.substr(0, 21));
        Replies({reply});
        tIdcTracks t = Filled(), untouched = Filled();
        tDevReturn r = Rec();
        EXPECT_EQ(result, Into(a.ReadTrack(&t), r));
        EXPECT_RECORD(r, code, code == 1201 ? 0 : 1);
        EXPECT_EQ((Texts{"C6a7/15000"}), Transcript());
        EXPECT_EQ(code == 1299, line->Writes().back() == B({0x10, 0x04}));
        if (lens.empty()) {
            EXPECT_EQ(0, std::memcmp(&untouched, &t, sizeof t));
            continue;
        }
        EXPECT_EQ(lens, (std::vector<uint32_t>{t.uiLen1, t.uiLen2, t.uiLen3}));
        EXPECT_EQ(areas, (Texts{std::string(t.abTrack1, t.abTrack1 + areas[0].size()),
                                std::string(t.abTrack2, t.abTrack2 + areas[1].size()),
                                std::string(t.abTrack3, t.abTrack3 + areas[2].size())}));
    }
}

TEST_F(TracksChipA, WriteTrack) {
    // Lengths before; replies; result and code; commands sent; lengths after; the record's text.
    using Lengths = std::vector<uint32_t>;
    // clang-format off
    const std::tuple<Lengths, Texts, int, int, Texts, Lengths, std::string> rows[] = {
        {{0, 0, 0}, {}, 1, 1224, {}, {0, 0, 0}, "xxxxxx"},
        // The second fails: its length becomes 0, its code and reply text stay (not the
        // later reply's).
        {{3, 10, 4}, {P(), N("40"), P("abc")}, 1, 1245,
         {"C71ABC/20000", "C720123456789/20000", "C73WXYZ/20000"}, {3, 0, 4}, "N0040x"},
        {{6, 0, 0}, {P()}, 0, 1201, {"C71AB/20000"}, {6, 0, 0}, "P0000x"}, // a zero byte ends the command
    };
    // clang-format on
    for (const auto& [before, replies, result, code, sent, after, text] : rows) {
        SCOPED_TRACE(sent.size());
        Replies(replies);
        tIdcTracks t = Filled();
        t.uiLen1 = before[0], t.uiLen2 = before[1], t.uiLen3 = before[2];
        std::memcpy(t.abTrack1, before[0] == 6 ? "AB\0CDE" : "ABCCDE", 6);
        std::memcpy(t.abTrack2, "0123456789", 10);
        std::memcpy(t.abTrack3, "WXYZ", 4);
        tDevReturn r = Rec();
        EXPECT_EQ(result, Into(a.WriteTrack(&t), r));
        EXPECT_RECORD(r, code, code == 1201 ? 0 : 1);
        EXPECT_EQ(sent, Transcript());
        EXPECT_EQ(after, (std::vector<uint32_t>{t.uiLen1, t.uiLen2, t.uiLen3}));
        EXPECT_EQ(text, std::string(r.acReplyText, 6));
    }
}

TEST_F(TracksChipA, ActivationAndSwitchOff) {
    const char* tries[] = {"CC2",  "CC2",  "Ce11", "Ce11", "Cm20",
                           "Cm21", "Cm22", "Cm23", "Cm24", "Cm25"};
    // Type passed in; "CC0" accepted; tries refused before one answers; its answer (none: no
    // try answers); type found; switch-off command.
    const std::tuple<uint32_t, bool, size_t, Bytes, uint32_t, const char*> rows[] = {
        {9, true, 0, B({0x3B, 0x65, 0x01}), 0, "CC6"},
        {9, true, 0, B({0x3B, 0xE2, 0x01}), 1, "CC6"},
        {9, true, 0, B({0x3B, 0x92}), 255, "CC6"},
        {9, true, 2, B("ABCDEF"), 2, "Ce21"},
        {9, true, 4, B({0xA2, 0x13, 0x10, 0x01}), 4, "Cm6"},
        {9, true, 7, B({0x92, 0x23, 0x10}), 5, "Cm6"},
        {9, true, 8, B({1, 2}), 8, "Cm6"},
        {0, true, 9, B({1, 2}), 9, "CC6"},
        {9, true, 10, {}, 255, "CC6"},
        {1, false, 0, {}, 255, "CC6"},
        {3, false, 0, {}, 3, "Ce21"},
    };
    for (const auto& [typeIn, prepared, refused, answer, found, off] : rows) {
        SCOPED_TRACE(std::to_string(refused) + " refused, type " + std::to_string(found));
        OSerialReaderA d(&comm);
        Replies({prepared ? P() : N("60")});
        for (size_t i = 0; prepared && i < refused; ++i)
            Reader(N("60"));
        if (!answer.empty())
            reader.push_back(Cat({B("P0000"), answer}));
        uint8_t atr[IDC_CHIP_REPLY_MAX];
        uint32_t len = 77, type = typeIn;
        tDevReturn r = Rec();
        const int result = answer.empty() ? 1 : 0;
        EXPECT_EQ(result, Into(d.ChipPower(1, uintptr_t(atr), uintptr_t(&len), &type), r));
        EXPECT_EQ(found, type);
        EXPECT_EQ(found, d.tStatus().usField[9]);
        Texts expected = {"CC0/20000"};
        for (size_t i = 0; prepared && i < refused + (result ? 0 : 1); ++i)
            expected.push_back(std::string(tries[i]) + "/10000");
        EXPECT_EQ(expected, Transcript());
        if (!prepared || !result) {
            EXPECT_EQ(Hex(answer), Hex(Bytes(atr, atr + len)));
        }

        // Switch-off by the stored type, whatever the reader says.
        Replies({N("60")});
        type = 7;
        EXPECT_EQ(1, Into(d.ChipPower(3, 0, 0, &type), r));
        EXPECT_EQ((Texts{std::string(off) + "/10000"}), Transcript());
        EXPECT_EQ((std::vector<int>{255, 255, 2}),
                  (std::vector<int>{int(type), d.tStatus().usField[9], d.tStatus().usField[8]}));
    }
}

TEST_F(TracksChipA, ChipExchanges) {
    std::vector<uint8_t> apdu(IDC_CHIP_REPLY_MAX + 1), reply(IDC_CHIP_REPLY_MAX);
    for (size_t i = 0; i < apdu.size(); ++i)
        apdu[i] = static_cast<uint8_t>('A' + i % 26);
    uint32_t len = 0;
    tDevReturn r = Rec();
    EXPECT_EQ(1, Into(a.ChipIO(0, apdu.data(), 5, reply.data(), &len), r)); // no chip activated
    EXPECT_RECORD(r, 1267, 1);
    EXPECT_TRUE(line->Writes().empty());

    // T0 of the "CC2" answer (type 0 or 1); bytes; replies; code; commands with their sizes;
    // reply data handed back. The longest command goes in eleven full blocks and a last.
    Texts longest(11, P()), longestSent(11, "CF2 363");
    longest.push_back(P("ok")), longestSent.push_back("CF1 139");
    // clang-format off
    const std::tuple<uint8_t, int, Texts, int, Texts, std::string> rows[] = {
        {0x65, 5, {P("r0")}, 1201, {"CF0 8"}, "r0"},
        {0xE2, 1000, {P(), P(), P("ok")}, 1201, {"CF2 363", "CF2 363", "CF1 283"}, "ok"},
        {0xE2, 360, {P(), P("ok")}, 1201, {"CF2 363", "CF1 3"}, "ok"},
        {0xE2, 4, {"P0021" "0123456789", P("abcde")}, 1201, {"CF1 7", "CF3 3"}, "012345678abcde"},
        {0xE2, 1000, {N("60")}, 1260, {"CF2 363"}, ""},
        {0xE2, 4, {"P0021" "0123", N("60")}, 1260, {"CF1 7", "CF3 3"}, "012"},
        {0xE2, IDC_CHIP_REPLY_MAX, longest, 1201, longestSent, "ok"},
        {0xE2, IDC_CHIP_REPLY_MAX + 1, {}, 1224, {}, ""}, // longer than any chip reply: unsent
    };
    // clang-format on
    for (const auto& [t0, n, replies, code, commands, data] : rows) {
        SCOPED_TRACE(n);
        OSerialReaderA d(&comm);
        reader.push_back(B(P()));
        reader.push_back(Cat({B("P0000"), B({0x3B, t0, 0x11})}));
        uint8_t atr[IDC_CHIP_REPLY_MAX];
        uint32_t type = 0;
        ASSERT_EQ(0, Into(d.ChipPower(1, uintptr_t(atr), uintptr_t(&len), &type), r));
        Replies(replies);
        len = 0;
        r = Rec();
        EXPECT_EQ(code == 1201 ? 0 : 1, Into(d.ChipIO(0, apdu.data(), n, reply.data(), &len), r));
        EXPECT_RECORD(r, code, code == 1201 ? 0 : 1);
        Texts sent;
        std::string payload; // the caller's bytes, block after block
        for (const std::string& c : Transcript()) {
            EXPECT_EQ("/10000", c.substr(c.size() - 6));
            sent.push_back(c.substr(0, 3) + " " + std::to_string(c.size() - 6));
            payload += c.substr(3, c.size() - 9);
        }
        EXPECT_EQ(commands, sent);
        EXPECT_EQ(std::string(apdu.begin(), apdu.begin() + static_cast<long>(payload.size())),
                  payload);
        EXPECT_EQ(data, std::string(reply.begin(), reply.begin() + len));
    }
}

// The chip type found at activation decides the reset command (the answer's
// leading bytes that are not the chip's dropped) and the exchange command;
// some types have neither.
TEST_F(TracksChipA, ResetAndExchangeByChipType) {
    // Activation tries refused before one answers, and its answer (the type follows);
    // the reset's reply ("": none sent) and the answer handed back; the code of the reset;
    // ChipIO: command bytes, the command sent ("": none), result.
    // clang-format off
    const std::tuple<size_t, Bytes, std::string, std::string, int, int, std::string, int> rows[] = {
        {0, B({0x3B, 0x65}), P("1" "ATR0"), "ATR0", 1201, 4, "CF0", 0},
        {2, B("ce"), P("hdr" "ATR2"), "ATR2", 1201, 4, "", 0},          // type 2: no exchange
        {3, B("ce"), P("hdr"), "", 1201, 4, "", 0},                      // type 3
        {4, B({1, 2}), "", "", 1267, 253, "Cm7", 0},                     // memory: no reset
        {9, B({1, 2}), "", "", 1267, 254, "", 1},                        // beyond a memory command
    };
    // clang-format on
    std::vector<uint8_t> apdu(300, 'q'), reply(IDC_CHIP_REPLY_MAX);
    for (const auto& [refused, atr, resetReply, answer, resetCode, n, sent, ioResult] : rows) {
        SCOPED_TRACE(refused);
        OSerialReaderA d(&comm);
        Replies({P()});
        for (size_t i = 0; i < refused; ++i)
            Reader(N("60"));
        reader.push_back(Cat({B("P0000"), atr}));
        uint8_t buf[IDC_CHIP_REPLY_MAX];
        uint32_t len = 0, type = 9;
        tDevReturn r = Rec();
        ASSERT_EQ(0, Into(d.ChipPower(1, uintptr_t(buf), uintptr_t(&len), &type), r));
        Replies(resetReply.empty() ? Texts{} : Texts{resetReply});
        EXPECT_EQ(resetCode == 1201 ? 0 : 1,
                  Into(d.ChipPower(2, uintptr_t(buf), uintptr_t(&len), &type), r));
        EXPECT_RECORD(r, resetCode, resetCode == 1201 ? 0 : 1);
        EXPECT_EQ(resetReply.empty() ? 0u : 1u, Transcript().size());
        if (!resetReply.empty()) {
            EXPECT_EQ(answer, std::string(buf, buf + len));
        }
        Replies({P("io")});
        r = Rec();
        EXPECT_EQ(ioResult, Into(d.ChipIO(0, apdu.data(), n, reply.data(), &len), r));
        const Texts transcript = Transcript();
        EXPECT_EQ(sent.empty() ? 0u : 1u, transcript.size());
        if (!sent.empty()) {
            EXPECT_EQ(sent + std::string(size_t(n), 'q') + "/10000", transcript[0]);
        } else {
            EXPECT_EQ(ioResult ? Codes(1224, 1) : Codes(7, 7), Codes(r)); // refused, or untouched
        }
    }
    // No chip at all: the reset is refused and sends nothing.
    OSerialReaderA d(&comm);
    uint8_t buf[8];
    uint32_t len = 0, type = 0;
    tDevReturn r = Rec();
    EXPECT_EQ(1, Into(d.ChipPower(2, uintptr_t(buf), uintptr_t(&len), &type), r));
    EXPECT_RECORD(r, 1267, 1);
    EXPECT_EQ(1, Into(d.ChipPower(2, 0, uintptr_t(&len), &type), r)); // nowhere to answer
    EXPECT_RECORD(r, 1224, 1);
    EXPECT_TRUE(Transcript().empty());
}

// A T=1 reply that goes on ("P21", the last byte of each piece not data) ends with 1299 when
// the reader never stops, or when the pieces would overflow the caller's buffer (what fitted
// is kept); pieces that fill the buffer exactly are the whole reply.
TEST_F(TracksChipA, ContinuationLimits) {
    std::string data; // the reply, 1000 bytes to a continued piece
    for (int i = 0; i < IDC_CHIP_REPLY_MAX; ++i)
        data += static_cast<char>('!' + i % 90);
    Texts pieces;
    for (size_t k = 0; k < 4; ++k)
        pieces.push_back("P0021" + data.substr(1000 * k, 1000) + "#");
    const auto then = [&](const std::string& last) {
        Texts all = pieces;
        all.push_back(last);
        return all;
    };
    // The reader's pieces (the last one again and again); result; length kept.
    const std::tuple<Texts, int, uint32_t> rows[] = {
        {{"P0021"}, 1, 0},
        {then("P0021" + data.substr(4000) + "#"), 1, IDC_CHIP_REPLY_MAX}, // one byte too many
        {then(P(data.substr(4000))), 0, IDC_CHIP_REPLY_MAX},
    };
    for (const auto& [script, result, kept] : rows) {
        SCOPED_TRACE(script.back().substr(0, 8));
        OSerialReaderA d(&comm);
        line->responder = [this](const Bytes& w) { return Answer(w); };
        Replies({P(), P(std::string("\x3B\xE2", 2))});
        uint8_t buf[IDC_CHIP_REPLY_MAX];
        uint32_t len = 0, type = 0;
        tDevReturn r = Rec();
        ASSERT_EQ(0, Into(d.ChipPower(1, uintptr_t(buf), uintptr_t(&len), &type), r));
        std::deque<std::string> next(script.begin(), script.end());
        line->responder = [&](const Bytes& w) {
            if (IsA(w))
                return kAck;
            if (w != kEnq)
                return Bytes{};
            const Bytes f = FrameA(B(next.front()));
            if (next.size() > 1)
                next.pop_front();
            return f;
        };
        std::vector<uint8_t> reply(IDC_CHIP_REPLY_MAX + 16, 0xEE);
        EXPECT_EQ(result, Into(d.ChipIO(0, B("cmd").data(), 3, reply.data(), &len), r));
        EXPECT_RECORD(r, result ? 1299 : 1201, result);
        EXPECT_EQ(kept, len);
        EXPECT_EQ(data.substr(0, kept), std::string(reply.begin(), reply.begin() + len));
        EXPECT_EQ(0xEE, reply[IDC_CHIP_REPLY_MAX]); // never beyond the caller's buffer
    }
}
