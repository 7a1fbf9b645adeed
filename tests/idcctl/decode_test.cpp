// Decoders of idcctl: hexadecimal text, JSON, answers to reset, library records.
#include <cstring>

#include <gtest/gtest.h>

#include "atr.h"
#include "records.h"

namespace idcctl {
namespace {

constexpr auto npos = std::string::npos;

TEST(Text, HexAndJson) {
    for (const char* text : {"00 A4 04 00", "00a40400", "00:A4:04:00", " 00\tA4 04 00 "})
        EXPECT_EQ(ToHex(ParseHex(text).value_or(Bytes{}), '\0'), "00A40400") << text;
    for (const char* text : {"0", "00 A", "0 0", "GG", "", "  "})
        EXPECT_FALSE(ParseHex(text)) << text;
    Bytes data;
    for (int i = 0; i < 18; ++i)
        data.push_back(static_cast<uint8_t>(0x40 + i));
    EXPECT_EQ(HexDump(data, "  ").back(), "  0010  50 51" + std::string(44, ' ') + "PQ");
    EXPECT_EQ(HexHead(data, 2), "40 41 ... (18 bytes)");
    EXPECT_EQ(Printable(std::string_view("a\\b\x01\x7F", 5)), "a\\\\b\\x01\\x7F");
    EXPECT_EQ(JsonQuote("a\"b\\c\n\t\x01\xE9"), R"("a\"b\\c\n\t\u0001\u00e9")");
    Json o = Json::Object();
    o.Set("n", 1).Set("none", nullptr).Set("raw", Json::Array().Push(1).Push(2));
    o.Set("steps", Json::Array().Push(Json::Object().Set("ok", true))).Set("n", -5);
    EXPECT_EQ(o.Dump(), R"({"n":-5,"none":null,"raw":[1,2],"steps":[{"ok":true}]})");
    EXPECT_EQ(o.Dump(2), "{\n  \"n\": -5,\n  \"none\": null,\n  \"raw\": [1, 2],\n  \"steps\": [\n"
                         "    {\n      \"ok\": true\n    }\n  ]\n}");
}

TEST(Atr, Structure) {
    // clang-format off
    const struct {
        const char* what;
        const char* hex;
        const char* names; // TS, T0 and the interface bytes
        std::vector<int> protocols;
        size_t historical;
        const char* tck;     // none, ok, bad
        const char* problem; // part of the only problem; "": none
    } rows[] = {
        {"T=0, no TD1 so no TCK", "3B 6E 00 00 80 31 80 66 B0 84 12 01 6E 01 83 00 90 00",
         "TS T0 TB1 TC1", {0}, 14, "none", ""},
        {"T=1 with TD1, TD2, correct TCK", "3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B7",
         "TS T0 TA1 TB1 TC1 TD1 TD2 TA3 TB3", {1}, 8, "ok", ""},
        {"T=1, wrong TCK", "3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B6",
         "TS T0 TA1 TB1 TC1 TD1 TD2 TA3 TB3", {1}, 8, "bad", "TCK wrong"},
        {"T=0 and T=1 offered", "3B 82 80 01 41 42 00", "TS T0 TD1 TD2", {0, 1}, 2, "ok", ""},
        {"T=15 asks for a TCK", "3B 80 80 1F 03 1C", "TS T0 TD1 TD2 TA3", {0}, 0, "ok", ""},
        {"T=1 without its TCK", "3B 80 01", "TS T0 TD1", {1}, 0, "none", "TCK missing"},
        {"ends in the interface bytes", "3B F8 13 00", "TS T0 TA1 TB1", {0}, 0, "none",
         "ends before TC1"},
        {"ends in the historical bytes", "3B 65 00 00 01 02", "TS T0 TB1 TC1", {0}, 2, "none",
         "2 of 5 historical"},
        {"a byte after the answer", "3B 00 AA", "TS T0", {0}, 0, "none", "1 bytes after"},
        {"inverse convention", "3F 00", "TS T0", {0}, 0, "none", ""},
        {"memory card", "A2 13 10 91", "TS", {}, 0, "none", "not an ISO 7816-3"},
    };
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const Atr atr = DecodeAtr(*ParseHex(r.hex));
        std::string names;
        for (const auto& b : atr.bytes)
            names += (names.empty() ? "" : " ") + b.name;
        EXPECT_EQ(names, r.names);
        EXPECT_EQ(atr.protocols, r.protocols);
        EXPECT_EQ(atr.historical.size(), r.historical);
        EXPECT_STREQ(atr.tckPresent ? (atr.tckOk ? "ok" : "bad") : "none", r.tck);
        ASSERT_EQ(atr.problems.size(), *r.problem ? 1u : 0u);
        if (*r.problem) {
            EXPECT_NE(atr.problems[0].find(r.problem), npos) << atr.problems[0];
        }
    }
}

TEST(Atr, InterfaceByteMeanings) {
    const Atr atr = DecodeAtr(*ParseHex("3B D0 96 FF 91 81 11 FE 46"));
    std::string all;
    for (const auto& b : atr.bytes)
        all += b.name + ": " + b.meaning + "\n";
    for (const char* part : {"TA1: Fi=512", "Di=32", "TC1: extra guard time N=255",
                             "TA2: specific mode, T=1, cannot change", "IFSC=254"})
        EXPECT_NE(all.find(part), npos) << part << "\n" << all;
    EXPECT_TRUE(atr.tckOk);
}

TEST(Records, CodeSuccessClass) {
    for (int code : {0, 1201, 1210, 1212, 1213})
        EXPECT_TRUE(CodeIsSuccess(code)) << code;
    for (int code : {1200, 1211, 1214, 1224, 1299})
        EXPECT_FALSE(CodeIsSuccess(code)) << code;
}

TEST(Records, StatusFieldsByPosition) {
    // clang-format off
    const struct { int index; uint16_t value; const char* name; const char* meaning; } rows[] = {
        {1, 3, "card_position", "card inside"},   {2, 17, "retain_counter", ""},
        {8, 1, "chip_power", "powered"},          {9, 255, "chip_type", "no chip active"},
        {10, 2, "card_entry", "entry mode 2"},    {11, 2, "module", "absent"},
        {12, 3, "module_sensor_1", "set"},        {13, 0, "module_sensor_2", "not read"},
    };
    // clang-format on
    tIdcStatus st{};
    for (const auto& r : rows)
        st.usField[r.index] = r.value;
    const std::vector<Field> f = DecodeStatus(st);
    ASSERT_EQ(f.size(), 15u);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(f[r.index].name, r.name);
        EXPECT_EQ(f[r.index].value, r.value);
        EXPECT_EQ(f[r.index].meaning, r.meaning);
    }
}

