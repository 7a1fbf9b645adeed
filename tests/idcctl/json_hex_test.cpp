#include <gtest/gtest.h>

#include "hex.h"
#include "json.h"

namespace idcctl {
namespace {

TEST(Hex, Parse) {
    const struct {
        const char* text;
        const char* bytes; // nullptr: refused
    } cases[] = {
        {"00 A4 04 00", "00A40400"},
        {"00a40400", "00A40400"},
        {"00:A4:04:00", "00A40400"},
        {" 3b\t6E ", "3B6E"},
        {"0", nullptr},
        {"00 A", nullptr},
        {"0 0", nullptr},
        {"GG", nullptr},
        {"", nullptr},
        {"  ", nullptr},
    };
    for (const auto& c : cases) {
        const auto b = parse_hex(c.text);
        if (!c.bytes) {
            EXPECT_FALSE(b) << c.text;
            continue;
        }
        ASSERT_TRUE(b) << c.text;
        EXPECT_EQ(to_hex(*b, '\0'), c.bytes);
    }
}

TEST(Hex, DumpLinesOfSixteen) {
    Bytes data;
    for (int i = 0; i < 18; ++i)
        data.push_back(static_cast<uint8_t>(0x40 + i));
    const auto lines = hex_dump(data, "  ");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "  0000  40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F  @ABCDEFGHIJKLMNO");
    EXPECT_EQ(lines[1], "  0010  50 51" + std::string(14 * 3 + 2, ' ') + "PQ");
    EXPECT_EQ(hex_head(data, 2), "40 41 ... (18 bytes)");
}

TEST(Text, PrintableAndBoundedFields) {
    EXPECT_EQ(printable(std::string_view("a\\b\x01\x7F", 5)), "a\\\\b\\x01\\x7F");
    const char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(field_text(full, sizeof full), "abcd");
    const char cut[4] = {'a', 0, 'c', 'd'};
    EXPECT_EQ(field_text(cut, sizeof cut), "a");
}

TEST(Json, QuotingGivesValidJson) {
    EXPECT_EQ(json_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_quote("\n\t\x01"), "\"\\n\\t\\u0001\"");
    EXPECT_EQ(json_quote("\xE9"), "\"\\u00e9\"");
}

TEST(Json, CompactAndPrettyShapes) {
    Json o = Json::object();
    o.set("n", 1201);
    o.set("s", "x");
    o.set("none", nullptr);
    Json a = Json::array();
    a.push(1).push(2);
    o.set("raw", a);
    Json inner = Json::object();
    inner.set("ok", true);
    Json list = Json::array();
    list.push(inner);
    o.set("steps", list);
    o.set("n", -5); // replaces in place
    EXPECT_EQ(o.dump(), R"({"n":-5,"s":"x","none":null,"raw":[1,2],"steps":[{"ok":true}]})");
    EXPECT_EQ(o.dump(2), "{\n"
                         "  \"n\": -5,\n"
                         "  \"s\": \"x\",\n"
                         "  \"none\": null,\n"
                         "  \"raw\": [1, 2],\n"
                         "  \"steps\": [\n"
                         "    {\n"
                         "      \"ok\": true\n"
                         "    }\n"
                         "  ]\n"
                         "}");
    EXPECT_EQ(Json::array().dump(2), "[]");
    EXPECT_EQ(Json::object().dump(2), "{}");
}

} // namespace
} // namespace idcctl
