#include "catalog.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <initializer_list>

#include "job.h"

namespace quillon::xfs {

namespace {

const char* const kReadErrors[] = {"mediaJam",     "shutterFail",   "noMedia",
                                   "invalidMedia", "cardTooShort",  "cardTooLong",
                                   "securityFail", "cardCollision", nullptr};
const char* const kWriteErrors[] = {"mediaJam",    "shutterFail",  "noMedia",     "invalidMedia",
                                    "writeMethod", "cardTooShort", "cardTooLong", nullptr};
const char* const kMoveErrors[] = {"mediaJam", "shutterFail",   "noMedia", "occupied",
                                   "full",     "mediaRetained", nullptr};
const char* const kResetErrors[] = {"mediaJam", "shutterFail", "retainBinFull", nullptr};
const char* const kChipPowerErrors[] = {
    "chipPowerNotSupported", "mediaJam",       "noMedia", "invalidMedia",
    "invalidData",           "atrNotObtained", nullptr};
const char* const kChipIoErrors[] = {
    "mediaJam",       "noMedia",       "invalidMedia", "invalidData", "protocolNotSupported",
    "atrNotObtained", "cardCollision", nullptr};
const char* const kCancelErrors[] = {"noMatchingRequestIDs", nullptr};
const char* const kSetStorageErrors[] = {"invalidUnit", "noExchangeActive", "storageUnitError",
                                         nullptr};

const char* const kStartExchangeErrors[] = {"storageUnitError", "exchangeActive",
                                            "transactionActive", nullptr};
const char* const kEndExchangeErrors[] = {"storageUnitError", "noExchangeActive", nullptr};

constexpr unsigned kAny = 0;

// Commands of the service's interfaces it does not offer, with the version
// of their completion messages.
const struct {
    const char* pName;
    const char* pCompletionVersion;
} kForeign[] = {
    {"Common.PowerSaveControl", "2.0"},         {"Common.GetCommandNonce", "2.0"},
    {"Common.ClearCommandNonce", "2.0"},        {"CardReader.SetKey", "2.0"},
    {"CardReader.EMVClessConfigure", "2.0"},    {"CardReader.EMVClessPerformTransaction", "3.0"},
    {"CardReader.EMVClessIssuerUpdate", "3.0"}, {"CardReader.EMVClessQueryApplications", "3.0"},
};

tCheck Bad(const std::string& sWhy) {
    return {Check::InvalidData, sWhy};
}
tCheck Unsupported(const std::string& sWhy) {
    return {Check::UnsupportedData, sWhy};
}

bool bAbsent(const Json& p, const char* pKey) {
    const auto it = p.find(pKey);
    return it == p.end() || it->is_null();
}

bool bIntIn(const Json& v, int64_t iMin, int64_t iMax) {
    if (!v.is_number_integer())
        return false;
    if (v.is_number_unsigned())
        return v.get<uint64_t>() <= static_cast<uint64_t>(iMax) &&
               static_cast<int64_t>(v.get<uint64_t>()) >= iMin;
    return v.get<int64_t>() >= iMin && v.get<int64_t>() <= iMax;
}

bool bOneOf(const Json& v, std::initializer_list<const char*> values) {
    if (!v.is_string())
        return false;
    for (const char* p : values)
        if (v.get<std::string>() == p)
            return true;
    return false;
}

// "exit", "transport" or a storage unit identifier ("unit" + letters and digits).
bool bPosition(const Json& v, bool bUnitOnly) {
    if (!v.is_string())
        return false;
    const std::string& s = v.get_ref<const std::string&>();
    if (!bUnitOnly && (s == "exit" || s == "transport"))
        return true;
    if (s.size() < 5 || s.size() > 64 || s.compare(0, 4, "unit") != 0)
        return false;
    for (size_t i = 4; i < s.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

tCheck CheckReadRawData(const Json& p) {
    static const char* const kSources[] = {"track1",      "track2",       "track3",    "chip",
                                           "security",    "fluxInactive", "watermark", "memoryChip",
                                           "track1Front", "frontImage",   "backImage", "track1JIS",
                                           "track3JIS",   "ddi"};
    for (const char* k : kSources)
        if (!bAbsent(p, k) && !p[k].is_boolean())
            return Bad(std::string(k) + " is not a boolean");
    return {};
}

tCheck CheckWriteRawData(const Json& p) {
    int iTracks = 0;
    for (const char* k : {"track1", "track2", "track3", "track1Front", "track1JIS", "track3JIS"}) {
        if (bAbsent(p, k))
            continue;
        const Json& t = p[k];
        if (!t.is_object())
            return Bad(std::string(k) + " is not an object");
        if (!bAbsent(t, "writeMethod") && !bOneOf(t["writeMethod"], {"loco", "hico"}))
            return Bad(std::string(k) + ".writeMethod is neither loco nor hico");
        std::vector<uint8_t> bytes;
        if (bAbsent(t, "data") || !t["data"].is_string() ||
            !bDecodeBase64(t["data"].get<std::string>(), bytes))
            return Bad(std::string(k) + ".data is not base64");
        const int iTrack = k[5] >= '1' && k[5] <= '3' && k[6] == 0 ? k[5] - '0' : 0;
        if (iTrack == 0)
            return Unsupported(std::string(k) + " cannot be written by this reader");
        if (bytes.empty() || bytes.size() > TrackCapacity(iTrack) ||
            std::memchr(bytes.data(), 0, bytes.size()))
            return Bad(std::string(k) + ": 1 to " + std::to_string(TrackCapacity(iTrack)) +
                       " bytes, none of them zero");
        ++iTracks;
    }
    if (iTracks == 0)
        return Bad("no track to write");
    return {};
}

tCheck CheckSetVersions(const Json& p) {
    for (const char* k : {"commands", "events"}) {
        if (bAbsent(p, k))
            continue;
        if (!p[k].is_object())
            return Bad(std::string(k) + " is not an object");
        for (const auto& v : p[k].items())
            if (!bIntIn(v.value(), 1, INT_MAX))
                return Bad(std::string(k) + "." + v.key() + " is not a major version");
    }
    return {};
}

tCheck CheckTransactionState(const Json& p) {
    if (bAbsent(p, "state") || !bOneOf(p["state"], {"active", "inactive"}))
        return Bad("state is neither active nor inactive");
    if (!bAbsent(p, "transactionID") && !p["transactionID"].is_string())
        return Bad("transactionID is not a string");
    return {};
}

tCheck CheckSetStorage(const Json& p) {
    if (bAbsent(p, "storage") || !p["storage"].is_object() || p["storage"].empty())
        return Bad("storage is not an object of storage units");
    for (const auto& unit : p["storage"].items()) {
        if (!bPosition(Json(unit.key()), true) || !unit.value().is_object())
            return Bad("storage." + unit.key() + " is no storage unit object");
        for (const auto& part : unit.value().items()) {
            if (part.key() != "card")
                return Unsupported("storage." + unit.key() + "." + part.key() +
                                   ": a card reader has card units only");
            const Json& card = part.value();
            if (!card.is_object())
                return Bad("card is not an object");
            if (!bAbsent(card, "configuration"))
                return Unsupported("the retain unit has no configuration to set");
            if (!bAbsent(card, "status")) {
                const Json& st = card["status"];
                if (!st.is_object() ||
                    (!bAbsent(st, "initialCount") && !bIntIn(st["initialCount"], 0, INT_MAX)))
                    return Bad("card.status.initialCount is not a count");
                if (!bAbsent(st, "initialCount") && st["initialCount"].get<int64_t>() != 0)
                    return Unsupported("the retain count can only be set back to 0");
            }
        }
    }
    return {};
}

tCheck CheckCancel(const Json& p) {
    if (!bAbsent(p, "requestIds")) {
        if (!p["requestIds"].is_array())
            return Bad("requestIds is not an array");
        for (const Json& id : p["requestIds"])
            if (!bIntIn(id, 1, INT_MAX))
                return Bad("requestIds holds something else than request ids");
    }
    return {};
}

tCheck CheckMove(const Json& p) {
    if (!bAbsent(p, "from") && !bPosition(p["from"], false))
        return Bad("from is not exit, transport or a storage unit");
    if (bAbsent(p, "to") || !bPosition(p["to"], false))
        return Bad("to is not exit, transport or a storage unit");
    return {};
}

tCheck CheckReset(const Json& p) {
    if (!bAbsent(p, "to") && !bOneOf(p["to"], {"exit", "retain", "currentPosition", "auto"}))
        return Bad("to is not exit, retain, currentPosition or auto");
    if (!bAbsent(p, "storageId") && !bPosition(p["storageId"], true))
        return Bad("storageId is not a storage unit");
    return {};
}

tCheck CheckChipPower(const Json& p) {
    if (bAbsent(p, "chipPower") || !bOneOf(p["chipPower"], {"cold", "warm", "off"}))
        return Bad("chipPower is not cold, warm or off");
    return {};
}

tCheck CheckChipIo(const Json& p) {
    if (!bAbsent(p, "chipProtocol") &&
        !bOneOf(p["chipProtocol"], {"chipT0", "chipT1", "chipProtocolNotRequired", "chipTypeAPart3",
                                    "chipTypeAPart4", "chipTypeB", "chipTypeNFC"}))
        return Bad("chipProtocol is no chip protocol");
    std::vector<uint8_t> apdu;
    if (bAbsent(p, "chipData") || !p["chipData"].is_string() ||
        !bDecodeBase64(p["chipData"].get<std::string>(), apdu) || apdu.empty())
        return Bad("chipData is not base64 of at least one byte");
    if (apdu.size() > 4096)
        return Bad("chipData is longer than 4096 bytes");
    return {};
}

} // namespace

// The commands, one row each. Versions as the current message set has them
// (commands 2.0 unless a payload changed; completions of changed payloads
// 3.0). A friend of the service: the rows name its handlers.
struct tCommandRows {
    using S = OService;
    static constexpr PageUse kNo = PageUse::No;
    static inline const tCommandSpec kAll[] = {
        // name, command and completion versions, at once, error codes, needs,
        // page, payload check, handler
        {"Common.Status", "2.0", "3.0", true, nullptr, kAny, PageUse::Yes, nullptr,
         &S::AnswerStatus},
        {"Common.Capabilities", "2.0", "3.0", true, nullptr, kAny, PageUse::Yes, nullptr,
         &S::AnswerCapabilities},
        {"Common.SetVersions", "2.0", "2.0", true, nullptr, kAny, kNo, CheckSetVersions,
         &S::SetVersions},
        {"Common.Cancel", "2.0", "2.0", true, kCancelErrors, kAny, kNo, CheckCancel, &S::Cancel},
        {"Common.SetTransactionState", "2.0", "2.0", true, nullptr, kAny, kNo,
         CheckTransactionState, &S::SetTransactionState},
        {"Common.GetTransactionState", "2.0", "2.0", true, nullptr, kAny, kNo, nullptr,
         &S::GetTransactionState},
        {"CardReader.ReadRawData", "2.0", "3.0", false, kReadErrors, kAny, kNo, CheckReadRawData,
         &S::ReadRawData},
        {"CardReader.WriteRawData", "3.0", "2.0", false, kWriteErrors, kNeedsTrackWrite, kNo,
         CheckWriteRawData, &S::WriteRawData},
        {"CardReader.Move", "2.0", "2.0", false, kMoveErrors, kAny, PageUse::ToExitWithActions,
         CheckMove, &S::Move},
        {"CardReader.Reset", "2.0", "2.0", false, kResetErrors, kAny, PageUse::ToExitWithActions,
         CheckReset, &S::Reset},
        {"CardReader.ChipPower", "2.0", "3.0", false, kChipPowerErrors, kAny, kNo, CheckChipPower,
         &S::ChipPower},
        {"CardReader.ChipIO", "3.0", "3.0", false, kChipIoErrors, kAny, kNo, CheckChipIo,
         &S::ChipIo},
        {"CardReader.QueryIFMIdentifier", "2.0", "2.0", true, nullptr, kAny, kNo, nullptr,
         &S::QueryIfmIdentifier},
        {"Storage.GetStorage", "2.0", "2.1", false, nullptr, kAny, kNo, nullptr, &S::GetStorage},
        {"Storage.SetStorage", "2.1", "2.0", false, kSetStorageErrors, kNeedsRetainCounter, kNo,
         CheckSetStorage, &S::SetStorage},
        {"Storage.StartExchange", "2.0", "2.0", false, kStartExchangeErrors, kAny, kNo, nullptr,
         &S::StartExchange},
        {"Storage.EndExchange", "2.0", "2.0", false, kEndExchangeErrors, kAny, kNo, nullptr,
         &S::EndExchange},
    };
    // The publisher's only command.
    static inline const tCommandSpec kPublisher[] = {
        {"ServicePublisher.GetServices", "2.0", "2.0", true, nullptr, kAny, kNo, nullptr,
         &S::GetServices},
    };
};

const tEventSpec kInsertCardEvent = {"CardReader.InsertCardEvent", "2.0"};
const tEventSpec kMediaInsertedEvent = {"CardReader.MediaInsertedEvent", "2.0"};
const tEventSpec kMediaRemovedEvent = {"CardReader.MediaRemovedEvent", "2.0"};
const tEventSpec kMediaDetectedEvent = {"CardReader.MediaDetectedEvent", "2.0"};
const tEventSpec kInvalidMediaEvent = {"CardReader.InvalidMediaEvent", "2.0"};
const tEventSpec kStatusChangedEvent = {"Common.StatusChangedEvent", "3.0"};
const tEventSpec kErrorEvent = {"Common.ErrorEvent", "2.0"};
const tEventSpec kStorageThresholdEvent = {"Storage.StorageThresholdEvent", "2.1"};
const tEventSpec kStorageChangedEvent = {"Storage.StorageChangedEvent", "2.1"};

namespace {
// Every event the service sends (the reader never says it moved a card by
// itself, so no CardReader.CardActionEvent).
const tEventSpec* const kEvents[] = {
    &kInsertCardEvent,    &kMediaInsertedEvent,    &kMediaRemovedEvent,
    &kMediaDetectedEvent, &kInvalidMediaEvent,     &kStatusChangedEvent,
    &kErrorEvent,         &kStorageThresholdEvent, &kStorageChangedEvent};
} // namespace

const tEventSpec* FindEvent(const std::string& sName) {
    for (const tEventSpec* e : kEvents)
        if (sName == e->pName)
            return e;
    return nullptr;
}

const char* ForeignCompletionVersion(const std::string& sName) {
    if (const tCommandSpec* pOwn = FindCommand(sName, false))
        return pOwn->pCompletionVersion; // sent to the publisher
    for (const auto& f : kForeign)
        if (sName == f.pName)
            return f.pCompletionVersion;
    return nullptr;
}

int MajorOf(const std::string& sVersion) {
    const size_t uiDot = sVersion.find('.');
    if (uiDot == 0 || uiDot == std::string::npos || uiDot > 4)
        return 0;
    int iMajor = 0;
    for (size_t i = 0; i < uiDot; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(sVersion[i])))
            return 0;
        iMajor = iMajor * 10 + (sVersion[i] - '0');
    }
    return iMajor;
}

const tCommandSpec* FindCommand(const std::string& sName, bool bPublisher) {
    if (bPublisher)
        return sName == tCommandRows::kPublisher[0].pName ? &tCommandRows::kPublisher[0] : nullptr;
    for (const tCommandSpec& c : tCommandRows::kAll)
        if (sName == c.pName)
            return &c;
    return nullptr;
}

Json InterfacesJson(unsigned uFeatures) {
    Json list = Json::array();
    for (const char* pInterface : {"Common", "CardReader", "Storage"}) {
        const size_t n = std::strlen(pInterface);
        Json commands = Json::object(), events = Json::object();
        for (const tCommandSpec& c : tCommandRows::kAll)
            if (std::strncmp(c.pName, pInterface, n) == 0 && c.pName[n] == '.' &&
                c.bOffered(uFeatures))
                commands[c.pName] = {{"versions", {c.pVersion}}};
        for (const tEventSpec* e : kEvents)
            if (std::strncmp(e->pName, pInterface, n) == 0 && e->pName[n] == '.')
                events[e->pName] = {{"versions", {e->pVersion}}};
        Json entry = {{"name", pInterface}, {"commands", commands}};
        if (!events.empty())
            entry["events"] = events;
        entry["maximumRequests"] = kMaxQueuedPerConnection;
        list.push_back(std::move(entry));
    }
    return list;
}

size_t TrackCapacity(int iTrack) {
    // The library's track areas hold one byte more than it writes.
    return iTrack == 1 ? 79 : iTrack == 2 ? 40 : 107;
}

} // namespace quillon::xfs
