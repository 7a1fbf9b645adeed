#include "readers/family_c/serial_reader_c.h"

OSerialReaderC::OSerialReaderC(OReaderComm* pComm) : OUnfinishedReader(pComm) {
    m_status.usField[9] = 255;
    m_status.usField[8] = 0;
    m_caps.usField[6] = 99;
}

int OSerialReaderC::GetLifeInfo(tIdcLife*, tDevReturn* pRet) { return iNotSupported(pRet); }
int OSerialReaderC::ResetCount(int, tDevReturn* pRet) { return iNotSupported(pRet); }
int OSerialReaderC::WriteTrack(tIdcTracks*, tDevReturn* pRet) { return iNotSupported(pRet); }
int OSerialReaderC::ReleaseAntiFishing(tDevReturn* pRet) { return iNotSupported(pRet); }
