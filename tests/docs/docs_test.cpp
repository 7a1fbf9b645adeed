// The documentation's tables against the code's own: the result-code table
// of docs/result-codes.md against the success split and the three families'
// reply-code maps, and the key table of docs/configuration.md against the
// configuration keys the sources read and write. A failure names the code
// or key and the column the code expects.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "infra/result_codes.h"
#include "readers/family_a/family_a_reader.h"
#include "readers/family_b/family_b_reader.h"
#include "readers/family_c/exchange_c.h"

using namespace quillon;

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    const auto e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// Cells of a Markdown table row "| a | b | c |".
std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    std::istringstream row(line.substr(line.empty() ? 0 : 1));
    for (std::string cell; std::getline(row, cell, '|');)
        cells.push_back(Trim(cell));
    return cells;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : ", ") + p;
    return out.empty() ? "-" : out;
}

const char kStatusChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Families A and B: every reply kind and status pair that maps to the code.
template <typename Map> std::string StatusesFor(int code, Map map) {
    if (code == quillon::ToInt(quillon::Code::UnknownReply))
        return "any other reply";
    std::vector<std::string> found;
    for (char kind : {'P', 'N'})
        for (char c1 : std::string(kStatusChars))
            for (char c2 : std::string(kStatusChars))
                if (map(static_cast<uint8_t>(kind), static_cast<uint16_t>((c1 << 8) | c2)) == code)
                    found.push_back(std::string{kind, ' ', c1, c2});
    return Join(found);
}

// Family C: kind P, kind N with each error byte (ranges joined), other kinds.
std::string FamilyCFor(int code) {
    if (code == quillon::ToInt(quillon::Code::UnknownReply))
        return "any other reply";
    auto map = [](uint8_t kind, uint8_t err) {
        uint8_t f[9] = {0x02, 0x00, 0x04, kind, '1', '0', err, 0x03, 0};
        return quillon::ToInt(quillon::famc::MapReply(f, sizeof f));
    };
    std::vector<std::string> found;
    if (map('P', 0) == code)
        found.push_back("P");
    for (int e = 0; e < 256; ++e) {
        if (map('N', static_cast<uint8_t>(e)) != code)
            continue;
        int last = e;
        while (last < 255 && map('N', static_cast<uint8_t>(last + 1)) == code)
            ++last;
        char text[32];
        if (last == e)
            std::snprintf(text, sizeof text, "N 0x%02X", e);
        else
            std::snprintf(text, sizeof text, "N 0x%02X-0x%02X", e, last);
        found.push_back(text);
        e = last;
    }
    if (map('X', 0) == code)
        found.push_back("kind not P or N");
    return Join(found);
}

std::vector<std::string> ExpectedCodeCells(int code) {
    return {std::to_string(code), quillon::IsSuccessCode(code) ? "success" : "failure",
            StatusesFor(code, OFamilyAReader::iMapReplyCode),
            StatusesFor(code, OFamilyBReader::iMapReplyCode), FamilyCFor(code)};
}

} // namespace

TEST(DocsTest, ResultCodeTableMatchesTheCode) {
    std::vector<int> codes{0};
    for (int c = 1201; c <= 1299; ++c)
        codes.push_back(c);

    std::map<int, std::vector<std::string>> documented;
    std::istringstream doc(ReadFile(fs::path(QUILLON_DOCS_DIR) / "result-codes.md"));
    for (std::string line; std::getline(doc, line);) {
        const std::vector<std::string> cells = Cells(line);
        if (line.rfind("| ", 0) != 0 || cells.size() < 6 ||
            !std::regex_match(cells[0], std::regex("0|12[0-9][0-9]")))
            continue;
        EXPECT_TRUE(documented.emplace(std::stoi(cells[0]), cells).second)
            << "code " << cells[0] << " documented twice";
    }
    for (int c : codes) {
        const auto it = documented.find(c);
        if (it == documented.end()) {
            ADD_FAILURE() << "code " << c << " is missing from result-codes.md";
            continue;
        }
        const std::vector<std::string> want = ExpectedCodeCells(c);
        for (size_t i = 1; i < want.size(); ++i)
            EXPECT_EQ(it->second[i], want[i]) << "code " << c << ", column " << i + 1;
        EXPECT_FALSE(it->second[5].empty()) << "code " << c << " has no meaning";
    }
    EXPECT_EQ(documented.size(), codes.size()) << "codes documented that the library has not";
}

