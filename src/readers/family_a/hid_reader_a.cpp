#include "readers/family_a/hid_reader_a.h"

OHidReaderA::OHidReaderA(OReaderComm* pComm) : OUnfinishedReader(pComm) {
    m_caps.usField[3] = 2; // auxiliary module absent
    vCopyLibraryVersion();
    m_status.usField[9] = 255;
    m_caps.usField[6] = 999;
}

int OHidReaderA::ReleaseAntiFishing(tDevReturn* pRet) { return iSetRecord(pRet, 1216, 1, 1); }
