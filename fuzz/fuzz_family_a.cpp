// Family A on the serial line, its auxiliary module on the same line: the
// input is the reader's and the module's behaviour and the operations
// called, in the order they come.
#include "fuzz_support.h"
#include "readers/family_a/serial_reader_a.h"

QUILLON_FUZZ_DRIVER(quillon::OSerialReaderA, 1, "family A", 30000)
