#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/config_store.h"
#include "platform/dev_base.h"
#include "support/test_env.h"

using quillon::ConfigGetInt;
using quillon::ConfigSetInt;

TEST(ConfigStore, LookupRules) {
    TestEnv env("; kiosk reader\n"
                "[CardReaderType]\n"
                "CardReaderType = 2 ; set by auto-detection\n"
                "[dtr]\n"
                "DTR=0x1\n"
                "[IntakeMode]\n"
                "IntakeMode=fast\n"
                "Empty=\n"
                "Neg=-12\n"
                "Big=99999999999\n"
                "# IntakeMode=7\n");
    struct Row {
        const char* section;
        const char* key;
        int rc;
        int value; // expected value (7 = left alone)
    } rows[] = {
        {"CardReaderType", "CardReaderType", 0, 2}, // comment after the value
        {"cardreadertype", "CARDREADERTYPE", 0, 2}, // names ignore case
        {"Dtr", "Dtr", 0, 1},                       // hex
        {"IntakeMode", "IntakeMode", 1, 7},         // not an integer
        {"IntakeMode", "Empty", 1, 7},
        {"IntakeMode", "Neg", 0, -12},
        {"IntakeMode", "Big", 1, 7},                // does not fit 32 bits
        {"ActMode", "ActMode", 1, 7},               // missing section
        {"Dtr", "Missing", 1, 7},                   // missing key
    };
    for (const Row& r : rows) {
        int v = 7;
        EXPECT_EQ(r.rc, ConfigGetInt(env.configPath(), r.section, r.key, v)) << r.section << "/" << r.key;
        EXPECT_EQ(r.value, v) << r.section << "/" << r.key;
    }
    int v = 7;
    EXPECT_EQ(1, ConfigGetInt(env.dir() + "/nope.ini", "Dtr", "Dtr", v));
    EXPECT_EQ(7, v);
}

TEST(ConfigStore, SetKeepsEveryOtherLineByteForByte) {
    const std::string before = "; Quillon configuration\r\n"
                               "[CARDREADER]\r\n"
                               "Port=/dev/ttyUSB0   # the kiosk's reader\r\n"
                               "\r\n"
                               "[CardReaderType]\r\n"
                               "cardreadertype = 2 ; detected\r\n"
                               "Other=5\r\n"
                               "[Dtr]\r\n"
                               "Dtr=1";
    TestEnv env(before);
    ASSERT_EQ(0, ConfigSetInt(env.configPath(), "CardReaderType", "CardReaderType", 1));
    std::string expected = before;
    expected.replace(expected.find("cardreadertype = 2"), 18, "cardreadertype = 1");
    EXPECT_EQ(expected, env.sReadConfig());

    // A new key goes at the end of its section; a new section at the end.
    ASSERT_EQ(0, ConfigSetInt(env.configPath(), "CARDREADER", "BaudRate", 19200));
    ASSERT_EQ(0, ConfigSetInt(env.configPath(), "USB", "VID", 1424));
    int v = 0;
    EXPECT_EQ(0, ConfigGetInt(env.configPath(), "CARDREADER", "BaudRate", v));
    EXPECT_EQ(19200, v);
    EXPECT_EQ(0, ConfigGetInt(env.configPath(), "usb", "vid", v));
    EXPECT_EQ(1424, v);
    EXPECT_EQ(0, ConfigGetInt(env.configPath(), "Dtr", "Dtr", v));
    EXPECT_EQ(1, v);
    const std::string after = env.sReadConfig();
    EXPECT_NE(std::string::npos,
              after.find("Port=/dev/ttyUSB0   # the kiosk's reader\r\nBaudRate=19200\r\n\r\n"));
    EXPECT_NE(std::string::npos, after.find("Dtr=1\r\n[USB]\r\nVID=1424\r\n"));
}

TEST(ConfigStore, SetCreatesAMissingFile) {
    TestEnv env;
    std::filesystem::remove(env.configPath());
    ASSERT_EQ(0, ConfigSetInt(env.configPath(), "CardReaderType", "CardReaderType", 3));
    EXPECT_EQ("[CardReaderType]\nCardReaderType=3\n", env.sReadConfig());
}

TEST(ConfigStore, FailedWriteLeavesTheOldFile) {
    const std::string old = "[CardReaderType]\nCardReaderType=2\n";
    TestEnv env(old);
    // The temporary file cannot be created (a folder stands in its place).
    std::filesystem::create_directory(env.configPath() + ".tmp." + std::to_string(getpid()));
    EXPECT_EQ(1, ConfigSetInt(env.configPath(), "CardReaderType", "CardReaderType", 1));
    EXPECT_EQ(old, env.sReadConfig());

#if !defined(_WIN32) // Windows folders have no write permission bits to take away
    if (geteuid() != 0) { // root writes into read-only folders
        TestEnv ro(old);
        chmod(ro.dir().c_str(), 0500);
        EXPECT_EQ(1, ConfigSetInt(ro.configPath(), "CardReaderType", "CardReaderType", 1));
        chmod(ro.dir().c_str(), 0700);
        EXPECT_EQ(old, ro.sReadConfig());
    }
#endif
}
