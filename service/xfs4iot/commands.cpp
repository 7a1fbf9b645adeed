// The queued commands, run one at a time by the reader worker.
#include <cstring>

#include "job.h"
#include "log.h"
#include "message.h"

namespace quillon::xfs {

namespace {

std::string B64(const std::string& s) {
    return Base64(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string B64(const std::vector<uint8_t>& v) {
    return Base64(v.data(), v.size());
}

bool bWants(const Json& p, const char* pKey) {
    const auto it = p.find(pKey);
    return it != p.end() && it->is_boolean() && it->get<bool>();
}

std::string StringOr(const Json& p, const char* pKey, const char* pDefault) {
    const auto it = p.find(pKey);
    return it != p.end() && it->is_string() ? it->get<std::string>() : pDefault;
}

// The chip types of the library: 0 T=0, 1 T=1, anything else no processor chip.
const char* ProtocolOf(uint32_t uiType) {
    return uiType == 0 ? "chipT0" : uiType == 1 ? "chipT1" : "memory";
}

} // namespace

tResult OService::Failed(const tJob& job, const tCall& c) {
    const Fault eFault = FaultOfFailure(c.iCode, m_eFamily);
    vNoteFailure(c);
    const tOutcome o = OutcomeOf(eFault, job.pSpec->pErrorCodes);
    tResult r = Completion(o.pCompletionCode, "library code " + std::to_string(c.iCode) + " (" +
                                                  FaultName(eFault) + ")");
    if (o.pErrorCode)
        r.sErrorCode = o.pErrorCode;
    return r;
}

bool OService::bCardInside(tJob& job, tResult& r, bool bWaitForCard) {
    Position ePosition = Position::Unknown;
    if (tState().eMedia != MediaState::Present) {
        const tCall c = m_reader.Status(ePosition);
        if (!c.bOk()) {
            r = Failed(job, c);
            return false;
        }
        vApplyStatus(c, ePosition);
    }
    const MediaState eMedia = tState().eMedia;
    if (eMedia == MediaState::Present)
        return true;
    if (eMedia == MediaState::Jammed) {
        r = CommandError("mediaJam", "the card is jammed");
        return false;
    }
    if (!bWaitForCard) {
        r = CommandError("noMedia", "no card in the reader");
        return false;
    }

    // Let the customer's card in and wait for it.
    tCall c = m_reader.Accept();
    if (!c.bOk()) {
        r = Failed(job, c);
        return false;
    }
    vEvent(job, kInsertCardEvent.pName, kInsertCardEvent.pVersion);
    while (!bStopped(job)) {
        c = m_reader.Status(ePosition);
        if (c.bOk() && ePosition == Position::Inside) {
            m_hooks.vOnCard(CardMove::Inserted);
            vEvent(job, kMediaInsertedEvent.pName, kMediaInsertedEvent.pVersion);
            vApplyStatus(c, ePosition);
            return true;
        }
        vApplyStatus(c, ePosition);
        if (!c.bOk() || ePosition == Position::Stuck) {
            r = c.bOk() ? CommandError("mediaJam", "the card is jammed") : Failed(job, c);
            return false;
        }
        bWait(job, m_settings.iCardPollMs);
    }
    // Given up: the reader refuses cards again, a card half-way stays at the gate.
    c = m_reader.Init(3);
    if (c.bOk())
        c = m_reader.Status(ePosition);
    vApplyStatus(c, c.bOk() ? ePosition : Position::Unknown);
    r = Completion(job.eStop == Stop::TimedOut ? "timeOut" : "canceled",
                   job.eStop == Stop::TimedOut ? "no card within the time-out" : "canceled");
    return false;
}

void OService::vRetained(uint32_t uiCount) {
    m_hooks.vOnCard(CardMove::Retained);
    // Families A and B hand back the retain counter; family C leaves it.
    if (m_iRetainedLifeValue >= 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        vRetainCountLocked(uiCount, false);
    }
}

// The sources asked for that this reader has not got, answered as such;
// true when there was one.
static bool bNoSuchSources(const Json& p, Json& payload) {
    bool bAny = false;
    for (const char* k :
         {"security", "watermark", "memoryChip", "track1Front", "track1JIS", "track3JIS", "ddi"})
        if (bWants(p, k)) {
            payload[k] = {{"status", "dataSourceNotSupported"}};
            bAny = true;
        }
    return bAny;
}

tResult OService::ReadRawData(tJob& job) {
    const Json& p = job.payload;
    tResult r;
    if (!bCardInside(job, r, true))
        return r;
    const bool abTrack[3] = {bWants(p, "track1"), bWants(p, "track2"), bWants(p, "track3")};
    const bool bChip = bWants(p, "chip");
    bool bAsked = bChip, bGot = false;
    if (abTrack[0] || abTrack[1] || abTrack[2]) {
        std::string asTracks[3];
        const tCall c = m_reader.ReadTracks(asTracks);
        const Fault eFault = c.bOk() ? Fault::None : FaultOfFailure(c.iCode, m_eFamily);
        if (eFault != Fault::None && eFault != Fault::TrackUnreadable)
            return Failed(job, c);
        for (int i = 0; i < 3; ++i) {
            if (!abTrack[i])
                continue;
            bAsked = true;
            Json& t = r.payload["track" + std::to_string(i + 1)];
            if (!asTracks[i].empty()) {
                t["data"] = B64(asTracks[i]);
                bGot = true;
            } else {
                t["status"] = "dataMissing";
            }
            m_hooks.vOnTrack(i + 1, asTracks[i].empty() ? "dataMissing" : "data");
        }
    }
    if (bChip) {
        std::vector<uint8_t> atr;
        uint32_t uiType = 255;
        const tCall c = m_reader.ChipPower(1, atr, uiType);
        const Fault eFault = c.bOk() ? Fault::None : FaultOfFailure(c.iCode, m_eFamily);
        if (eFault == Fault::None && !atr.empty()) {
            r.payload["chip"] = Json::array({{{"data", B64(atr)}}});
            bGot = true;
            vChipPowered(true, ProtocolOf(uiType));
            m_hooks.vOnChipPowerUp(ProtocolOf(uiType));
        } else if (eFault == Fault::None || eFault == Fault::NoChip ||
                   eFault == Fault::NotPossible || eFault == Fault::BadArgument) {
            r.payload["chip"] = Json::array({{{"status", "dataMissing"}}});
        } else {
            return Failed(job, c);
        }
    }
    if ((bNoSuchSources(p, r.payload) || bAsked) && !bGot) {
        // The customer can be told at once, before the card comes back.
        vEvent(job, kInvalidMediaEvent.pName, kInvalidMediaEvent.pVersion);
        r.sCompletion = "commandErrorCode";
        r.sErrorCode = "invalidMedia";
        r.sDescription = "nothing could be read from the card";
    }
    return r;
}

tResult OService::WriteRawData(tJob& job) {
    tResult r;
    if (!bCardInside(job, r, true))
        return r;
    for (int i = 1; i <= 3; ++i) {
        const auto t = job.payload.find("track" + std::to_string(i));
        if (t == job.payload.end() || t->is_null())
            continue;
        std::vector<uint8_t> data;
        bDecodeBase64((*t)["data"].get<std::string>(), data);
        const tCall c = m_reader.WriteTrack(i, data);
        if (!c.bOk())
            return Failed(job, c);
    }
    return r;
}

tResult OService::Move(tJob& job) {
    const std::string sTo = StringOr(job.payload, "to", "");
    const std::string sFrom = StringOr(job.payload, "from", "");
    if (sTo == "transport")
        return Completion("unsupportedData",
                          "the reader moves cards to the exit or the retain unit");
    if (sFrom.compare(0, 4, "unit") == 0)
        return Completion("unsupportedData", "no card leaves the retain unit");
    if (sTo != "exit" && sTo != kRetainUnit)
        return Completion("invalidData", sTo + " is no storage unit of this reader");
    tResult r;
    MediaState eMedia = tState().eMedia;
    const auto bThere = [&] {
        return eMedia == MediaState::Present || eMedia == MediaState::Entering;
    };
    if (!bThere()) {
        Position ePosition = Position::Unknown;
        const tCall c = m_reader.Status(ePosition);
        if (!c.bOk())
            return Failed(job, c);
        vApplyStatus(c, ePosition);
        eMedia = tState().eMedia;
    }
    if (eMedia == MediaState::Jammed)
        return CommandError("mediaJam", "the card is jammed");
    if (!bThere() || (sFrom == "exit" && eMedia != MediaState::Entering) ||
        (sFrom == "transport" && eMedia != MediaState::Present))
        return CommandError("noMedia",
                            "no card " + (sFrom.empty() ? "in the reader" : "at " + sFrom));
    if (sTo == "exit") {
        if (eMedia == MediaState::Entering)
            return r; // already there
        const tCall c = m_reader.Eject();
        if (!c.bOk())
            return Failed(job, c);
        m_hooks.vOnCard(CardMove::Ejected);
        vSetMedia(MediaState::Entering, false);
        return r;
    }
    uint32_t uiCount = 0;
    const tCall c = m_reader.Retain(uiCount);
    if (!c.bOk())
        return Failed(job, c);
    vRetained(uiCount);
    vSetMedia(MediaState::NotPresent, false);
    return r;
}

tResult OService::Reset(tJob& job) {
    const std::string sTo = StringOr(job.payload, "to", "auto");
    const std::string sUnit = StringOr(job.payload, "storageId", kRetainUnit);
    if (sUnit != kRetainUnit)
        return Completion("invalidData", sUnit + " is no storage unit of this reader");
    // The reader is reset keeping the card; then the card goes where asked.
    tCall c = m_reader.Init(3);
    if (!c.bOk())
        return Failed(job, c);
    Position ePosition = Position::Unknown;
    c = m_reader.Status(ePosition);
    if (!c.bOk())
        return Failed(job, c);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bJammed = false;
        m_bChipPowered = false;
    }
    vApplyStatus(c, ePosition);
    const bool bInside = ePosition == Position::Inside;
    const char* pDetected = DetectedAt(ePosition);
    if ((sTo == "exit" || sTo == "auto") && bInside) {
        c = m_reader.Eject();
        if (!c.bOk())
            return Failed(job, c);
        m_hooks.vOnCard(CardMove::Ejected);
        vSetMedia(MediaState::Entering, false);
        pDetected = "exit";
    } else if (sTo == "retain" && (bInside || ePosition == Position::Gate)) {
        uint32_t uiCount = 0;
        c = m_reader.Retain(uiCount);
        if (!c.bOk())
            return Failed(job, c);
        vRetained(uiCount);
        vSetMedia(MediaState::NotPresent, false);
        pDetected = kRetainUnit;
    }
    // A card the reset found: where it went.
    vMediaDetected(pDetected);
    return {};
}

tResult OService::ChipPower(tJob& job) {
    const std::string sAction = StringOr(job.payload, "chipPower", "");
    const int iAction = sAction == "cold" ? 1 : sAction == "warm" ? 2 : 3;
    tResult r;
    if (iAction != 3 && !bCardInside(job, r, false))
        return r;
    std::vector<uint8_t> atr;
    uint32_t uiType = 255;
    const tCall c = m_reader.ChipPower(iAction, atr, uiType);
    if (!c.bOk()) {
        vChipPowered(false, nullptr);
        return Failed(job, c);
    }
    if (iAction == 3) {
        vChipPowered(false, nullptr);
        return r;
    }
    std::string sProtocol;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sProtocol = m_sChipProtocol;
    }
    // A reset keeps the chip type found at power-on.
    const char* pProtocol =
        iAction == 1 || sProtocol.empty() ? ProtocolOf(uiType) : sProtocol.c_str();
    const std::string sKeep = pProtocol;
    vChipPowered(true, sKeep.c_str());
    m_hooks.vOnChipPowerUp(sKeep.c_str());
    if (!atr.empty())
        r.payload["chipData"] = B64(atr);
    return r;
}

tResult OService::ChipIo(tJob& job) {
    const std::string sAsked = StringOr(job.payload, "chipProtocol", "chipProtocolNotRequired");
    tResult r;
    if (!bCardInside(job, r, false))
        return r;
    std::string sPowered;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sPowered = m_bChipPowered ? m_sChipProtocol : "";
    }
    const bool bContact =
        sAsked == "chipT0" || sAsked == "chipT1" || sAsked == "chipProtocolNotRequired";
    if (!bContact || (sPowered != "memory" && !sPowered.empty() &&
                      sAsked != "chipProtocolNotRequired" && sAsked != sPowered))
        return CommandError("protocolNotSupported", sAsked + " is not the protocol of the chip");
    std::vector<uint8_t> apdu, reply;
    bDecodeBase64(job.payload["chipData"].get<std::string>(), apdu);
    const tCall c = m_reader.ChipIo(apdu, reply);
    if (!c.bOk())
        return Failed(job, c);
    m_hooks.vOnApdu(sPowered.empty() ? "unknown" : sPowered.c_str());
    if (sPowered != "memory")
        r.payload["chipProtocol"] = sAsked;
    r.payload["chipData"] = B64(reply);
    return r;
}

