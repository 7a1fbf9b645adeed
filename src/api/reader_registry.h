// OReaderRegistry: owns everything below the device manager - the trace log,
// the communication object and the drivers of the reader variants, built
// from their table (one per maker) - and picks the driver that talks to the
// reader on the line.
#pragma once

#include <memory>

#include "infra/result_codes.h"
#include "readers/reader_variants.h"

namespace quillon {

class OIdcDriver;
class OReaderComm;
class OTraceLog;

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

    OReaderComm* pComm() const { return m_pComm.get(); }
    OTraceLog* pTraceLog() const { return m_pTraceLog.get(); }
    // The driver a reader type selects; null for a type without one.
    OIdcDriver* pDriverForType(ReaderType eType) const;

private:
    // Opens the port the way the configured type's family opens it (the
    // trace file alone for the types above the serial ones); false when it
    // could not be opened. eLast: the code the opening reported.
    bool bOpenPortFor(ReaderType eType, Code& eLast);

    // Destroyed in reverse: the drivers, the communication object (it closes
    // the line), the trace log (it closes the trace and unloads the library).
    std::unique_ptr<OTraceLog> m_pTraceLog;
    std::unique_ptr<OReaderComm> m_pComm;
    // The driver of each variant's row; rows that share a maker share the
    // driver of the first of them.
    std::unique_ptr<OIdcDriver> m_apDrivers[kReaderVariantCount];
};

} // namespace quillon
