#include <gtest/gtest.h>

#include <cstring>

#include "platform/dev_base.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

using namespace quillon;

TEST(DevBase, DefaultLineSettingsFromTheIniFile) {
    struct Row {
        const char* ini;
        int rc;
        const char* port;
        uint32_t baud;
    } rows[] = {
        {"[CARDREADER]\nPort=/dev/ttyS1\n", 0, "/dev/ttyS1", 9600},
        {"[cardreader]\nport = COM3\nBaudRate=38400\n", 0, "COM3", 38400},
        {"[CARDREADER]\nPort=COM3\nBaudRate=-5\n", 0, "COM3", 9600},
        {"[CARDREADER]\nBaudRate=38400\n", 1, "", 0}, // no port
        {"[Other]\nPort=/dev/ttyS1\n", 1, "", 0},
    };
    for (const Row& r : rows) {
        TestEnv env(r.ini);
        ODevBase base;
        tLineSettings s;
        s.bDtrOn = s.bRtsHandshake = true; // filled whole, nothing kept
        s.eParity = Parity::Odd;
        ASSERT_EQ(r.rc, base.iGetDefaultLineSettings(s)) << r.ini;
        if (r.rc != 0)
            continue;
        EXPECT_EQ(r.port, s.sPort);
        EXPECT_EQ(r.baud, s.uiBaud);
        EXPECT_TRUE(s.eDataBits == DataBits::Eight && s.eParity == Parity::None &&
                    s.eStopBits == StopBits::One && !s.bDtrOn && !s.bRtsHandshake);
    }
}

TEST(DevBase, ReadNeverReportsMoreThanWantedAndNothingIsAFailure) {
    TestEnv env;
    ScopedScriptedLine line;
    ODevBase base;
    tLineSettings s;
    ASSERT_EQ(0, base.iGetDefaultLineSettings(s));
    ASSERT_EQ(0, base.iOpenLine(s));
    line->vFeed(B({1, 2, 3, 4, 5}));
    uint8_t buf[8] = {};
    uint32_t count = 3;
    EXPECT_EQ(0, base.iRead(buf, count, 250));
    EXPECT_EQ(3u, count);
    count = 8;
    EXPECT_EQ(0, base.iRead(buf, count, 250));
    EXPECT_EQ(2u, count);
    count = 8;
    EXPECT_NE(0, base.iRead(buf, count, 250));
    EXPECT_EQ(0u, count);
    EXPECT_EQ((std::vector<uint32_t>{250, 250, 250}), line->ReadTimeouts());

    base.vCloseLine();
    EXPECT_FALSE(base.bLineOpen());
    line->vClear();
    EXPECT_NE(0, base.iWrite(buf, 1));
    EXPECT_NE(0, base.iSetDtr(true));
    EXPECT_TRUE(line->events.empty()); // a closed line is not used
}
