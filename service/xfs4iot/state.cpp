// What the service reports of the reader: the state from status reads and
// command outcomes, and the events its changes send.
#include "catalog.h"
#include "log.h"
#include "message.h"
#include "service.h"

namespace quillon::xfs {

namespace {

MediaState MediaAt(Position ePosition) {
    switch (ePosition) {
    case Position::None:
        return MediaState::NotPresent;
    case Position::Gate:
        return MediaState::Entering;
    case Position::Inside:
        return MediaState::Present;
    default:
        return MediaState::Unknown;
    }
}

// The position a reported media state stands for.
Position PositionOf(MediaState eMedia) {
    switch (eMedia) {
    case MediaState::NotPresent:
        return Position::None;
    case MediaState::Entering:
        return Position::Gate;
    case MediaState::Present:
        return Position::Inside;
    case MediaState::Jammed:
        return Position::Stuck;
    default:
        return Position::Unknown;
    }
}

ChipState PoweredChip(bool bPowered) {
    return bPowered ? ChipState::Online : ChipState::PoweredOff;
}

} // namespace

void OService::vApplyStatus(const tCall& c, Position ePosition) {
    std::lock_guard<std::mutex> lock(m_mutex);
    tDeviceState next = m_state;
    if (!c.bOk()) {
        const Fault eFault = FaultOfFailure(c.iCode, m_eFamily);
        if (eFault == Fault::Jam) {
            m_bJammed = true;
        } else {
            const DeviceState eDevice = DeviceStateOf(eFault);
            next.eDevice = eDevice != DeviceState::Online ? eDevice : DeviceState::HardwareError;
            next.eMedia = MediaState::Unknown;
            next.eChip = ChipState::Unknown;
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
    next.eDevice = m_bJammed ? DeviceState::HardwareError : DeviceState::Online;
    if (m_bJammed) {
        next.eMedia = MediaState::Jammed;
        next.eChip = ChipState::Unknown;
    } else {
        next.eMedia = MediaAt(ePosition);
        next.eChip = ePosition == Position::Inside    ? PoweredChip(m_bChipPowered)
                     : ePosition == Position::Unknown ? ChipState::Unknown
                                                      : ChipState::NoCard;
    }
    vPublishLocked(next, true);
}

bool OService::bPollStatus(Position& ePosition) {
    tCall c = m_reader.Status(ePosition);
    // A status call succeeds when its last query does: on family A an
    // unanswered or refused sensor query leaves the position the driver
    // kept from before (a card long gone, or none at all). A position other
    // than the one reported now counts once a second read shows it too.
    const Position eReported = PositionOf(tState().eMedia);
    if (c.bOk() && (ePosition != eReported || ePosition == Position::Unknown)) {
        Position eAgain = Position::Unknown;
        c = m_reader.Status(eAgain);
        if (c.bOk() && eAgain != ePosition)
            return false; // undecided: the next poll reads again
    }
    vApplyStatus(c, ePosition);
    return c.bOk();
}

void OService::vNoteFailure(const tCall& c) {
    const Fault eFault = FaultOfFailure(c.iCode, m_eFamily);
    if (eFault == Fault::Jam) {
        vApplyStatus(c, Position::Unknown);
    } else if (DeviceStateOf(eFault) != DeviceState::Online) {
        vApplyStatus(c, Position::Unknown);
    } else if (eFault == Fault::BinFull) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bin.bReaderFull)
            vErrorEventLocked("clear", "the retain bin is full: empty it");
        m_bin.bReaderFull = true;
        vRetainStatusLocked();
    }
}

const char* DetectedAt(Position ePosition) {
    switch (ePosition) {
    case Position::Inside:
        return "transport";
    case Position::Gate:
        return "exit";
    case Position::Stuck:
        return "jammed";
    default:
        return nullptr;
    }
}

void OService::vMediaDetected(const char* pPosition) {
    if (!pPosition)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    vBroadcastLocked(UnsolicitedText(kMediaDetectedEvent.pName, kMediaDetectedEvent.pVersion,
                                     {{"position", pPosition}}));
}

void OService::vErrorEventLocked(const char* pAction, const std::string& sDescription) {
    vBroadcastLocked(UnsolicitedText(
        kErrorEvent.pName, kErrorEvent.pVersion,
        {{"eventId", "hardware"}, {"action", pAction}, {"vendorDescription", sDescription}}));
}

void OService::vSetMedia(MediaState eMedia, bool bChipPowered) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bJammed = false;
    m_bChipPowered = bChipPowered;
    tDeviceState next = m_state;
    next.eDevice = DeviceState::Online;
    next.eMedia = eMedia;
    next.eChip = eMedia == MediaState::Present ? PoweredChip(bChipPowered) : ChipState::NoCard;
    vPublishLocked(next);
}

