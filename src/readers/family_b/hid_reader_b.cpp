#include "readers/family_b/hid_reader_b.h"

OHidReaderB::OHidReaderB(OReaderComm* pComm) : OUnfinishedReader(pComm) {
    vCopyLibraryVersion();
    m_status.usField[9] = 255;
    m_caps.usField[6] = 99;
}
