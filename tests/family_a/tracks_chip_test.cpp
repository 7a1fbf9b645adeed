#include "reader_a_fixture.h"

namespace {

tIdcTracks Filled() {
    tIdcTracks t;
    std::memset(&t, 0xAB, sizeof t);
    return t;
}
} // namespace

class TracksChipA : public ReaderA {
protected:
    // Reader commands as sent (binary texts included).
    std::vector<std::string> Sent() {
        std::vector<std::string> out;
        for (const Bytes& w : line->Writes())
            if (w.size() > 2 && w[0] == 0x10 && w[1] == 0x02)
                out.push_back(TextOfA(w));
        return out;
    }
    // Activation where "CC2" answers with this T0 byte.
    void Activate(OSerialReaderA& d, uint8_t t0) {
        Reader(P());
        Reader("P0000", B({0x3B, t0, 0x11}));
        uint8_t atr[IDC_CHIP_REPLY_MAX];
        uint32_t len = 0, type = 0;
        tDevReturn r = Rec();
        ASSERT_EQ(0, d.ChipPower(1, reinterpret_cast<uintptr_t>(atr),
                                 reinterpret_cast<uintptr_t>(&len), &type, &r));
        line->events.clear();
    }
    OSerialReaderA a{&comm};
};

TEST_F(TracksChipA, ReadTrack) {
    const std::string a79(79, 'a');
    struct Row {
        const char* name;
        std::string reply;
        int result, code;
        bool written;
        uint32_t len1, len2, len3;
        std::string t1, t2, t3; // bytes expected at the start of each area
    } rows[] = {
        // clang-format off
        {"076 000 000", P("x000101" "076000000" + std::string(76, 'a')), 0, 1201, true, 76, 0, 0,
         std::string(76, 'a') + "\xAB\xAB\xAB\xAB", "\xAB", "\xAB"},
        {"085: 79 copied, track 2 from d[101]", P("x000000" "085010003" + a79 + "bbbbbb" + "2222222222" "333"),
         0, 1201, true, 85, 10, 3, a79 + "\xAB", std::string(10, '2') + "\xAB", "333\xAB"},
        {"lengths beyond the reply", P("x000000" "999999999" "hello"), 0, 1201, true, 999, 999, 999,
         "hello" + std::string(74, '\0') + "\xAB", std::string(9, '\0'), "\xAB"},
        {"no status 00", P("x010203" "005000000" "hello"), 1249, 1201, false, 0, 0, 0, "", "", ""},
        {"reader refuses", N("40"), 1, 1245, false, 0, 0, 0, "", "", ""},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        line->events.clear();
        Reader(row.reply);
        tIdcTracks t = Filled();
        tDevReturn r = Rec();
        EXPECT_EQ(row.result, a.ReadTrack(&t, &r));
        EXPECT_RECORD(r, row.code, row.code == 1201 ? 0 : 1);
        EXPECT_EQ((Texts{"C6a7/15000"}), Transcript());
        if (!row.written) {
            const tIdcTracks untouched = Filled();
            EXPECT_EQ(0, std::memcmp(&untouched, &t, sizeof t));
            continue;
        }
        EXPECT_EQ(row.len1, t.uiLen1);
        EXPECT_EQ(row.len2, t.uiLen2);
        EXPECT_EQ(row.len3, t.uiLen3);
        EXPECT_EQ(row.t1, std::string(t.abTrack1, t.abTrack1 + row.t1.size()));
        EXPECT_EQ(row.t2, std::string(t.abTrack2, t.abTrack2 + row.t2.size()));
        EXPECT_EQ(row.t3, std::string(t.abTrack3, t.abTrack3 + row.t3.size()));
        EXPECT_EQ(0xAB, t.abTrack1[79]); // the last byte of each area is never written
        EXPECT_EQ(0xAB, t.abTrack2[40]);
        EXPECT_EQ(0xAB, t.abTrack3[107]);
    }
}

