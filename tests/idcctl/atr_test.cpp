#include <gtest/gtest.h>

#include "atr.h"

namespace idcctl {
namespace {

struct AtrCase {
    const char* what;
    const char* hex;
    std::vector<std::string> names; // TS, T0 and interface bytes in order
    std::vector<int> protocols;
    size_t historical;
    bool tck_present;
    bool tck_ok;
    std::string problem; // part of the only problem; empty: none
};

void PrintTo(const AtrCase& c, std::ostream* os) {
    *os << c.what;
}

class AtrDecode : public ::testing::TestWithParam<AtrCase> {};

TEST_P(AtrDecode, Structure) {
    const AtrCase& c = GetParam();
    const Atr atr = decode_atr(*parse_hex(c.hex));
    std::vector<std::string> names;
    for (const auto& b : atr.bytes)
        names.push_back(b.name);
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(atr.protocols, c.protocols);
    EXPECT_EQ(atr.historical.size(), c.historical);
    EXPECT_EQ(atr.tck_present, c.tck_present);
    EXPECT_EQ(atr.tck_ok, c.tck_ok);
    if (c.problem.empty()) {
        EXPECT_TRUE(atr.problems.empty()) << atr.problems.front();
    } else {
        ASSERT_EQ(atr.problems.size(), 1u);
        EXPECT_NE(atr.problems[0].find(c.problem), std::string::npos) << atr.problems[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AtrDecode,
    ::testing::Values(AtrCase{"T=0 card, no TD1 and so no TCK",
                              "3B 6E 00 00 80 31 80 66 B0 84 12 01 6E 01 83 00 90 00",
                              {"TS", "T0", "TB1", "TC1"},
                              {0},
                              14,
                              false,
                              false,
                              ""},
                      AtrCase{"T=1 card with TD1, TD2 and TCK",
                              "3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B7",
                              {"TS", "T0", "TA1", "TB1", "TC1", "TD1", "TD2", "TA3", "TB3"},
                              {1},
                              8,
                              true,
                              true,
                              ""},
                      AtrCase{"T=1 card, TCK wrong",
                              "3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B6",
                              {"TS", "T0", "TA1", "TB1", "TC1", "TD1", "TD2", "TA3", "TB3"},
                              {1},
                              8,
                              true,
                              false,
                              "TCK wrong"},
                      AtrCase{"T=0 and T=1 offered",
                              "3B 82 80 01 41 42 00",
                              {"TS", "T0", "TD1", "TD2"},
                              {0, 1},
                              2,
                              true,
                              true,
                              ""},
                      AtrCase{"T=15 is no protocol but asks for a TCK",
                              "3B 80 80 1F 03 1C",
                              {"TS", "T0", "TD1", "TD2", "TA3"},
                              {0},
                              0,
                              true,
                              true,
                              ""},
                      AtrCase{"T=1 without its TCK",
                              "3B 80 01",
                              {"TS", "T0", "TD1"},
                              {1},
                              0,
                              false,
                              false,
                              "TCK missing"},
                      AtrCase{"ends inside the interface bytes",
                              "3B F8 13 00",
                              {"TS", "T0", "TA1", "TB1"},
                              {0},
                              0,
                              false,
                              false,
                              "ends before TC1"},
                      AtrCase{"ends inside the historical bytes",
                              "3B 65 00 00 01 02",
                              {"TS", "T0", "TB1", "TC1"},
                              {0},
                              2,
                              false,
                              false,
                              "2 of 5 historical"},
                      AtrCase{"a byte after a T=0 answer",
                              "3B 00 AA",
                              {"TS", "T0"},
                              {0},
                              0,
                              false,
                              false,
                              "1 bytes after"},
                      AtrCase{
                          "inverse convention", "3F 00", {"TS", "T0"}, {0}, 0, false, false, ""},
                      AtrCase{"memory card answer",
                              "A2 13 10 91",
                              {"TS"},
                              {},
                              0,
                              false,
                              false,
                              "not an ISO 7816-3"}));

TEST(Atr, InterfaceByteMeanings) {
    // TA1 96: Fi 512, Di 32; TC1 FF; TA2 81: specific mode T=1; TA3 FE: IFSC.
    const Atr atr = decode_atr(*parse_hex("3B D0 96 FF 91 81 11 FE 46"));
    auto meaning = [&](const std::string& name) {
        for (const auto& b : atr.bytes)
            if (b.name == name)
                return b.meaning;
        return std::string("(absent)");
    };
    EXPECT_NE(meaning("TA1").find("Fi=512"), std::string::npos) << meaning("TA1");
    EXPECT_NE(meaning("TA1").find("Di=32"), std::string::npos) << meaning("TA1");
    EXPECT_NE(meaning("TC1").find("minimum guard time"), std::string::npos);
    EXPECT_NE(meaning("TA2").find("specific mode, T=1, cannot change"), std::string::npos)
        << meaning("TA2");
    EXPECT_NE(meaning("TA3").find("IFSC=254"), std::string::npos) << meaning("TA3");
    EXPECT_TRUE(atr.tck_ok);
}

TEST(Atr, JsonCarriesProtocolsAndCheck) {
    const Json j = atr_json(decode_atr(*parse_hex("3B 82 80 01 41 42 00")));
    EXPECT_EQ(j["hex"].as_string(), "3B 82 80 01 41 42 00");
    EXPECT_EQ(j["protocols"].size(), 2u);
    EXPECT_EQ(j["protocols"][1].as_int(), 1);
    EXPECT_EQ(j["historical_text"].as_string(), "AB");
    EXPECT_TRUE(j["tck"]["ok"].as_bool());
    EXPECT_EQ(j["tck"]["value"].as_string(), "00");
    EXPECT_EQ(j["bytes"][2]["name"].as_string(), "TD1");
}

} // namespace
} // namespace idcctl
