// A reader selection as the device manager makes one: the type found is
// written back to the configuration and its driver made active.
#pragma once

#include "api/reader_registry.h"

inline int Select(quillon::OReaderRegistry& reg, quillon::OIdcDriver*& pActive) {
    const quillon::OReaderRegistry::tSelection tFound = reg.tSelectDriver();
    if (tFound.bFound)
        reg.vRememberType(tFound.eType);
    if (tFound.pDriver)
        pActive = tFound.pDriver;
    return static_cast<int>(tFound.eType);
}
inline quillon::OIdcDriver* DriverOf(const quillon::OReaderRegistry& reg, int iType) {
    return reg.pDriverForType(static_cast<quillon::ReaderType>(iType));
}
