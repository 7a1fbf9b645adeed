// OReaderBase: what every driver shares - the borrowed communication object,
// the driver's own capability and status records, and the operations that
// are the same for all (Reset, GetCapabilities, the serial SetCommPara).
#pragma once

#include <cstring>

#include "infra/bounded_copy.h"
#include "infra/reader_comm.h"
#include "infra/result_codes.h"
#include "readers/idc_driver.h"

namespace quillon {

class OReaderBase : public OIdcDriver {
public:
    // Slots of the status record (tIdcStatus::usField). Every family gives a
    // slot the same role; a family that leaves a slot alone keeps its value.
    enum StatusSlot : int {
        kStState = 1,       // status query: 1 Positive, 2 ReplyP01, 3 CardInside (C also 4)
        kStRetainCount = 2, // retain counter
        kStActMode = 3,     // ActMode state
        kStIntakeMode = 4,  // IntakeMode state
        kStSensor5 = 5,     // flag of the status query
        kStSensor6 = 6,     // flag of the status query
        kStSensor7 = 7,     // flag of the status query
        kStChipPower = 8,   // 0 at start, 1 powered (C), 2 switched off
        kStChipType = 9,    // chip type (family B: chip protocol); 255 none
        kStEntry = 10,      // card-entry state
        kStModule = 11,     // A: auxiliary module, 1 working, 2 absent, 3 failing; B, C: 2
        kStModuleSensor1 = 12,
        kStModuleSensor2 = 13,
        kStModuleSensor4 = 14,
    };
    // 16-bit fields of the capability record (tIdcCaps::usField, index =
    // byte offset / 2), the same role in every family.
    enum CapField : int {
        kCapIdentified = 0,  // A, B: 1 once the model was identified; C: 3 after Init
        kCapIntake = 1,      // IntakeMode command: 1 accepted, 2 failed (A over USB: the state)
        kCapActMode = 2,     // ActMode command: the same scheme
        kCapModule = 3,      // A: auxiliary module 0 not probed, 1 probed, 2 absent; B, C: 2
        kCapConfigured = 4,  // 2 once the configuration ran
        kCapProtocol = 5,    // A: 1 "CY105" sent, 2 "CY100" sent
        kCapCounterMax = 6,  // the retain counter's limit: A 999, B and C 99
        kCapRetainCount = 7, // the retain counter (A, B)
    };

    explicit OReaderBase(quillon::OReaderComm* pComm) : m_pComm(pComm) {
        std::memset(&m_caps, 0, sizeof m_caps);
        std::memset(&m_status, 0, sizeof m_status);
    }

    // Does nothing, sends nothing, leaves the record as passed.
    tDriverResult Reset() override { return tDriverResult::Untouched(0); }
    // Hands out the capability record whole; the result record is untouched.
    tDriverResult GetCapabilities(tIdcCaps* pCaps) override {
        std::memcpy(pCaps, &m_caps, sizeof m_caps);
        return tDriverResult::Untouched(0);
    }

    const tIdcCaps& tCaps() const { return m_caps; }
    const tIdcStatus& tStatus() const { return m_status; }

protected:
    uint16_t& usStatus(int iField) { return m_status.usField[iField]; }
    uint16_t& usCap(int iField) { return m_caps.usField[iField]; }

    // The end of an operation whose record shows the code and the reply text
    // its commands left in r: both flags 0 for a success-class code and 1
    // otherwise; the communication object keeps it as the last outcome. The
    // result is the flag.
    tDriverResult tFinish(tDriverResult r) {
        const tOutcome tShown = quillon::OutcomeOf(r.eCode);
        r.bWrites = true;
        r.iFlag = r.iResult = tShown.iFlag;
        m_pComm->vRecordOutcome(tShown);
        return r;
    }
    tDriverResult tFinish(quillon::Code eCode) {
        tDriverResult r;
        r.eCode = eCode;
        return tFinish(r);
    }
    // Opens the port the configured way (pfnAdjust: the family's changes to
    // the line settings). The record gets 0, or CommFailed with flags 0; a
    // port that was open already leaves it untouched.
    tDriverResult tOpenPort(quillon::OReaderComm::LineAdjust pfnAdjust = nullptr) {
        switch (m_pComm->eOpenPort(pfnAdjust)) {
        case quillon::OReaderComm::PortOpening::AlreadyOpen:
            return tDriverResult::Untouched(0);
        case quillon::OReaderComm::PortOpening::Opened:
            return tDriverResult::Shown(quillon::Code::Ok, 0, 0);
        default:
            return tDriverResult::Shown(quillon::Code::CommFailed, 0, 1);
        }
    }
    // Copies the communication object's library version text to offset 80.
    void vCopyLibraryVersion() {
        std::memset(m_caps.acLibVersion, 0, sizeof m_caps.acLibVersion);
        quillon::CopyText(m_caps.acLibVersion, sizeof m_caps.acLibVersion, m_pComm->acVersion);
    }

    quillon::OReaderComm* m_pComm;
    tIdcCaps m_caps;
    tIdcStatus m_status;
};

// The serial drivers open the port through the communication object.
class OSerialReaderBase : public OReaderBase {
public:
    using OReaderBase::OReaderBase;
    tDriverResult SetCommPara() override { return tOpenPort(); }
};

} // namespace quillon
