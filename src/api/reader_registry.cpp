#include "api/reader_registry.h"

#include <cstring>
#include <new>

#include "infra/reader_comm.h"
#include "infra/trace_log.h"
#include "readers/idc_driver.h"

namespace quillon {

namespace {
// Families probed when the configured one is silent, in order.
constexpr ReaderType kProbeOrder[] = {ReaderType::SerialA, ReaderType::SerialB};

// The row whose driver serves row i: the first with the same maker.
size_t DriverRow(size_t i) {
    for (size_t j = 0; j < i; ++j)
        if (kReaderVariants[j].pfnMake == kReaderVariants[i].pfnMake)
            return j;
    return i;
}
} // namespace

OReaderRegistry::OReaderRegistry()
    : m_pTraceLog(new (std::nothrow) OTraceLog()),
      m_pComm(new (std::nothrow) OReaderComm(m_pTraceLog.get(), "CARDREADER")) {
    if (!m_pComm)
        return;
    for (size_t i = 0; i < kReaderVariantCount; ++i)
        if (DriverRow(i) == i)
            m_apDrivers[i] = kReaderVariants[i].pfnMake(m_pComm.get());
}

OReaderRegistry::~OReaderRegistry() = default;

OIdcDriver* OReaderRegistry::pDriverForType(ReaderType eType) const {
    const tReaderVariant* pVariant = pVariantOf(eType);
    return pVariant ? m_apDrivers[DriverRow(static_cast<size_t>(pVariant - kReaderVariants))].get()
                    : nullptr;
}

void OReaderRegistry::vRememberType(ReaderType eType) {
    if (m_pComm)
        iStoreType(*m_pComm, eType);
}

bool OReaderRegistry::bOpenPortFor(ReaderType eType, Code& eLast) {
    // USB readers (and unknown types from 4 up) need no port, and count as opened.
    if (NeedsNoPort(eType)) {
        m_pComm->vPrepareWithoutPort();
        return true;
    }
    OIdcDriver* pConfigured = pDriverForType(eType);
    if (!pConfigured)
        return m_pComm->eOpenPort() != OReaderComm::PortOpening::Failed;
    const tDriverResult opened = pConfigured->SetCommPara();
    if (opened.bWrites)
        eLast = opened.eCode;
    return opened.iResult == 0;
}

OReaderRegistry::tSelection OReaderRegistry::tSelectDriver() {
    tSelection found;
    if (!m_pComm)
        return found;
    // The code the selection's own probes last reported (the opening's 0 to start with).
    Code eLast = Code::Ok;
    tIdcStatus status;
    std::memset(&status, 0, sizeof status);

    ReaderType eType = ReaderType::SerialB; // when none is configured
    bConfiguredType(*m_pComm, eType);
    // A port that cannot be opened detects nothing: nothing is written, and
    // the configured type's driver stays the one whose SetCommPara reports
    // the failure to the caller.
    if (bOpenPortFor(eType, eLast)) {
        // A reader answered: the port carried the exchange (no CommFailed, and the
        // line did not hang up under it) and the family was not silent.
        auto answered = [&](OIdcDriver* pDriver) {
            const tDriverResult probe = pDriver->GetStatus(&status);
            if (probe.bWrites)
                eLast = probe.eCode;
            return m_pComm->bPortOpen() && eLast != Code::CommFailed && !IsSilent(eLast);
        };
        // The configured serial family first; USB and unknown types are not
        // probed and count as found (the record still holds the opening's 0).
        found.bFound = true;
        ReaderType eFound = eType;
        if (IsSerial(eType)) {
            if (OIdcDriver* pDriver = pDriverForType(eType))
                found.bFound = answered(pDriver);
        }
        // A port lost on the way is probed no further.
        for (ReaderType eProbe : kProbeOrder) {
            if (found.bFound || !m_pComm->bPortOpen())
                break;
            OIdcDriver* pDriver = eProbe == eType ? nullptr : pDriverForType(eProbe);
            if (pDriver && answered(pDriver)) {
                found.bFound = true;
                eFound = eProbe;
            }
        }
        if (found.bFound)
            eType = eFound;
    }
    found.eType = eType;
    found.pDriver = pDriverForType(eType);
    return found;
}

} // namespace quillon
