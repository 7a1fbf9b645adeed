#include <gtest/gtest.h>

#include <cstring>

#include "platform/dev_base.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

TEST(DevBase, DefaultConfigFromTheIniFile) {
    struct Row {
        const char* ini;
        int rc;
        uint32_t baud;
    } rows[] = {
        {"[CARDREADER]\nPort=/dev/ttyS1\n", 0, 9600},
        {"[cardreader]\nport = COM3\nBaudRate=38400\n", 0, 38400},
        {"[CARDREADER]\nBaudRate=38400\n", 1, 0}, // no port
        {"[Other]\nPort=/dev/ttyS1\n", 1, 0},
    };
    for (const Row& r : rows) {
        TestEnv env(r.ini);
        ODevBase base;
        tCommCfg2 cfg{};
        EXPECT_EQ(r.rc, base.iPreInitDev()) << r.ini;
        ASSERT_EQ(r.rc, base.iGetDefaultCommConfig2(cfg)) << r.ini;
        if (r.rc != 0)
            continue;
        EXPECT_EQ(1, cfg.iKind);
        EXPECT_EQ(r.baud, cfg.uiBaudRate);
        EXPECT_EQ(8, cfg.byDataBits);
        EXPECT_EQ(0, cfg.byParity);
        EXPECT_EQ(0, cfg.byStopBits);
    }
    TestEnv env("[CARDREADER]\nPort=COM3\n");
    ODevBase base;
    tCommCfg2 cfg{};
    ASSERT_EQ(0, base.iGetDefaultCommConfig2(cfg));
    EXPECT_STREQ("COM3", cfg.acPort);
}

TEST(DevBase, WaitNeverReportsMoreThanWantedAndNothingIsAFailure) {
    TestEnv env;
    ScopedScriptedLine line;
    ODevBase base;
    tCommCfg2 cfg{};
    ASSERT_EQ(0, base.iGetDefaultCommConfig2(cfg));
    ASSERT_EQ(0, base.iInitComm2(cfg, false));
    line->vFeed(B({1, 2, 3, 4, 5}));
    uint8_t buf[8] = {};
    uint32_t count = 3;
    EXPECT_EQ(0, base.iWaitResult2(buf, count, 250, 0, true));
    EXPECT_EQ(3u, count);
    count = 8;
    EXPECT_EQ(0, base.iWaitResult2(buf, count, 250, 0, true));
    EXPECT_EQ(2u, count);
    count = 8;
    EXPECT_NE(0, base.iWaitResult2(buf, count, 250, 0, true));
    EXPECT_EQ(0u, count);
    EXPECT_EQ((std::vector<uint32_t>{250, 250, 250}), line->ReadTimeouts());

    cfg.iKind = 2;
    EXPECT_NE(0, base.iInitComm2(cfg, false)); // only RS-232 is driven
    EXPECT_NE(0, base.iSendCommand2(buf, 1, 1, true, true));
}

TEST(DevBase, OutcomeRecording) {
    ODevBase base;
    tDevReturn r{};
    r.iCode1 = r.iCode2 = 1244;
    r.iErrFlag1 = r.iErrFlag2 = 1;
    base.vSetErrorFlag(r);
    EXPECT_EQ(1244, base.tGetErrorFlag().iCode2);
    base.vSetErrorFlag(0);
    EXPECT_EQ(0, base.tGetErrorFlag().iCode1);
    EXPECT_EQ(0, base.tGetErrorFlag().iErrFlag2);
}
