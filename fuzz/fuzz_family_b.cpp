// Family B on the serial line: the input is the reader's behaviour and the
// operations called, in the order they come.
#include "fuzz_support.h"
#include "readers/family_b/serial_reader_b.h"

QUILLON_FUZZ_DRIVER(quillon::OSerialReaderB, 2, "family B", 30000)
