// Family A behind the USB HID transport (CardReaderType 4 or 5): the input
// is the device (present, report lengths), the reader's input reports and
// the operations called.
#include "fuzz_support.h"
#include "infra/reader_comm.h"
#include "readers/family_a/hid_reader_a.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    fuzz::Setup();
    fuzz::Input in(pData, uiSize);
    fuzz::WriteConfigFromInput(in, in.u8() & 1 ? 5 : 4);
    fuzz::Begin(in);
    OReaderComm comm(nullptr, "CARDREADER");
    OHidReaderA reader(&comm);
    const fuzz::Limits limits{"family A over USB", 30000};
    tDevReturn r;
    fuzz::FreshRecord(&r);
    fuzz::CheckOutcome("SetCommPara", reader.SetCommPara(&r), &r, limits);
    fuzz::RunDriver(reader, in, limits);
    return 0;
}
