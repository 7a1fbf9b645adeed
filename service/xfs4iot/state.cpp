// What the service reports of the reader: the state from status reads and
// command outcomes, and the events its changes send.
#include "catalog.h"
#include "log.h"
#include "message.h"
#include "service.h"

namespace quillon::xfs {

void OService::vApplyStatus(const tCall& c, Position ePosition) {
    std::lock_guard<std::mutex> lock(m_mutex);
    tDeviceState next = m_state;
    if (!c.bOk()) {
        const Fault eFault = FaultOfFailure(c.iCode, m_eFamily);
        if (eFault == Fault::Jam) {
            m_bJammed = true;
        } else {
            const char* pDevice = DeviceStateOf(eFault);
            next.sDevice = pDevice ? pDevice : "hardwareError";
            next.sMedia = "unknown";
            next.sChip = "unknown";
            m_bReopen = m_bReopen || eFault == Fault::LineDown;
            if (eFault == Fault::LineDown)
                m_bChipPowered = false;
            return vPublishLocked(next);
        }
    }
    if (c.bOk())
        m_bReopen = false;
    if (ePosition == Position::Stuck)
        m_bJammed = true;
    if (ePosition == Position::None || ePosition == Position::Gate)
        m_bChipPowered = false;
    next.sDevice = m_bJammed ? "hardwareError" : "online";
    if (m_bJammed) {
        next.sMedia = "jammed";
        next.sChip = "unknown";
    } else {
        next.sMedia = ePosition == Position::None     ? "notPresent"
                      : ePosition == Position::Gate   ? "entering"
                      : ePosition == Position::Inside ? "present"
                                                      : "unknown";
        next.sChip = ePosition == Position::Inside    ? (m_bChipPowered ? "online" : "poweredOff")
                     : ePosition == Position::Unknown ? "unknown"
                                                      : "noCard";
    }
    vPublishLocked(next, true);
}

void OService::vPollStatus() {
    Position ePosition = Position::Unknown;
    tCall c = m_reader.Status(ePosition);
    // A status call succeeds when its last query does: on family A an
    // unanswered or refused sensor query leaves the position the driver
    // kept from before (a card long gone, or none at all). A position other
    // than the one reported now counts once a second read shows it too.
    const std::string sMedia = tState().sMedia;
    const Position eReported = sMedia == "notPresent" ? Position::None
                               : sMedia == "entering" ? Position::Gate
                               : sMedia == "present"  ? Position::Inside
                               : sMedia == "jammed"   ? Position::Stuck
                                                      : Position::Unknown;
    if (c.bOk() && (ePosition != eReported || ePosition == Position::Unknown)) {
        Position eAgain = Position::Unknown;
        c = m_reader.Status(eAgain);
        if (c.bOk() && eAgain != ePosition)
            return; // undecided: the next poll reads again
    }
    vApplyStatus(c, ePosition);
}

void OService::vNoteFailure(const tCall& c) {
    const Fault eFault = FaultOfFailure(c.iCode, m_eFamily);
    if (eFault == Fault::Jam) {
        vApplyStatus(c, Position::Unknown);
    } else if (DeviceStateOf(eFault)) {
        vApplyStatus(c, Position::Unknown);
    } else if (eFault == Fault::BinFull) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bBinFull = true;
    }
}

void OService::vSetMedia(const char* pMedia, bool bChipPowered) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bJammed = false;
    m_bChipPowered = bChipPowered;
    tDeviceState next = m_state;
    next.sDevice = "online";
    next.sMedia = pMedia;
    next.sChip = next.sMedia == "present" ? (bChipPowered ? "online" : "poweredOff") : "noCard";
    vPublishLocked(next);
}

void OService::vChipPowered(bool bPowered, const char* pProtocol) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bChipPowered = bPowered;
    m_sChipProtocol = pProtocol ? pProtocol : "";
    tDeviceState next = m_state;
    if (next.sMedia == "present")
        next.sChip = bPowered ? "online" : "poweredOff";
    vPublishLocked(next);
}

void OService::vPublishLocked(const tDeviceState& next, bool bSensed) {
    if (next == m_state)
        return;
    const tDeviceState before = m_state;
    m_state = next;
    if (bSensed && before.sMedia == "entering" && next.sMedia == "notPresent") {
        // The customer took the card from the exit (not the reader retaining it).
        // Observers hear of a change before the clients do: a scrape made on
        // an event shows it.
        m_hooks.vOnCard(CardMove::Taken);
        vBroadcastLocked(
            UnsolicitedText(kMediaRemovedEvent.pName, kMediaRemovedEvent.pVersion, Json::object()));
    }
    if (next.sMedia == "jammed" && before.sMedia != "jammed")
        m_hooks.vOnJam();
    Json changed = Json::object();
    if (before.sDevice != next.sDevice)
        changed["common"]["device"] = next.sDevice;
    if (before.sMedia != next.sMedia)
        changed["cardReader"]["media"] = next.sMedia;
    if (before.sChip != next.sChip)
        changed["cardReader"]["chipPower"] = next.sChip;
    m_hooks.vOnStateChange(before, next);
    vBroadcastLocked(
        UnsolicitedText(kStatusChangedEvent.pName, kStatusChangedEvent.pVersion, changed));
    QLOG_INFO("state: device %s, media %s, chip %s", next.sDevice.c_str(), next.sMedia.c_str(),
              next.sChip.c_str());
}

void OService::vBroadcastLocked(const std::string& sText) {
    for (const auto& c : m_connections)
        if (c.second.eEndpoint != Endpoint::Publisher)
            m_outbox.vSend(c.first, sText);
}

std::string OService::sStatusPayloadLocked() const {
    const Json status = {{"common", {{"device", m_state.sDevice}}},
                         {"cardReader", {{"media", m_state.sMedia}, {"chipPower", m_state.sChip}}}};
    return status.dump();
}

} // namespace quillon::xfs
