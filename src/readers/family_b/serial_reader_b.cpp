#include "readers/family_b/serial_reader_b.h"

OSerialReaderB::OSerialReaderB(OReaderComm* pComm) : OUnfinishedReader(pComm) {
    vCopyLibraryVersion();
    m_status.usField[9] = 255;
    m_caps.usField[6] = 99;
}
