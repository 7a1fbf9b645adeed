// OSerialReaderC: family C over the serial line (CardReaderType 3).
#pragma once

#include "readers/unfinished_reader.h"

class OSerialReaderC : public OUnfinishedReader<OSerialReaderBase> {
public:
    explicit OSerialReaderC(OReaderComm* pComm);
    // Not supported by this family: 1266 with flags 0.
    int GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) override;
    int ResetCount(int iCounter, tDevReturn* pRet) override;
    int WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;
    int ReleaseAntiFishing(tDevReturn* pRet) override;

private:
    int iNotSupported(tDevReturn* pRet) { return iSetRecord(pRet, 1266, 0, 1); }
};
