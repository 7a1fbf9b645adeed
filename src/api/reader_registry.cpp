#include "api/reader_registry.h"

#include <cstring>
#include <new>

#include "infra/reader_comm.h"
#include "infra/result_codes.h"
#include "infra/trace_log.h"
#include "readers/family_a/hid_reader_a.h"
#include "readers/family_a/serial_reader_a.h"
#include "readers/family_b/hid_reader_b.h"
#include "readers/family_b/serial_reader_b.h"
#include "readers/family_c/serial_reader_c.h"

namespace quillon {

namespace {
constexpr const char* kTypeKey = "CardReaderType";
// Families probed when the configured one is silent, in order; 0 is skipped.
constexpr int kProbeList[8] = {1, 2, 0, 0, 0, 0, 0, 0};
} // namespace

OReaderRegistry::OReaderRegistry() {
    m_pTraceLog = new (std::nothrow) OTraceLog();
    m_pComm = new (std::nothrow) OReaderComm(m_pTraceLog, "CARDREADER");
    if (m_pComm) {
        m_pSerialA = new (std::nothrow) OSerialReaderA(m_pComm);
        m_pSerialB = new (std::nothrow) OSerialReaderB(m_pComm);
        m_pSerialC = new (std::nothrow) OSerialReaderC(m_pComm);
        m_pHidA = new (std::nothrow) OHidReaderA(m_pComm);
        m_pHidB = new (std::nothrow) OHidReaderB(m_pComm);
    }
}

OReaderRegistry::~OReaderRegistry() {
    delete m_pHidA;
    delete m_pSerialA;
    delete m_pSerialB;
    delete m_pSerialC;
    delete m_pHidB;
    delete m_pComm;     // closes the line
    delete m_pTraceLog; // closes the trace and unloads the library
}

OIdcDriver* OReaderRegistry::pDriverForType(int iType) const {
    switch (iType) {
    case 1:
        return m_pSerialA;
    case 2:
        return m_pSerialB;
    case 3:
        return m_pSerialC;
    case 4:
    case 5:
        return m_pHidA;
    case 6:
        return m_pHidB;
    default:
        return nullptr;
    }
}

int OReaderRegistry::iSelectDriver(OIdcDriver*& pActive) {
    if (!m_pComm)
        return 0;
    // The code the selection's own probes last reported (the opening's 0 to start with).
    Code eLast = Code::Ok;
    tIdcStatus status;
    std::memset(&status, 0, sizeof status);

    int type = 0;
    if (m_pComm->iGetIntValue(kTypeKey, kTypeKey, type) != 0)
        type = 2;
    // The port is opened the way the configured family opens it; USB
    // readers (type 4 and up) need none, and count as opened.
    bool portOpen = true;
    if (type >= 4) {
        m_pComm->vPrepareWithoutPort();
    } else if (OIdcDriver* pConfigured = pDriverForType(type)) {
        const tDriverResult opened = pConfigured->SetCommPara();
        if (opened.bWrites)
            eLast = opened.eCode;
        portOpen = opened.iResult == 0;
    } else {
        portOpen = m_pComm->eOpenPort() != OReaderComm::PortOpening::Failed;
    }

    // A port that cannot be opened detects nothing: nothing is written, and
    // the configured type's driver stays the one whose SetCommPara reports
    // the failure to the caller.
    if (portOpen) {
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
        bool found = true;
        int foundType = type;
        if (type >= 1 && type <= 3) {
            if (OIdcDriver* pDriver = pDriverForType(type))
                found = answered(pDriver);
        }
        // A port lost on the way is probed no further.
        for (int i = 0; i < 8 && !found && m_pComm->bPortOpen(); ++i) {
            const int t = kProbeList[i];
            if (t == 0 || t == type)
                continue;
            OIdcDriver* pDriver = pDriverForType(t);
            if (!pDriver)
                continue;
            if (answered(pDriver)) {
                found = true;
                foundType = t;
            }
        }
        if (found) {
            // The next selection tries the family found first.
            m_pComm->iSetIntValue(kTypeKey, kTypeKey, foundType);
            type = foundType;
        }
    }

    if (type >= 1 && type <= 6)
        pActive = pDriverForType(type);
    return type;
}

} // namespace quillon