void OService::vChipPowered(bool bPowered, const char* pProtocol) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bChipPowered = bPowered;
    m_sChipProtocol = pProtocol ? pProtocol : "";
    tDeviceState next = m_state;
    if (next.eMedia == MediaState::Present)
        next.eChip = PoweredChip(bPowered);
    vPublishLocked(next);
}

namespace {
bool bDeviceLost(DeviceState eBefore, DeviceState eNext) {
    const auto lost = [](DeviceState e) {
        return e == DeviceState::Offline || e == DeviceState::NoDevice;
    };
    return lost(eNext) && !lost(eBefore);
}
} // namespace

void OService::vPublishLocked(const tDeviceState& next, bool bSensed) {
    if (next == m_state)
        return;
    const tDeviceState before = m_state;
    m_state = next;
    const bool bJamNew = next.eMedia == MediaState::Jammed && before.eMedia != MediaState::Jammed;
    if (bSensed && before.eMedia == MediaState::Entering && next.eMedia == MediaState::NotPresent) {
        // The customer took the card from the exit (not the reader retaining it).
        // Observers hear of a change before the clients do: a scrape made on
        // an event shows it.
        m_hooks.vOnCard(CardMove::Taken);
        vBroadcastLocked(
            UnsolicitedText(kMediaRemovedEvent.pName, kMediaRemovedEvent.pVersion, Json::object()));
    }
    if (bJamNew)
        m_hooks.vOnJam();
    // What needs someone: a jam is cleared by hand, a reader error may go
    // with a reset, a reader that went away is opened again by the service.
    if (bJamNew)
        vErrorEventLocked("clear", "a card is jammed in the reader");
    else if (next.eDevice == DeviceState::HardwareError &&
             before.eDevice != DeviceState::HardwareError)
        vErrorEventLocked("reset", "the reader reported an error");
    else if (bDeviceLost(before.eDevice, next.eDevice))
        vErrorEventLocked("suspend", "the reader does not answer; the service tries again");
    Json changed = Json::object();
    if (before.eDevice != next.eDevice)
        changed["common"]["device"] = Name(next.eDevice);
    if (before.eMedia != next.eMedia)
        changed["cardReader"]["media"] = Name(next.eMedia);
    if (before.eChip != next.eChip)
        changed["cardReader"]["chipPower"] = Name(next.eChip);
    m_status = StatusJson(next);
    m_hooks.vOnStateChange(before, next);
    vBroadcastLocked(
        UnsolicitedText(kStatusChangedEvent.pName, kStatusChangedEvent.pVersion, changed));
    QLOG_INFO("state: device %s, media %s, chip %s", Name(next.eDevice), Name(next.eMedia),
              Name(next.eChip));
}

void OService::vBroadcastLocked(const std::string& sText) {
    for (const auto& c : m_connections)
        if (c.second.eEndpoint != Endpoint::Publisher)
            m_outbox.vSend(c.first, sText);
}

Json StatusJson(const tDeviceState& state) {
    return {{"common", {{"device", Name(state.eDevice)}}},
            {"cardReader", {{"media", Name(state.eMedia)}, {"chipPower", Name(state.eChip)}}}};
}

} // namespace quillon::xfs
