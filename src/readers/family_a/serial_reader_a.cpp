#include "readers/family_a/serial_reader_a.h"

OSerialReaderA::OSerialReaderA(OReaderComm* pComm) : OUnfinishedReader(pComm) {
    vCopyLibraryVersion();
    m_status.usField[9] = 255;
    m_caps.usField[6] = 999;
}

// Family A readers refuse to release the anti-fishing lock: 1216.
int OSerialReaderA::ReleaseAntiFishing(tDevReturn* pRet) { return iSetRecord(pRet, 1216, 1, 1); }
