#include "reader_b_fixture.h"

#include "api/reader_registry.h"
#include "readers/idc_driver.h"

// A family-B reader on the line, found by the reader selection.
TEST(SelectionB, ConfiguredFamilyBAnswersAtOnce) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=2\n");
    ScopedScriptedLine line;
    FakeReaderB fake;
    fake.vInstall(*line);
    fake.answers = {Ok(B({0, 0, 0, 'F'})), Ok()};
    OReaderRegistry reg;
    OIdcDriver* active = nullptr;
    EXPECT_EQ(2, reg.iSelectDriver(active));
    EXPECT_EQ(reg.pDriverForType(2), active);
    EXPECT_EQ((std::vector<std::string>{"C13", "C11"}), fake.commands); // one status exchange
    int written = 0;
    EXPECT_EQ(0, reg.pComm()->iGetIntValue("CardReaderType", "CardReaderType", written));
    EXPECT_EQ(2, written);
}
