#include "command_line.h"

namespace quillon::xfs {

std::vector<std::string> ServiceArguments(int argc, const char* const* argv,
                                          const std::string& sConfig) {
    std::vector<std::string> args{"--config", sConfig};
    for (int i = 1; i < argc; ++i) {
        const std::string s = argv[i];
        if (s == "--install-service" || s.rfind("--config=", 0) == 0)
            continue;
        if (s == "--config") {
            ++i; // and its value
            continue;
        }
        args.push_back(s);
    }
    return args;
}

std::string QuotedArgument(const std::string& s) {
    if (!s.empty() && s.find_first_of(" \t\n\v\"") == std::string::npos)
        return s;
    std::string out = "\"";
    size_t uiSlashes = 0;
    for (const char c : s) {
        if (c == '\\') {
            ++uiSlashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        out.append(c == '"' ? 2 * uiSlashes + 1 : uiSlashes, '\\');
        out += c;
        uiSlashes = 0;
    }
    out.append(2 * uiSlashes, '\\'); // before the closing quote
    return out + "\"";
}

std::string WindowsCommandLine(const std::string& sProgram, const std::vector<std::string>& args) {
    // The program's path is read up to the next quote, without escapes.
    std::string s = "\"" + sProgram + "\"";
    for (const std::string& a : args)
        s += " " + QuotedArgument(a);
    return s;
}

} // namespace quillon::xfs
