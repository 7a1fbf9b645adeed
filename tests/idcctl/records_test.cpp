#include <cstring>

#include <gtest/gtest.h>

#include "records.h"

namespace idcctl {
namespace {

TEST(Codes, SuccessClass) {
    const struct {
        int code;
        bool success;
    } cases[] = {{0, true},    {1201, true},  {1210, true},  {1211, false}, {1212, true},
                 {1213, true}, {1214, false}, {1200, false}, {1224, false}, {1299, false}};
    for (const auto& c : cases)
        EXPECT_EQ(code_is_success(c.code), c.success) << c.code;
}

TEST(Status, FieldsDecodeByPosition) {
    tIdcStatus st;
    std::memset(&st, 0, sizeof st);
    st.usField[1] = 3;
    st.usField[2] = 17;
    st.usField[8] = 1;
    st.usField[9] = 255;
    st.usField[10] = 2;
    st.usField[11] = 2;
    st.usField[12] = 3;
    const std::vector<Field> f = decode_status(st);
    ASSERT_EQ(f.size(), 15u);
    const struct {
        int index;
        const char* name;
        int64_t value;
        const char* meaning;
    } cases[] = {
        {1, "card_position", 3, "card inside"}, {2, "retain_counter", 17, ""},
        {8, "chip_power", 1, "powered"},        {9, "chip_type", 255, "no chip active"},
        {10, "card_entry", 2, "entry mode 2"},  {11, "module", 2, "absent"},
        {12, "module_sensor_1", 3, "set"},      {13, "module_sensor_2", 0, "not read"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(f[c.index].index, c.index);
        EXPECT_EQ(f[c.index].name, c.name);
        EXPECT_EQ(f[c.index].value, c.value) << c.name;
        EXPECT_EQ(f[c.index].meaning, c.meaning) << c.name;
    }
}

TEST(ChipType, Meanings) {
    EXPECT_EQ(chip_type_meaning(0), "processor card, T=0");
    EXPECT_EQ(chip_type_meaning(1), "processor card, T=1");
    EXPECT_EQ(chip_type_meaning(3), "chip without APDU exchange");
    EXPECT_EQ(chip_type_meaning(8), "memory or synchronous card");
    EXPECT_EQ(chip_type_meaning(255), "no chip active");
    EXPECT_EQ(chip_type_meaning(77), "unknown");
}

TEST(Caps, NumbersAtTheirOffsetsAndBoundedTexts) {
    tIdcCaps caps;
    std::memset(&caps, 0, sizeof caps);
    caps.usField[0] = 1;
    caps.usField[6] = 999;
    caps.usField[7] = 42;
    std::memset(caps.acModelName, 'M', sizeof caps.acModelName); // no terminator
    std::memcpy(caps.acFirmware, "27410310", 8);
    const uint8_t info[] = {0x01, 'A', 0, 'B'};
    std::memcpy(caps.acInfo, info, sizeof info);

    const Capabilities c = decode_caps(caps);
    ASSERT_EQ(c.numbers.size(), 8u);
    EXPECT_EQ(c.numbers[0].name, "model_identified");
    EXPECT_EQ(c.numbers[0].meaning, "yes");
    EXPECT_EQ(c.numbers[6].index, 12);
    EXPECT_EQ(c.numbers[6].name, "counter_limit");
    EXPECT_EQ(c.numbers[6].value, 999);
    EXPECT_EQ(c.numbers[7].index, 14);
    EXPECT_EQ(c.numbers[7].value, 42);

    ASSERT_EQ(c.texts.size(), 5u);
    EXPECT_EQ(c.texts[0].bytes.size(), 32u); // stops at the field's end
    EXPECT_EQ(c.texts[1].bytes, Bytes({'2', '7', '4', '1', '0', '3', '1', '0'}));
    EXPECT_EQ(c.texts[3].bytes, Bytes({0x01, 'A'})); // stops at the zero byte

    const std::vector<std::string> lines = text_field_lines(c.texts);
    EXPECT_NE(lines[3].find("\"\\x01A\"  (01 41)"), std::string::npos) << lines[3];
    const Json j = text_fields_json(c.texts);
    EXPECT_EQ(j["firmware"]["text"].as_string(), "27410310");
    EXPECT_EQ(j["info"]["hex"].as_string(), "01 41");
}

TEST(Life, ElevenValuesInOrder) {
    tIdcLife life;
    for (uint32_t i = 0; i < 11; ++i)
        life.uiValue[i] = 1000 * i + 1;
    life.uiValue[10] = 4000000000u;
    const std::vector<Field> f = decode_life(life);
    ASSERT_EQ(f.size(), 11u);
    EXPECT_EQ(f[3].name, "value_3");
    EXPECT_EQ(f[3].value, 3001);
    EXPECT_EQ(f[10].value, 4000000000LL); // unsigned, not wrapped
}

TEST(Tracks, LengthsBeyondTheAreaAreNotRead) {
    tIdcTracks t;
    std::memset(&t, 0, sizeof t);
    std::memset(&t, 'x', sizeof t); // a record full of bytes
    t.uiLen1 = 85;                  // more than the 80-byte area
    t.uiLen2 = 0;
    t.uiLen3 = 5;
    std::memcpy(t.abTrack3, ";1234", 5);
    const std::vector<Track> tr = decode_tracks(t);
    ASSERT_EQ(tr.size(), 3u);
    EXPECT_EQ(tr[0].length, 85u);
    EXPECT_EQ(tr[0].data.size(), 80u);
    EXPECT_TRUE(tr[1].data.empty());
    EXPECT_EQ(tr[2].data, Bytes({';', '1', '2', '3', '4'}));

    const std::vector<std::string> lines = track_lines(tr);
    EXPECT_NE(lines[0].find("85 bytes (80 held)"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "  track 2: no data");
    EXPECT_EQ(tracks_json(tr)[2]["data"].as_string(), ";1234");
}

} // namespace
} // namespace idcctl