tResult OService::GetStorage(tJob& job) {
    const int iBin = m_iRetainedLifeValue;
    if (iBin >= 0) {
        uint32_t auiLife[11] = {};
        const tCall c = m_reader.Life(auiLife);
        if (!c.bOk())
            return Failed(job, c);
        m_hooks.vOnLifeCounters(auiLife);
        std::lock_guard<std::mutex> lock(m_mutex);
        vRetainCountLocked(auiLife[iBin], false);
    }
    tResult r;
    std::lock_guard<std::mutex> lock(m_mutex);
    r.payload["storage"] = RetainUnitLocked();
    return r;
}

tResult OService::SetStorage(tJob& job) {
    const Json& units = job.payload["storage"];
    for (const auto& unit : units.items())
        if (unit.key() != kRetainUnit)
            return CommandError("invalidUnit", unit.key() + " is no storage unit of this reader");
    const Json& card = units[kRetainUnit].value("card", Json::object());
    const Json status = card.is_object() ? card.value("status", Json::object()) : Json::object();
    if (status.is_object() && status.contains("initialCount") &&
        !status["initialCount"].is_null()) {
        const tCall c = m_reader.ResetRetainCount();
        if (!c.bOk())
            return Failed(job, c);
        std::lock_guard<std::mutex> lock(m_mutex);
        vRetainCountLocked(0, true);
        vBroadcastLocked(UnsolicitedText(kStorageChangedEvent.pName, kStorageChangedEvent.pVersion,
                                         RetainUnitLocked()));
    }
    return {};
}

} // namespace quillon::xfs
