// Opens a communication object's port the way a serial driver's SetCommPara
// does (without the family's line changes); 0 once it is open.
#pragma once

#include "infra/reader_comm.h"

inline int OpenPort(quillon::OReaderComm& comm) {
    return comm.eOpenPort() == quillon::OReaderComm::PortOpening::Failed ? 1 : 0;
}
