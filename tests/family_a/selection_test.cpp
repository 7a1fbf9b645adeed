#include "api/reader_registry.h"
#include "support/scripted_reader.h"
#include "support/selection.h"

using namespace quillon;

// Family B, probed first when configured, hears nothing from a family-A reader.
TEST(SelectionA, FamilyAReaderIsFoundAndRecorded) {
    for (const bool readerOnLine : {true, false}) { // configured 2, or 1 on a silent line
        SCOPED_TRACE(readerOnLine);
        TestEnv env(
            std::string("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=") +
            (readerOnLine ? "2" : "1") + "\n");
        ScopedScriptedLine line;
        if (readerOnLine)
            line->responder = [](const Bytes& w) {
                if (ReaderA::IsA(w))
                    return B({0x10, 0x06});
                return w == B({0x10, 0x05}) ? FrameA(B("P" + std::string(13, '0'))) : Bytes{};
            };
        const std::string before = env.sReadConfig();
        OReaderRegistry reg;
        OIdcDriver* active = nullptr;
        EXPECT_EQ(1, Select(reg, active));
        EXPECT_EQ(DriverOf(reg, 1), active);
        int written = 0;
        EXPECT_EQ(0, reg.pComm()->iGetIntValue("CardReaderType", "CardReaderType", written));
        if (readerOnLine)
            EXPECT_EQ(1, written);
        else
            EXPECT_EQ(before, env.sReadConfig());
        bool bProbed = false;
        Texts aCommands;
        for (const Bytes& w : line->Writes()) {
            bProbed = bProbed || (!w.empty() && w[0] != 0x10);
            if (ReaderA::IsA(w))
                aCommands.push_back(ReaderA::TextOfA(w));
        }
        EXPECT_TRUE(bProbed);
        EXPECT_EQ((Texts{"C11", "C10"}), aCommands); // a silent "C11" does not stop the status
    }
}
