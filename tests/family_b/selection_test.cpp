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

// Configured family C silent, family A probed and silent, family B answers.
TEST(SelectionB, ProbedFamilyBIsWrittenBack) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=3\n");
    ScopedScriptedLine line;
    FakeReaderB fake; // answers family-B frames only; other families hear nothing
    fake.vInstall(*line);
    fake.answers = {Ok(B({0, 0, 0, 'F'})), Ok()};
    OReaderRegistry reg;
    OIdcDriver* active = nullptr;
    EXPECT_EQ(2, reg.iSelectDriver(active));
    EXPECT_EQ(reg.pDriverForType(2), active);
    EXPECT_EQ((std::vector<std::string>{"C13", "C11"}), fake.commands);
    const std::vector<Bytes> writes = line->Writes();
    ASSERT_GE(writes.size(), 4u);
    EXPECT_EQ(0x02, writes[0][0]); // family C (STX) first, then family A (DLE STX)
    EXPECT_EQ(0x10, writes[1][0]);
    int written = 0;
    EXPECT_EQ(0, reg.pComm()->iGetIntValue("CardReaderType", "CardReaderType", written));
    EXPECT_EQ(2, written);
}
