// OReaderRegistry: owns everything below the device manager - the trace log,
// the communication object and one instance of each driver - and picks the
// driver that talks to the reader on the line.
#pragma once

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

    // Opens the port, probes the configured serial family and, if it is
    // silent, families A and B; writes the type found back to the
    // configuration and makes its driver active. Returns the type.
    int iSelectDriver(OIdcDriver*& pActive);

    OReaderComm* pComm() const { return m_pComm; }
    OTraceLog* pTraceLog() const { return m_pTraceLog; }
    // The driver a reader type selects (1..6); null for any other type.
    OIdcDriver* pDriverForType(int iType) const;

private:
    OReaderComm* m_pComm = nullptr;
    OTraceLog* m_pTraceLog = nullptr;
    OSerialReaderB* m_pSerialB = nullptr;
    OSerialReaderA* m_pSerialA = nullptr;
    OHidReaderA* m_pHidA = nullptr;
    OSerialReaderC* m_pSerialC = nullptr;
    OHidReaderB* m_pHidB = nullptr;
};

} // namespace quillon
