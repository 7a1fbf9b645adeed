#include "platform/config_store.h"

#include "platform/system.h"

#include <cstdint>
#include <cstdlib>
#include <string>
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

// kFileRead, kFileMissing (no lines) or kFileUnreadable (ReadSmallFile).
int ReadLines(const std::string& path, std::vector<Line>& lines) {
    std::string data;
    const int rc = ReadSmallFile(path, kMaxConfigBytes, data);
    if (rc != kFileRead)
        return rc;
    std::string::size_type pos = 0;
    while (pos < data.size()) {
        std::string::size_type nl = data.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = data.substr(pos);
            pos = data.size();
        } else {
            line.text = data.substr(pos, nl - pos);
            line.eol = "\n";
            pos = nl + 1;
        }
        if (!line.eol.empty() && !line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.eol = "\r\n";
        }
        lines.push_back(line);
    }
    return kFileRead;
}

std::string Trim(const std::string& s) {
    const char* ws = " \t\r\n";
    std::string::size_type b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return std::string();
    std::string::size_type e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const char* b) {
    std::string::size_type n = a.size();
    std::string::size_type i = 0;
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

bool IsComment(const std::string& trimmed) {
    return trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#';
}

// "[name]" → true and the trimmed name.
bool SectionName(const std::string& text, std::string& name) {
    std::string t = Trim(text);
    if (t.size() < 2 || t[0] != '[')
        return false;
    std::string::size_type close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// "key = value" → true, the trimmed key and the raw value after '='.
bool KeyValue(const std::string& text, std::string& key, std::string& value) {
    std::string t = Trim(text);
    if (IsComment(t) || t[0] == '[')
        return false;
    std::string::size_type eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(text.substr(0, eq));
    value = text.substr(eq + 1);
    return !key.empty();
}

// Value text without a trailing comment (";" or "#" after white space or at
// its start) and without surrounding blanks.
std::string CleanValue(const std::string& raw) {
    std::string v = raw;
    for (std::string::size_type i = 0; i < v.size(); ++i) {
        if ((v[i] == ';' || v[i] == '#') && (i == 0 || v[i - 1] == ' ' || v[i - 1] == '\t')) {
            v.resize(i);
            break;
        }
    }
    return Trim(v);
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

// Finds the value of section/key; true when present.
bool FindValue(const std::vector<Line>& lines, const char* pSection, const char* pKey,
               std::string& raw) {
    bool inSection = false;
    for (const Line& line : lines) {
        std::string name, key, value;
        if (SectionName(line.text, name)) {
            inSection = SameName(name, pSection);
            continue;
        }
        if (inSection && KeyValue(line.text, key, value) && SameName(key, pKey)) {
            raw = value;
            return true;
        }
    }
    return false;
}

} // namespace

const char* ConfigPathText() {
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
    std::vector<Line> lines;
    std::string raw;
    if (ReadLines(path, lines) != kFileRead || !FindValue(lines, pSection, pKey, raw))
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

    // Locate the section and the key inside it.
    bool inSection = false, sectionSeen = false, done = false;
    std::size_t lastInSection = 0; // index after the section's last non-blank line
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        std::string name, key, value;
        if (SectionName(lines[i].text, name)) {
            if (inSection)
                break; // the section ended without the key
            inSection = SameName(name, pSection);
            if (inSection) {
                sectionSeen = true;
                lastInSection = i + 1;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (!Trim(lines[i].text).empty())
            lastInSection = i + 1;
        if (KeyValue(lines[i].text, key, value) && SameName(key, pKey)) {
            // Keep the key as written and anything after the value (a comment).
            std::string::size_type eq = lines[i].text.find('=');
            std::string before = lines[i].text.substr(0, eq + 1);
            std::string rest = value;
            std::string::size_type lead = rest.find_first_not_of(" \t");
            std::string spacing = lead == std::string::npos ? rest : rest.substr(0, lead);
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
                // No old value: the blanks after '=' are also the ones before
                // the comment; they stay in front, one of them behind.
                if (ws == 0 && commentAt > 0)
                    ws = commentAt - 1;
                tail = rest.substr(ws);
                // A comment right after '=' needs a blank before it behind the
                // value, or it would read as part of the value.
                if (ws == commentAt)
                    tail.insert(0, " ");
            }
            lines[i].text = before + spacing + valueText + tail;
            done = true;
        }
    }
    if (!done) {
        Line added{std::string(pKey) + "=" + valueText, eol};
        if (sectionSeen) {
            if (lastInSection > 0 && lines[lastInSection - 1].eol.empty())
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
