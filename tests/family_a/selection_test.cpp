#include "api/reader_registry.h"
#include "reader_a_fixture.h"

// A family-A reader on the line answers its own frames and nothing else, so
// family B, probed first when configured, hears nothing.
TEST(SelectionA, FamilyAReaderIsFoundAndRecorded) {
    struct Row {
        const char* configured;
        bool readerOnLine;
        int type;
        bool written;
        bool familyBProbed;
    } rows[] = {
        {"2", true, 1, true, true},
        {"1", true, 1, true, false},
        {"1", false, 1, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.configured) + (row.readerOnLine ? " A on line" : " silent"));
        TestEnv env(std::string("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\n"
                                "CardReaderType=") +
                    row.configured + "\n");
        ScopedScriptedLine line;
        if (row.readerOnLine) {
            line->responder = [](const Bytes& w) {
                if (w.size() > 2 && w[0] == 0x10 && w[1] == 0x02)
                    return B({0x10, 0x06});
                if (w == B({0x10, 0x05}))
                    return FrameA(B("P0000"
                                    "0000"
                                    "0000"
                                    "0"));
                return Bytes{};
            };
        }
        const std::string before = env.sReadConfig();
        OReaderRegistry reg;
        OIdcDriver* active = nullptr;
        EXPECT_EQ(row.type, reg.iSelectDriver(active));
        EXPECT_EQ(reg.pDriverForType(1), active);
        int written = 0;
        EXPECT_EQ(0, reg.pComm()->iGetIntValue("CardReaderType", "CardReaderType", written));
        if (row.written)
            EXPECT_EQ(1, written);
        else
            EXPECT_EQ(before, env.sReadConfig());

        bool bProbed = false;
        std::vector<std::string> aCommands;
        for (const Bytes& w : line->Writes()) {
            bProbed = bProbed || (!w.empty() && w[0] != 0x10);
            if (w.size() > 2 && w[0] == 0x10 && w[1] == 0x02)
                aCommands.push_back(TextOfA(w));
        }
        EXPECT_EQ(row.familyBProbed, bProbed);
        EXPECT_EQ((Texts{"C11", "C10"}), aCommands); // a silent "C11" does not stop the status
    }
}
