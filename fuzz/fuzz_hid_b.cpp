// Family B behind the USB HID transport (CardReaderType 6): the input is
// the device (present, report lengths), the reader's input reports and the
// operations called.
#include "fuzz_support.h"
#include "readers/family_b/hid_reader_b.h"

QUILLON_FUZZ_DRIVER(quillon::OHidReaderB, 6, "family B over USB", 30000)
