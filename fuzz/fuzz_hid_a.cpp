// Family A behind the USB HID transport (CardReaderType 4 or 5): the input
// is the device (present, report lengths), the reader's input reports and
// the operations called.
#include "fuzz_support.h"
#include "readers/family_a/hid_reader_a.h"

QUILLON_FUZZ_DRIVER(quillon::OHidReaderA, 0, "family A over USB", 30000)
