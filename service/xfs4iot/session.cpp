// What the service decides without the reader: its own settings from the
// configuration, the commands it refuses as sent (version, payload, not
// offered here), the versions an application asks for, and the
// transaction state it tells the service (answered at once).
#include <algorithm>

#include "catalog.h"
#include "ini.h"
#include "job.h"
#include "log.h"
#include "service.h"

namespace quillon::xfs {

namespace {

// What the technician's page may ask: the status and capabilities; with
// its actions allowed also an eject or a reset, both to the exit (nothing
// that reads a card or keeps it).
bool bPageMay(bool bActions, const tCommandSpec& command, const Json& payload) {
    if (command.ePage == PageUse::Yes)
        return true;
    const auto to = payload.find("to");
    return bActions && command.ePage == PageUse::ToExitWithActions && to != payload.end() &&
           *to == "exit";
}

} // namespace

bool OService::bRefusedLocked(const tInbound& in, const tCommandSpec& command, Endpoint eEndpoint,
                              tResult& r) const {
    if (!command.bOffered(m_uFeatures))
        r = Completion("unsupportedCommand", in.sName + " is not offered by this reader");
    else if (MajorOf(in.sVersion) != MajorOf(command.pVersion))
        r = Completion("unsupportedCommand", in.sName + " version " + in.sVersion +
                                                 " is not offered (offered: " + command.pVersion +
                                                 ")");
    else if (!in.bPayloadIsObject)
        r = Completion("invalidData", "the payload is not an object");
    else if (const tCheck check = command.CheckPayload(in.payload); check.e != Check::Ok)
        r = Completion(check.e == Check::InvalidData ? "invalidData" : "unsupportedData",
                       check.sWhy);
    else if (eEndpoint == Endpoint::Page && !bPageMay(m_settings.bPageActions, command, in.payload))
        r = Completion("unsupportedCommand", m_settings.bPageActions
                                                 ? in.sName + " is not one of the page's actions"
                                                 : "the page is read-only (--allow-page-actions)");
    else
        return false;
    return true;
}

void OService::vLoadSettings() {
    const std::string& sIni = m_settings.sConfigPath;
    const auto count = [&](const char* pKey) {
        return std::max(0, IniInt(sIni, "XFS4IoT", pKey, 0));
    };
    Json ifm = Json::object();
    // The identifiers of the interface module's approvals, per authority.
    static const char* const kAuthorities[][2] = {{"IFMIdentifierEMV", "emv"},
                                                  {"IFMIdentifierEuropay", "europay"},
                                                  {"IFMIdentifierVisa", "visa"},
                                                  {"IFMIdentifierGIECB", "giecb"}};
    for (const auto& a : kAuthorities) {
        const std::string s = IniText(sIni, "XFS4IoT", a[0], "");
        if (!s.empty())
            ifm[a[1]] = s;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bin.iCapacity = count("RetainBinCapacity");
    m_bin.iHighMark = count("RetainBinHighMark");
    if (m_bin.iCapacity > 0 && m_bin.iHighMark > m_bin.iCapacity)
        QLOG_WARN("RetainBinHighMark %d is above RetainBinCapacity %d", m_bin.iHighMark,
                  m_bin.iCapacity);
    m_ifmIdentifiers = ifm.empty() ? Json() : ifm;
    vRetainStatusLocked(); // observers learn the marks before the reader answers
}

tResult OService::AnswerStatus(tJob&) {
    tResult r;
    r.payload = m_status;
    return r;
}

tResult OService::AnswerCapabilities(tJob&) {
    tResult r;
    r.payload = m_capabilities;
    return r;
}

tResult OService::GetServices(tJob& job) {
    tResult r;
    r.payload = {{"vendorName", m_settings.sVendor},
                 {"services", {{{"serviceURI", m_connections.at(job.uiConnection).sServiceUri}}}}};
    return r;
}

tResult OService::QueryIfmIdentifier(tJob&) {
    tResult r;
    r.payload = {{"ifmIdentifiers", m_ifmIdentifiers}};
    return r;
}

tResult OService::SetVersions(tJob& job) {
    const Json& payload = job.payload;
    // One version of each message is offered: asking for it is all one can
    // do. Names are the full ones Common.Capabilities lists.
    for (const char* pKind : {"commands", "events"}) {
        const auto list = payload.find(pKind);
        if (list == payload.end() || list->is_null())
            continue;
        for (const auto& v : list->items()) {
            const char* pVersion = nullptr;
            if (pKind[0] == 'c') {
                const tCommandSpec* pCommand = FindCommand(v.key(), false);
                if (pCommand && pCommand->bOffered(m_uFeatures))
                    pVersion = pCommand->pVersion;
            } else if (const tEventSpec* pEvent = FindEvent(v.key())) {
                pVersion = pEvent->pVersion;
            }
            const int64_t iAsked = v.value().get<int64_t>();
            if (!pVersion)
                return Completion("unsupportedData", v.key() + " is not offered");
            if (MajorOf(pVersion) != iAsked)
                return Completion("unsupportedData",
                                  v.key() + " version " + std::to_string(iAsked) +
                                      " is not offered (offered: " + pVersion + ")");
        }
    }
    return {};
}

tResult OService::SetTransactionState(tJob& job) {
    const Json& payload = job.payload;
    m_bTransactionActive = payload["state"] == "active";
    const auto id = payload.find("transactionID");
    m_sTransactionId = m_bTransactionActive && id != payload.end() && id->is_string()
                           ? id->get<std::string>()
                           : std::string();
    return {};
}

tResult OService::GetTransactionState(tJob&) {
    tResult r;
    r.payload["state"] = m_bTransactionActive ? "active" : "inactive";
    if (m_bTransactionActive && !m_sTransactionId.empty())
        r.payload["transactionID"] = m_sTransactionId;
    return r;
}

} // namespace quillon::xfs
