// OHidReaderA: family A over USB HID (CardReaderType 4 and 5).
#pragma once

#include "readers/unfinished_reader.h"

class OHidReaderA : public OUnfinishedReader<OUnfinishedHidBase> {
public:
    explicit OHidReaderA(OReaderComm* pComm);
    int ReleaseAntiFishing(tDevReturn* pRet) override;
};
