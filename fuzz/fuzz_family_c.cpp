// Family C on the serial line: the input is the reader's behaviour and the
// operations called, in the order they come.
#include "fuzz_support.h"
#include "readers/family_c/serial_reader_c.h"

QUILLON_FUZZ_DRIVER(quillon::OSerialReaderC, 3, "family C", 20000)
