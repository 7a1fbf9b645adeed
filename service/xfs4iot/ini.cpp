#include "ini.h"

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace quillon::xfs {

namespace {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

bool bSameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

std::string IniText(const std::string& sPath, const std::string& sSection, const std::string& sKey,
                    const std::string& sFallback) {
    std::ifstream in(sPath);
    std::string line, section;
    while (std::getline(in, line)) {
        line = Trim(line.substr(0, line.find_first_of(";#")));
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = Trim(line.substr(1, line.size() - 2));
            continue;
        }
        const size_t eq = line.find('=');
        if (eq != std::string::npos && bSameName(section, sSection) &&
            bSameName(Trim(line.substr(0, eq)), sKey))
            return Trim(line.substr(eq + 1));
    }
    return sFallback;
}

int IniInt(const std::string& sPath, const std::string& sSection, const std::string& sKey,
           int iFallback) {
    const std::string value = IniText(sPath, sSection, sKey, "");
    char* pEnd = nullptr;
    const long l = std::strtol(value.c_str(), &pEnd, 10);
    if (value.empty() || *pEnd != 0 || l < -2147483647L || l > 2147483647L)
        return iFallback;
    return static_cast<int>(l);
}

} // namespace quillon::xfs
