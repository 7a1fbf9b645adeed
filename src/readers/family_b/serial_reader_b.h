// OSerialReaderB: family B over the serial line (CardReaderType 2).
#pragma once

#include "readers/unfinished_reader.h"

class OSerialReaderB : public OUnfinishedReader<OSerialReaderBase> {
public:
    explicit OSerialReaderB(OReaderComm* pComm);
};