namespace {

using Key = std::pair<std::string, std::string>;

// Every (section, key) the sources read or write through the configuration.
// An argument is a literal or a constant defined in the same file; a
// p-prefixed parameter is followed at the call sites of its helper.
std::set<Key> KeysInSources(std::vector<std::string>& unresolved) {
    static const std::regex call(
        R"re((?:i(?:Get|Set)IntValue\s*\(|Config(?:Get|Set)(?:Int|String)\s*\(\s*[^,()]*(?:\(\))?\s*,))re"
        R"re(\s*(\w+|"[^"]*")\s*,\s*(\w+|"[^"]*"))re");
    // Family B's mode helper and family A's profile rows: one name for both.
    static const std::regex sameName(R"re((?:iApplyMode|ConfigKeyA)\s*\(\s*"(\w+)")re");
    static const std::regex constant(R"re((k\w+)(?:\[\])?\s*=\s*"([^"]*)")re");
    std::set<Key> keys;
    for (const auto& e : fs::recursive_directory_iterator(QUILLON_SOURCE_DIR "/src")) {
        if (e.path().extension() != ".cpp" && e.path().extension() != ".h")
            continue;
        const std::string text = ReadFile(e.path());
        std::map<std::string, std::string> constants;
        for (std::sregex_iterator m(text.begin(), text.end(), constant), end; m != end; ++m)
            constants[(*m)[1]] = (*m)[2];
        const auto resolve = [&](const std::string& arg) -> std::string {
            if (arg.front() == '"')
                return arg.substr(1, arg.size() - 2);
            if (constants.count(arg))
                return constants[arg];
            if (arg.size() < 2 || arg[0] != 'p' ||
                !std::isupper(static_cast<unsigned char>(arg[1])))
                unresolved.push_back(e.path().filename().string() + ": " + arg);
            return "";
        };
        for (std::sregex_iterator m(text.begin(), text.end(), call), end; m != end; ++m) {
            const std::string section = resolve((*m)[1]), key = resolve((*m)[2]);
            if (!section.empty() && !key.empty())
                keys.insert({section, key});
        }
        for (std::sregex_iterator m(text.begin(), text.end(), sameName), end; m != end; ++m)
            keys.insert({(*m)[1], (*m)[1]});
    }
    return keys;
}

} // namespace

TEST(DocsTest, ConfigurationKeyTableMatchesTheSources) {
    std::vector<std::string> unresolved;
    const std::set<Key> inSources = KeysInSources(unresolved);
    EXPECT_TRUE(unresolved.empty())
        << "configuration calls with arguments the test cannot follow: " << Join(unresolved);

    // Rows "| [Section] | Key | default | read by | effect |".
    std::set<Key> documented;
    std::istringstream doc(ReadFile(fs::path(QUILLON_DOCS_DIR) / "configuration.md"));
    static const std::regex row(R"(\| \[(\w+)\] \| (\w+) \|.*)");
    std::smatch m;
    for (std::string line; std::getline(doc, line);) {
        if (std::regex_match(line, m, row)) {
            EXPECT_TRUE(documented.insert({m[1], m[2]}).second)
                << "[" << m[1] << "] " << m[2] << " documented twice";
        }
    }

    for (const Key& k : inSources)
        EXPECT_TRUE(documented.count(k))
            << "[" << k.first << "] " << k.second << " is read by the library but not documented";
    for (const Key& k : documented)
        EXPECT_TRUE(inSources.count(k))
            << "[" << k.first << "] " << k.second << " is documented but no code reads it";
}
