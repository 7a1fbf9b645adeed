#include "platform/config_store.h"

#include "platform/system.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {
namespace {

// A configuration is a few hundred bytes; anything beyond this is not one
// and is neither read nor rewritten.
constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

struct Line {
    std::string text; // without its terminator
    std::string eol;  // "\n", "\r\n" or "" for a last line without one
};

// The line of data that starts at pos, without its terminator ("\n",
// "\r\n", or "" for a last line without one); pos moves past it. False at
// the end.
bool NextLine(std::string_view data, std::size_t& pos, std::string_view& text,
              std::string_view& eol) {
    if (pos >= data.size())
        return false;
    const std::size_t nl = data.find('\n', pos);
    if (nl == std::string_view::npos) {
        text = data.substr(pos);
        eol = std::string_view();
        pos = data.size();
        return true;
    }
    text = data.substr(pos, nl - pos);
    eol = "\n";
    pos = nl + 1;
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
        eol = "\r\n";
    }
    return true;
}

// kFileRead, kFileMissing (no lines) or kFileUnreadable (ReadSmallFile).
int ReadLines(const std::string& path, std::vector<Line>& lines) {
    std::string data;
    const int rc = ReadSmallFile(path, kMaxConfigBytes, data);
    if (rc != kFileRead)
        return rc;
    std::size_t pos = 0;
    std::string_view text, eol;
    while (NextLine(data, pos, text, eol))
        lines.push_back(Line{std::string(text), std::string(eol)});
    return kFileRead;
}

