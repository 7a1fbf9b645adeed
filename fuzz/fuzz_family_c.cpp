// Family C on the serial line: the input is the reader's behaviour and the
// operations called, in the order they come.
#include "fuzz_support.h"
#include "infra/reader_comm.h"
#include "readers/family_c/serial_reader_c.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    fuzz::Setup();
    fuzz::Input in(pData, uiSize);
    fuzz::WriteConfigFromInput(in, 3);
    fuzz::Begin(in);
    OReaderComm comm(nullptr, "CARDREADER");
    OSerialReaderC reader(&comm);
    const fuzz::Limits limits{"family C", 20000};
    tDevReturn r;
    fuzz::FreshRecord(&r);
    fuzz::CheckOutcome("SetCommPara", reader.SetCommPara(&r), &r, limits);
    fuzz::RunDriver(reader, in, limits);
    return 0;
}