TEST(Records, CapsNumbersAtTheirOffsetsTextsBounded) {
    tIdcCaps caps{};
    caps.usField[6] = 999;
    std::memset(caps.acModelName, 'M', sizeof caps.acModelName);    // no terminator
    caps.acInfo[0] = 1, caps.acInfo[1] = 'A', caps.acInfo[3] = 'B'; // a zero byte at 2
    const Capabilities c = DecodeCaps(caps);
    ASSERT_EQ(c.numbers.size(), 8u);
    EXPECT_EQ(c.numbers[6].index, 12);
    EXPECT_EQ(c.numbers[6].name, "counter_limit");
    EXPECT_EQ(c.numbers[6].value, 999);
    ASSERT_EQ(c.texts.size(), 5u);
    EXPECT_EQ(c.texts[0].bytes, Bytes(32, 'M'));
    EXPECT_EQ(c.texts[3].bytes, Bytes({0x01, 'A'}));
    EXPECT_NE(TextFieldLines(c.texts)[3].find("\"\\x01A\"  (01 41)"), npos);
    EXPECT_EQ(TextFieldsJson(c.texts)["info"]["hex"].AsString(), "01 41");
}

TEST(Records, LifeAndTracks) {
    tIdcLife life{};
    life.uiValue[10] = 4000000000u;
    ASSERT_EQ(DecodeLife(life).size(), 11u);
    EXPECT_EQ(DecodeLife(life)[10].value, 4000000000LL); // unsigned, not wrapped
    tIdcTracks t;
    std::memset(&t, 'x', sizeof t);
    t.uiLen1 = 85; // the area holds 80
    t.uiLen2 = 0;
    t.uiLen3 = 5;
    std::memcpy(t.abTrack3, ";1234", 5);
    const std::vector<Track> tr = DecodeTracks(t);
    ASSERT_EQ(tr.size(), 3u);
    EXPECT_EQ(tr[0].data, Bytes(80, 'x'));
    EXPECT_TRUE(tr[1].data.empty());
    const std::vector<std::string> lines = TrackLines(tr);
    EXPECT_NE(lines[0].find("85 bytes (80 held)"), npos) << lines[0];
    EXPECT_EQ(lines[1], "  track 2: no data");
    EXPECT_EQ(TracksJson(tr)[2]["data"].AsString(), ";1234");
}

} // namespace
} // namespace idcctl
