// Family B behind the USB HID transport (CardReaderType 6): the input is
// the device (present, report lengths), the reader's input reports and the
// operations called.
#include "fuzz_support.h"
#include "infra/reader_comm.h"
#include "readers/family_b/hid_reader_b.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    fuzz::Setup();
    fuzz::Input in(pData, uiSize);
    fuzz::WriteConfigFromInput(in, 6);
    fuzz::Begin(in);
    OReaderComm comm(nullptr, "CARDREADER");
    OHidReaderB reader(&comm);
    const fuzz::Limits limits{"family B over USB", 30000};
    tDevReturn r;
    fuzz::FreshRecord(&r);
    fuzz::CheckOutcome("SetCommPara", reader.SetCommPara(&r), &r, limits);
    fuzz::RunDriver(reader, in, limits);
    return 0;
}
