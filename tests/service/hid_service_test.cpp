// The service with a USB reader of type 5 (family A) and 6 (family B): the
// reader emulated on a hidraw node served through FUSE, the program in its
// own process finding it through QUILLON_HIDRAW_ROOT.
#include "../hid_fuse/fuse_rig.h"
#include "service_fixture.h"

namespace emu = quillon::emu;
using tSetup = OServiceRun::tSetup;

TEST(ServiceHid, ReadRawDataFromAUsbReaderOfEachFamily) {
    // Family; type; its sections.
    const std::tuple<emu::Family, int, std::string> rows[] = {
        {emu::Family::A, 5, ""},
        {emu::Family::B, 6, "[USB]\nVID=4660\nPID=22136\n"},
    };
    for (const auto& [family, type, ini] : rows) {
        emu::HidReader reader(family);
        START_OR_SKIP(reader);
        reader.Emu().PlaceCard(emu::CardPosition::Inside);
        tSetup setup;
        setup.iReaderType = type;
        setup.sReaderIni = ini;
        setup.sHidrawRoot = reader.Node().Root();
        OServiceRun run(setup);
        ASSERT_TRUE(run.bStarted()) << run.sLog();
        OApp app(run.iPort());
        // The card is in the emulated USB reader only (none in the fixture's serial one).
        const Json done = app.Call("CardReader.ReadRawData", 1, {{"track2", true}});
        EXPECT_EQ("completion CardReader.ReadRawData success", Line(done)) << done.dump();
        EXPECT_TRUE(
            bHolds(done["payload"], {{"track2", {{"data", B64(emu::Card::Default().track2)}}}}))
            << done.dump();
    }
}