TEST_F(TracksChipA, WriteTrack) {
    struct Row {
        const char* name;
        int32_t len1, len2, len3;
        std::vector<std::string> replies;
        int result, code;
        std::vector<std::string> sent;
        uint32_t after1, after2, after3;
    } rows[] = {
        {"nothing to write", 0, 0, 0, {}, 1, 1224, {}, 0, 0, 0},
        {"negative lengths", -1, 0, -5, {}, 1, 1224, {}, 0xFFFFFFFF, 0, 0xFFFFFFFB},
        {"track 2, ten digits", 0, 10, 0, {P()}, 0, 1201, {"C720123456789"}, 0, 10, 0},
        // clang-format off
        {"three tracks, the second fails", 3, 10, 4, {P(), N("40"), P()}, 1, 1201,
         {"C71ABC", "C720123456789", "C73WXYZ"}, 3, 0, 4},
        // clang-format on
        {"zero byte ends the command", 6, 0, 0, {P()}, 0, 1201, {"C71AB"}, 6, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        line->events.clear();
        for (const std::string& s : row.replies)
            Reader(s);
        tIdcTracks t = Filled();
        t.uiLen1 = static_cast<uint32_t>(row.len1);
        t.uiLen2 = static_cast<uint32_t>(row.len2);
        t.uiLen3 = static_cast<uint32_t>(row.len3);
        std::memcpy(t.abTrack1, "AB\0CDE", 6);
        if (row.len1 != 6)
            t.abTrack1[2] = 'C';
        std::memcpy(t.abTrack2, "0123456789", 10);
        std::memcpy(t.abTrack3, "WXYZ", 4);
        tDevReturn r = Rec();
        EXPECT_EQ(row.result, a.WriteTrack(&t, &r));
        EXPECT_RECORD(r, row.code, 1201 == row.code ? 0 : 1);
        EXPECT_EQ(row.sent, Sent());
        for (const std::string& s : Transcript())
            EXPECT_EQ("/20000", s.substr(s.size() - 6));
        EXPECT_EQ(row.after1, t.uiLen1);
        EXPECT_EQ(row.after2, t.uiLen2);
        EXPECT_EQ(row.after3, t.uiLen3);
    }
}

TEST_F(TracksChipA, ActivationResetAndSwitchOff) {
    struct Row {
        const char* name;
        uint32_t typeIn;
        bool prepared;  // "CC0" accepted
        size_t refused; // tries refused before one answers
        Bytes answer;   // of the try that answers; none: no try answers
        uint32_t type;
        const char* reset; // reset command, or "" when refused with 1267
        uint32_t skip;     // answer bytes the reset drops
        const char* off;   // switch-off command
    } rows[] = {
        // clang-format off
        {"CC2: T0 6x", 9, true, 0, B({0x3B, 0x65, 0x01}), 0, "CE10", 1, "CC6"},
        {"CC2: T0 Ex", 9, true, 0, B({0x3B, 0xE2, 0x01}), 1, "CE10", 1, "CC6"},
        {"CC2: other T0", 9, true, 0, B({0x3B, 0x92}), 255, "", 0, "CC6"},
        {"Ce11", 9, true, 2, B("ABCDEF"), 2, "Ce411", 3, "Ce21"},
        {"Cm20: A2 13 10", 9, true, 4, B({0xA2, 0x13, 0x10, 0x01}), 4, "", 0, "Cm6"},
        {"Cm23: 92 23 10", 9, true, 7, B({0x92, 0x23, 0x10}), 5, "", 0, "Cm6"},
        {"Cm24: other", 9, true, 8, B({1, 2}), 8, "", 0, "Cm6"},
        {"Cm25: other", 0, true, 9, B({1, 2}), 9, "", 0, "CC6"},
        {"nothing answers", 9, true, 10, {}, 255, "", 0, "CC6"},
        {"CC0 fails, type 1 passed in", 1, false, 0, {}, 255, "", 0, "CC6"},
        {"CC0 fails, type 3 passed in", 3, false, 0, {}, 3, "Ce411", 3, "Ce21"},
        // clang-format on
    };
    const char* tries[] = {"CC2",  "CC2",  "Ce11", "Ce11", "Cm20",
                           "Cm21", "Cm22", "Cm23", "Cm24", "Cm25"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        OSerialReaderA d(&comm);
        line->events.clear();
        Reader(row.prepared ? P() : N("60"));
        for (size_t i = 0; row.prepared && i < row.refused; ++i)
            Reader(N("60"));
        if (!row.answer.empty())
            Reader("P0000", row.answer);
        uint8_t atr[IDC_CHIP_REPLY_MAX];
        std::memset(atr, 0xEE, sizeof atr);
        uint32_t len = 77, type = row.typeIn;
        tDevReturn r = Rec();
        const int result = row.answer.empty() ? 1 : 0;
        EXPECT_EQ(result, d.ChipPower(1, reinterpret_cast<uintptr_t>(atr),
                                      reinterpret_cast<uintptr_t>(&len), &type, &r));
        EXPECT_EQ(row.type, type);
        EXPECT_EQ(row.type, d.status().usField[9]);
        Texts expected = {"CC0/20000"};
        for (size_t i = 0; row.prepared && i < row.refused + (result ? 0 : 1); ++i)
            expected.push_back(std::string(tries[i]) + "/10000");
        EXPECT_EQ(expected, Transcript());
        if (row.prepared && result) {
            EXPECT_EQ(77u, len); // the answer is not written
        } else {
            EXPECT_EQ(row.answer.size(), len);
            EXPECT_EQ(Hex(row.answer), Hex(Bytes(atr, atr + len)));
        }

        // Reset: by the stored type.
        line->events.clear();
        Reader(P("\x01\x02\x03\x04\x05"));
        r = Rec();
        const int reset = d.ChipPower(2, reinterpret_cast<uintptr_t>(atr),
                                      reinterpret_cast<uintptr_t>(&len), nullptr, &r);
        if (*row.reset) {
            EXPECT_EQ(0, reset);
            EXPECT_EQ((Texts{std::string(row.reset) + "/10000"}), Transcript());
            EXPECT_EQ(5 - row.skip, len);
            EXPECT_EQ(1 + row.skip, atr[0]);
        } else {
            EXPECT_EQ(1, reset);
            EXPECT_RECORD(r, 1267, 1);
            EXPECT_TRUE(line->Writes().empty());
        }

        // Switch-off: by the stored type, whatever the reader says.
        line->events.clear();
        reader.clear();
        Reader(N("60"));
        type = 7;
        r = Rec();
        EXPECT_EQ(1, d.ChipPower(3, 0, 0, &type, &r));
        EXPECT_EQ((Texts{std::string(row.off) + "/10000"}), Transcript());
        EXPECT_EQ(255u, type);
        EXPECT_EQ(255, d.status().usField[9]);
        EXPECT_EQ(2, d.status().usField[8]);
    }

    tDevReturn r = Rec();
    uint32_t type = 0;
    EXPECT_EQ(1, a.ChipPower(4, 0, 0, &type, &r));
    EXPECT_RECORD(r, 1224, 1);
}

TEST_F(TracksChipA, ChipExchanges) {
    std::vector<uint8_t> apdu(1000);
    for (size_t i = 0; i < apdu.size(); ++i)
        apdu[i] = static_cast<uint8_t>('A' + i % 26);
    std::vector<uint8_t> reply(IDC_CHIP_REPLY_MAX + 16, 0xEE);
    uint32_t len = 0;
    auto io = [&](OSerialReaderA& d, size_t n, tDevReturn& r) {
        std::fill(reply.begin(), reply.end(), 0xEE);
        len = 0;
        return d.ChipIO(0, apdu.data(), static_cast<int>(n), reply.data(), &len, &r);
    };

    tDevReturn r = Rec();
    EXPECT_EQ(1, io(a, 5, r)); // no chip activated
    EXPECT_RECORD(r, 1267, 1);
    EXPECT_TRUE(line->Writes().empty());

    struct Row {
        const char* name;
        uint8_t t0;
        size_t n;
        std::vector<std::string> replies;
        int result, code;
        std::string commands; // command characters of each command sent
        std::vector<size_t> sizes;
        std::string data; // reply data handed back
    } rows[] = {
        // clang-format off
        {"type 0", 0x65, 5, {P("r0")}, 0, 1201, "CF0", {8}, "r0"},
        {"type 1, 1000 bytes", 0xE2, 1000, {P(), P(), P("ok")}, 0, 1201, "CF2CF2CF1", {363, 363, 283}, "ok"},
        {"type 1, exactly 360", 0xE2, 360, {P(), P("ok")}, 0, 1201, "CF2CF1", {363, 3}, "ok"},
        {"type 1, continued", 0xE2, 4, {"P0021" "0123456789", P("abcde")}, 0, 1201, "CF1CF3", {7, 3}, "012345678abcde"},
        {"type 1, a block refused", 0xE2, 1000, {N("60")}, 1, 1260, "CF2", {363}, ""},
        {"type 1, continuation refused", 0xE2, 4, {"P0021" "0123", N("60")}, 1, 1260, "CF1CF3", {7, 3}, "012"},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        OSerialReaderA d(&comm);
        Activate(d, row.t0);
        for (const std::string& s : row.replies)
            Reader(s);
        r = Rec();
        EXPECT_EQ(row.result, io(d, row.n, r));
        EXPECT_RECORD(r, row.code, row.result);
        std::string commands, payload;
        std::vector<size_t> sizes;
        for (const std::string& c : Sent()) {
            commands += c.substr(0, 3);
            payload += c.substr(3);
            sizes.push_back(c.size());
        }
        EXPECT_EQ(row.commands, commands);
        EXPECT_EQ(row.sizes, sizes);
        EXPECT_EQ(std::string(apdu.begin(), apdu.begin() + static_cast<long>(payload.size())),
                  payload); // the caller's bytes, block after block
        for (const std::string& t : Transcript())
            EXPECT_EQ("/10000", t.substr(t.size() - 6));
        EXPECT_EQ(row.data.size(), len);
        EXPECT_EQ(row.data, std::string(reply.begin(), reply.begin() + len));
    }

    // A continuation that would pass IDC_CHIP_REPLY_MAX: 1299, what fit is kept.
    OSerialReaderA d(&comm);
    Activate(d, 0xE2);
    for (int i = 0; i < 5; ++i)
        Reader("P0021" + std::string(1000, static_cast<char>('a' + i)));
    r = Rec();
    EXPECT_EQ(1, io(d, 4, r));
    EXPECT_RECORD(r, 1299, 1);
    EXPECT_EQ(static_cast<uint32_t>(IDC_CHIP_REPLY_MAX), len);
    EXPECT_EQ('e', reply[IDC_CHIP_REPLY_MAX - 1]);
    EXPECT_EQ(0xEE, reply[IDC_CHIP_REPLY_MAX]);

    // Memory chip: "Cm7" in a 256-byte buffer; the second chip kind has no exchange.
    OSerialReaderA m(&comm);
    Reader(P());
    for (int i = 0; i < 4; ++i)
        Reader(N("60"));
    Reader(P("\xA2\x13\x10"));
    uint8_t atr[IDC_CHIP_REPLY_MAX];
    uint32_t type = 0;
    m.ChipPower(1, reinterpret_cast<uintptr_t>(atr), reinterpret_cast<uintptr_t>(&len), &type, &r);
    ASSERT_EQ(4u, type);
    line->events.clear();
    Reader(P("mem"));
    EXPECT_EQ(0, io(m, 253, r));
    EXPECT_EQ("mem", std::string(reply.begin(), reply.begin() + len));
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ("Cm7", Sent()[0].substr(0, 3));
    EXPECT_EQ(256u, Sent()[0].size());
    line->events.clear();
    r = Rec();
    EXPECT_EQ(1, io(m, 254, r));
    EXPECT_RECORD(r, 1224, 1);
    EXPECT_TRUE(line->Writes().empty());

    OSerialReaderA k(&comm);
    Reader(P());
    Reader(N("60"));
    Reader(N("60"));
    Reader(P("ABCDEF"));
    k.ChipPower(1, reinterpret_cast<uintptr_t>(atr), reinterpret_cast<uintptr_t>(&len), &type, &r);
    ASSERT_EQ(2u, type);
    line->events.clear();
    r = Rec();
    EXPECT_EQ(0, io(k, 5, r));
    EXPECT_RECORD(r, 7, 7);
    EXPECT_TRUE(line->Writes().empty());
}
