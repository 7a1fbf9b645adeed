// OReaderRegistry: owns everything below the device manager - the trace log,
// the communication object and one instance of each driver - and picks the
// driver that talks to the reader on the line.
#pragma once

#include "infra/result_codes.h"
#include "readers/reader_type.h"

namespace quillon {

class OIdcDriver;
class OReaderComm;
class OTraceLog;
class OSerialReaderA;
class OSerialReaderB;
class OSerialReaderC;
class OHidReaderA;
class OHidReaderB;

class OReaderRegistry {
public:
    OReaderRegistry();
    virtual ~OReaderRegistry();
    OReaderRegistry(const OReaderRegistry&) = delete;
    OReaderRegistry& operator=(const OReaderRegistry&) = delete;

    // What a selection decided: the type, its driver (null for a type
    // without one: the active driver stays), and whether the type was
    // found (a reader of it answered, or it is not probed): only then is it
    // written back to the configuration, so that the next selection tries
    // that family first.
    struct tSelection {
        ReaderType eType = ReaderType::None;
        OIdcDriver* pDriver = nullptr;
        bool bFound = false;
    };
    // Opens the port, probes the configured serial family and, if it is
    // silent, families A and B. Changes nothing of the configuration.
    tSelection tSelectDriver();
    // Writes a type found back to the configuration.
    void vRememberType(ReaderType eType);

    OReaderComm* pComm() const { return m_pComm; }
    OTraceLog* pTraceLog() const { return m_pTraceLog; }
    // The driver a reader type selects; null for a type without one.
    OIdcDriver* pDriverForType(ReaderType eType) const;

private:
    // Opens the port the way the configured type's family opens it (the
    // trace file alone for the types above the serial ones); false when it
    // could not be opened. eLast: the code the opening reported.
    bool bOpenPortFor(ReaderType eType, Code& eLast);

    OReaderComm* m_pComm = nullptr;
    OTraceLog* m_pTraceLog = nullptr;
    OSerialReaderB* m_pSerialB = nullptr;
    OSerialReaderA* m_pSerialA = nullptr;
    OHidReaderA* m_pHidA = nullptr;
    OSerialReaderC* m_pSerialC = nullptr;
    OHidReaderB* m_pHidB = nullptr;
};

} // namespace quillon
