// OSerialReaderA: family A over the serial line (CardReaderType 1).
#pragma once

#include "readers/unfinished_reader.h"

class OSerialReaderA : public OUnfinishedReader<OSerialReaderBase> {
public:
    explicit OSerialReaderA(OReaderComm* pComm);
    // The family shares these two with every other driver.
    int ReleaseAntiFishing(tDevReturn* pRet) override;
};
