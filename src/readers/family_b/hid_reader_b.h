// OHidReaderB: family B over USB HID (CardReaderType 6).
#pragma once

#include "readers/unfinished_reader.h"

class OHidReaderB : public OUnfinishedReader<OUnfinishedHidBase> {
public:
    explicit OHidReaderB(OReaderComm* pComm);
};
