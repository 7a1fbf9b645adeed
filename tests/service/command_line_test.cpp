// The command line --install-service registers: what Windows' C runtime
// splits back into the same arguments, the configuration by its full path.
#include <gtest/gtest.h>

#include "command_line.h"

using namespace quillon::xfs;

TEST(ServiceCommandLine, EachArgumentReadsBackAsGiven) {
    const struct {
        const char* pArg;
        const char* pQuoted;
    } cases[] = {
        {R"(C:\ProgramData\Quillon\Quillon.ini)", R"(C:\ProgramData\Quillon\Quillon.ini)"},
        {R"(C:\Program Files\Quillon\Quillon.ini)", R"("C:\Program Files\Quillon\Quillon.ini")"},
        {R"(C:\Kiosk Data\)", R"("C:\Kiosk Data\\")"}, // the closing quote stays a quote
        {R"(a"b)", R"("a\"b")"},
        {R"(a\"b)", R"("a\\\"b")"},
        {R"(a\\b c)", R"("a\\b c")"}, // backslashes before no quote stay as they are
        {"tab\there", "\"tab\there\""},
        {"", R"("")"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QuotedArgument(c.pArg), c.pQuoted) << c.pArg;
}

TEST(ServiceCommandLine, ConfigurationFirstAndInstallFlagLeftOut) {
    const char* const argv[] = {
        "quillon-xfs4iot.exe", "--install-service",   "--config", "Quillon.ini", "--port", "5850",
        "--config=other.ini",  "--allow-page-actions"};
    EXPECT_EQ(ServiceArguments(8, argv, R"(C:\Kiosk Data\Quillon.ini)"),
              (std::vector<std::string>{"--config", R"(C:\Kiosk Data\Quillon.ini)", "--port",
                                        "5850", "--allow-page-actions"}));
    EXPECT_EQ(
        WindowsCommandLine(R"(C:\Program Files\Quillon\quillon-xfs4iot.exe)",
                           {"--config", R"(C:\Kiosk Data\Quillon.ini)", "--port", "5850"}),
        R"("C:\Program Files\Quillon\quillon-xfs4iot.exe" --config "C:\Kiosk Data\Quillon.ini" --port 5850)");
}
