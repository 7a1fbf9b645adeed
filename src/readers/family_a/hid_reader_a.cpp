#include "readers/family_a/hid_reader_a.h"

#include "readers/family_a/family_a_reader.h"

OHidReaderA::OHidReaderA(OReaderComm* pComm) : OUnfinishedReader(pComm) {
    m_caps.usField[3] = 2; // auxiliary module absent
    vCopyLibraryVersion();
    m_status.usField[9] = 255;
    m_caps.usField[6] = 999;
}

// The same refusal as the serial driver's.
int OHidReaderA::ReleaseAntiFishing(tDevReturn* pRet) {
    return OFamilyAReader::iRefuseAntiFishing(pRet);
}
