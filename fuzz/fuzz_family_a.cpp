// Family A on the serial line, its auxiliary module on the same line: the
// input is the reader's and the module's behaviour and the operations
// called, in the order they come.
#include "fuzz_support.h"
#include "infra/reader_comm.h"
#include "readers/family_a/serial_reader_a.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    fuzz::Setup();
    fuzz::Input in(pData, uiSize);
    fuzz::WriteConfigFromInput(in, 1);
    fuzz::Begin(in);
    OReaderComm comm(nullptr, "CARDREADER");
    OSerialReaderA reader(&comm);
    const fuzz::Limits limits{"family A", 30000};
    tDevReturn r;
    fuzz::FreshRecord(&r);
    fuzz::CheckOutcome("SetCommPara", reader.SetCommPara(&r), &r, limits);
    fuzz::RunDriver(reader, in, limits);
    return 0;
}