std::string_view Trim(std::string_view s) {
    const char* ws = " \t\r\n";
    const std::size_t b = s.find_first_not_of(ws);
    if (b == std::string_view::npos)
        return std::string_view();
    const std::size_t e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

bool SameName(std::string_view a, const char* b) {
    const std::size_t n = a.size();
    std::size_t i = 0;
    for (; i < n && b[i]; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return i == n && b[i] == '\0';
}

bool IsComment(std::string_view trimmed) {
    return trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#';
}

// "[name]" → true and the trimmed name.
bool SectionName(std::string_view text, std::string_view& name) {
    const std::string_view t = Trim(text);
    if (t.size() < 2 || t[0] != '[')
        return false;
    const std::size_t close = t.find(']');
    if (close == std::string_view::npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// "key = value" → true, the trimmed key and the raw value after '='.
bool KeyValue(std::string_view text, std::string_view& key, std::string_view& value) {
    const std::string_view t = Trim(text);
    if (IsComment(t) || t[0] == '[')
        return false;
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = Trim(text.substr(0, eq));
    value = text.substr(eq + 1);
    return !key.empty();
}

// Value text without a trailing comment (";" or "#" after white space or at
// its start) and without surrounding blanks.
std::string CleanValue(std::string_view raw) {
    std::string_view v = raw;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if ((v[i] == ';' || v[i] == '#') && (i == 0 || v[i - 1] == ' ' || v[i - 1] == '\t')) {
            v = v.substr(0, i);
            break;
        }
    }
    return std::string(Trim(v));
}

bool ParseInt(const std::string& text, int& out) {
    if (text.empty())
        return false;
    const char* p = text.c_str();
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (!*p)
        return false;
    unsigned long long value = 0;
    for (; *p; ++p) {
        int digit;
        char c = *p;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull)
            return false;
    }
    // Hex values may use all 32 bits (0xFFFFFFFF is -1); decimal ones must fit.
    long long signedValue;
    if (base == 16 && !negative)
        signedValue = static_cast<int32_t>(static_cast<uint32_t>(value));
    else {
        signedValue = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
        if (signedValue < INT32_MIN || signedValue > INT32_MAX)
            return false;
    }
    out = static_cast<int>(signedValue);
    return true;
}

// Finds the value of section/key in the file's text, read where it lies;
// true when present.
bool FindValue(std::string_view data, const char* pSection, const char* pKey,
               std::string_view& raw) {
    bool inSection = false;
    std::size_t pos = 0;
    std::string_view text, eol, name, key, value;
    while (NextLine(data, pos, text, eol)) {
        if (SectionName(text, name)) {
            inSection = SameName(name, pSection);
            continue;
        }
        if (inSection && KeyValue(text, key, value) && SameName(key, pKey)) {
            raw = value;
            return true;
        }
    }
    return false;
}

} // namespace

namespace {
// The path the host named (SetConfigPath), null while it named none. Every
// path named stays allocated until the process ends: a call still reading
// an earlier one never reads freed memory.
std::atomic<const char*> g_pNamedPath{nullptr};
std::mutex g_namedPathsGuard;
std::vector<std::unique_ptr<char[]>> g_namedPaths;
} // namespace

void SetConfigPath(const char* pPath) {
    if (!pPath || !*pPath) {
        g_pNamedPath.store(nullptr, std::memory_order_release);
        return;
    }
    std::lock_guard<std::mutex> guard(g_namedPathsGuard);
    for (const auto& p : g_namedPaths) {
        if (std::strcmp(p.get(), pPath) == 0) {
            g_pNamedPath.store(p.get(), std::memory_order_release);
            return;
        }
    }
    const std::size_t len = std::strlen(pPath);
    g_namedPaths.emplace_back(new char[len + 1]);
    std::memcpy(g_namedPaths.back().get(), pPath, len + 1);
    g_pNamedPath.store(g_namedPaths.back().get(), std::memory_order_release);
}

const char* ConfigPathText() {
    if (const char* pNamed = g_pNamedPath.load(std::memory_order_acquire))
        return pNamed;
    const char* env = std::getenv("QUILLON_CONFIG");
    return env && *env ? env : "Quillon.ini";
}

std::string ConfigPath() {
    return ConfigPathText();
}

int ConfigGetString(const std::string& path, const char* pSection, const char* pKey,
                    std::string& value) {
    if (!pSection || !pKey)
        return 1;
    std::string data;
    std::string_view raw;
    if (ReadSmallFile(path, kMaxConfigBytes, data) != kFileRead ||
        !FindValue(data, pSection, pKey, raw))
        return 1;
    value = CleanValue(raw);
    return 0;
}

int ConfigGetInt(const std::string& path, const char* pSection, const char* pKey, int& iValue) {
    std::string text;
    if (ConfigGetString(path, pSection, pKey, text) != 0)
        return 1;
    int parsed = 0;
    if (!ParseInt(text, parsed))
        return 1;
    iValue = parsed;
    return 0;
}

namespace {
// A key's line with its value replaced by valueText: the key as written and
// anything after the old value (a comment) kept.
std::string WithValue(const std::string& line, std::string_view value,
                      const std::string& valueText) {
    const std::string::size_type eq = line.find('=');
    const std::string before = line.substr(0, eq + 1);
    const std::string rest(value);
    const std::string::size_type lead = rest.find_first_not_of(" \t");
    const std::string spacing = lead == std::string::npos ? rest : rest.substr(0, lead);
    std::string tail;
    std::string::size_type commentAt = std::string::npos;
    for (std::string::size_type k = 0; k < rest.size(); ++k)
        if ((rest[k] == ';' || rest[k] == '#') &&
            (k == 0 || rest[k - 1] == ' ' || rest[k - 1] == '\t')) {
            commentAt = k;
            break;
        }
    if (commentAt != std::string::npos) {
        std::string::size_type ws = commentAt;
        while (ws > 0 && (rest[ws - 1] == ' ' || rest[ws - 1] == '\t'))
            --ws;
        // No old value: the blanks after '=' are also the ones before the
        // comment; they stay in front, one of them behind.
        if (ws == 0 && commentAt > 0)
            ws = commentAt - 1;
        tail = rest.substr(ws);
        // A comment right after '=' needs a blank before it behind the
        // value, or it would read as part of the value.
        if (ws == commentAt)
            tail.insert(0, " ");
    }
    return before + spacing + valueText + tail;
}

// Sets the key in its section of lines; false when the section holds no
// such key. lastInSection: the index after the section's last non-blank line
// (0 when the section is not there).
bool SetInSection(std::vector<Line>& lines, const char* pSection, const char* pKey,
                  const std::string& valueText, std::size_t& lastInSection) {
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view name, key, value;
        if (SectionName(lines[i].text, name)) {
            if (inSection)
                return false; // the section ended without the key
            inSection = SameName(name, pSection);
            if (inSection)
                lastInSection = i + 1;
            continue;
        }
        if (!inSection)
            continue;
        if (!Trim(lines[i].text).empty())
            lastInSection = i + 1;
        if (KeyValue(lines[i].text, key, value) && SameName(key, pKey)) {
            lines[i].text = WithValue(lines[i].text, value, valueText);
            return true;
        }
    }
    return false;
}
} // namespace

int ConfigSetInt(const std::string& path, const char* pSection, const char* pKey, int iValue) {
    if (!pSection || !pKey || !*pSection || !*pKey)
        return 1;
    // A missing file starts empty; one that exists but cannot be read is
    // never replaced by a file holding only this key.
    std::vector<Line> lines;
    if (ReadLines(path, lines) == kFileUnreadable)
        return 1;

    std::string eol = "\n";
    for (const Line& line : lines)
        if (!line.eol.empty()) {
            eol = line.eol;
            break;
        }
    const std::string valueText = std::to_string(iValue);

    std::size_t lastInSection = 0;
    if (!SetInSection(lines, pSection, pKey, valueText, lastInSection)) {
        const Line added{std::string(pKey) + "=" + valueText, eol};
        if (lastInSection > 0) { // the section is there, without the key
            if (lines[lastInSection - 1].eol.empty())
                lines[lastInSection - 1].eol = eol;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastInSection), added);
        } else {
            if (!lines.empty() && lines.back().eol.empty())
                lines.back().eol = eol;
            lines.push_back(Line{"[" + std::string(pSection) + "]", eol});
            lines.push_back(added);
        }
    }

    std::string text;
    for (const Line& line : lines)
        text += line.text + line.eol;
    if (text.size() > kMaxConfigBytes) // it could not be read back
        return 1;
    return WriteFileAtomically(path, text) == 0 ? 0 : 1;
}

} // namespace quillon
