#include "metrics.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "catalog.h"

namespace quillon::xfs {

namespace {

// Upper bounds of the command duration buckets, in seconds.
constexpr double kBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                              0.5,   1,      2.5,   5,    10,    30,   60};
constexpr size_t kBoundCount = sizeof kBounds / sizeof kBounds[0];

// The states the service reports: each gets its series, 0 or 1.
const char* const kProtocols[] = {"chipT0", "chipT1", "memory", "unknown"};
const char* const kTrackStatus[] = {"data", "dataMissing", "dataInvalid"};

double SystemSeconds() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

// Only names of a fixed list reach a label: anything else is "other".
template <size_t N> std::string Known(const char* const (&apList)[N], const char* p) {
    for (const char* pKnown : apList)
        if (p && std::string(p) == pKnown)
            return pKnown;
    return "other";
}

std::string Number(double d) {
    char ac[32];
    std::snprintf(ac, sizeof ac, "%.15g", d);
    return ac;
}

// Builds the exposition text one family at a time.
class OText {
public:
    void vFamily(const char* pName, const char* pType, const char* pHelp) {
        m_s +=
            std::string("# HELP ") + pName + " " + pHelp + "\n# TYPE " + pName + " " + pType + "\n";
    }
    // names and values pair up; a value is escaped as the format asks.
    void vSample(const std::string& sName, const std::vector<const char*>& names,
                 const std::vector<std::string>& values, const std::string& sValue) {
        m_s += sName;
        for (size_t i = 0; i < names.size(); ++i) {
            m_s += i ? "," : "{";
            m_s += names[i];
            m_s += "=\"";
            for (char c : values[i])
                m_s += c == '\\'   ? "\\\\"
                       : c == '"'  ? "\\\""
                       : c == '\n' ? "\\n"
                                   : std::string(1, c);
            m_s += '"';
        }
        m_s += names.empty() ? " " : "} ";
        m_s += sValue + "\n";
    }
    void vSample(const std::string& sName, uint64_t ui) {
        vSample(sName, {}, {}, std::to_string(ui));
    }
    // A family of one series without labels.
    void vSingle(const char* pName, const char* pType, const char* pHelp,
                 const std::string& sValue) {
        vFamily(pName, pType, pHelp);
        vSample(pName, {}, {}, sValue);
    }
    void vSingle(const char* pName, const char* pType, const char* pHelp, uint64_t ui) {
        vSingle(pName, pType, pHelp, std::to_string(ui));
    }
    template <class Map>
    void vCounter(const char* pName, const char* pHelp, const std::vector<const char*>& names,
                  const Map& map) {
        vFamily(pName, "counter", pHelp);
        for (const auto& kv : map)
            vSample(pName, names, kv.first, std::to_string(kv.second));
    }
    // One histogram per command; durations hold buckets (not cumulative),
    // their sum and count.
    template <class Map> void vHistogram(const char* pName, const char* pHelp, const Map& map) {
        const std::string sName = pName;
        vFamily(pName, "histogram", pHelp);
        for (const auto& kv : map) {
            uint64_t uiBelow = 0;
            for (size_t i = 0; i <= kBoundCount; ++i) {
                uiBelow += kv.second.buckets[i];
                vSample(sName + "_bucket", {"command", "le"},
                        {kv.first, i < kBoundCount ? Number(kBounds[i]) : "+Inf"},
                        std::to_string(uiBelow));
            }
            vSample(sName + "_sum", {"command"}, {kv.first}, Number(kv.second.dSum));
            vSample(sName + "_count", {"command"}, {kv.first}, std::to_string(kv.second.uiCount));
        }
    }
    template <size_t N>
    void vStateSet(const char* pName, const char* pHelp, const char* const (&apStates)[N],
                   const char* pCurrent) {
        vFamily(pName, "gauge", pHelp);
        for (const char* p : apStates)
            vSample(pName, {"state"}, {p}, std::strcmp(p, pCurrent) == 0 ? "1" : "0");
    }
    std::string m_s;
};

} // namespace

OMetrics::OMetrics(WallClock clock) : m_clock(clock ? std::move(clock) : SystemSeconds) {
    m_dStateSince = m_clock();
    // Every series of a fixed label set exists from the start at 0, so that
    // increase() sees the first event too.
    for (const char* pTrack : {"1", "2", "3"}) {
        for (const char* pStatus : kTrackStatus)
            m_tracks[{pTrack, pStatus}] = 0;
        m_tracks[{pTrack, "other"}] = 0;
    }
    for (const char* pStatus : {"invalidMessage", "invalidRequestID", "tooManyRequests"})
        m_rejected[{pStatus}] = 0;
    for (const char* pProtocol : kProtocols)
        m_powerUps[{pProtocol}] = m_apdus[{pProtocol}] = 0;
}

void OMetrics::vOnCommandRunning(const char* pName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sRunning = pName ? pName : "";
    m_dRunningSince = m_clock();
}

void OMetrics::vOnConnection(bool bOpened, size_t uiOpen) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_uiConnections += bOpened;
    m_uiOpen = uiOpen;
}

void OMetrics::vOnRejected(const char* pStatus) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_rejected[{pStatus}];
}

void OMetrics::vOnCommandDone(const std::string& sName, const std::string& sCompletion,
                              const std::string& sErrorCode, int64_t iMicros) {
    // An application may send any name: only the service's own reach a label.
    const std::string sCommand =
        FindCommand(sName, false) || FindCommand(sName, true) ? sName : "other";
    const double dSeconds = static_cast<double>(iMicros) / 1e6;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_commands[{sCommand, sCompletion, sErrorCode}];
    tDuration& d = m_durations[sCommand];
    d.buckets.resize(kBoundCount + 1);
    ++d.buckets[std::lower_bound(kBounds, kBounds + kBoundCount, dSeconds) - kBounds];
    d.dSum += dSeconds;
    ++d.uiCount;
    m_recent.push_back({m_clock(), sCommand, sCompletion, sErrorCode, iMicros});
    if (m_recent.size() > kRecentCommands)
        m_recent.pop_front();
}

void OMetrics::vOnLibraryCall(const char* pFunction, int iResult, int iCode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_library[{pFunction, iResult == 0 ? "ok" : "failed", std::to_string(iCode)}];
}

void OMetrics::vOnTrack(int iTrack, const char* pStatus) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_tracks[{std::to_string(iTrack), Known(kTrackStatus, pStatus)}];
}

void OMetrics::vOnCard(CardMove eMove) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_auiCards[static_cast<size_t>(eMove)];
}

void OMetrics::vOnJam() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_uiJams;
}

void OMetrics::vOnChipPowerUp(const char* pProtocol) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_powerUps[{Known(kProtocols, pProtocol)}];
}

void OMetrics::vOnApdu(const char* pProtocol) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_apdus[{Known(kProtocols, pProtocol)}];
}

void OMetrics::vOnRetainCount(int64_t iCount) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_iRetainCount = iCount;
}

void OMetrics::vOnRetainBin(int64_t iCapacity, int64_t iHighMark, const char* pStatus) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_iBinCapacity = iCapacity;
    m_iBinHighMark = iHighMark;
    m_sBinStatus = pStatus;
}

void OMetrics::vOnLifeCounters(const uint32_t (&auiValues)[11]) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::copy(auiValues, auiValues + 11, m_auiLife);
    m_bLife = true;
}

void OMetrics::vOnIdentity(const char* pFamily, const std::string& sModel,
                           const std::string& sFirmware, const std::string& sLibrary) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bIdentified = true;
    m_sFamily = pFamily;
    m_sModel = sModel;
    m_sFirmware = sFirmware;
    m_sLibrary = sLibrary;
}

void OMetrics::vOnStateChange(const tDeviceState&, const tDeviceState& after) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state = after;
    m_dStateSince = m_clock();
}

namespace {

// The retain bin's families: count, marks, replenishment status.
void RetainBinText(OText& t, int64_t iCount, int64_t iCapacity, int64_t iHighMark,
                   const std::string& sStatus) {
    t.vFamily("quillon_retain_bin_cards", "gauge",
              "Cards in the retain bin, as last read from the reader.");
    if (iCount >= 0)
        t.vSample("quillon_retain_bin_cards", static_cast<uint64_t>(iCount));
    t.vFamily("quillon_retain_bin_capacity_cards", "gauge",
              "Cards the retain bin holds (RetainBinCapacity; absent when not set).");
    if (iCapacity > 0)
        t.vSample("quillon_retain_bin_capacity_cards", static_cast<uint64_t>(iCapacity));
    t.vFamily("quillon_retain_bin_high_mark_cards", "gauge",
              "Count from which the retain bin is reported high (RetainBinHighMark).");
    if (iHighMark > 0)
        t.vSample("quillon_retain_bin_high_mark_cards", static_cast<uint64_t>(iHighMark));
    t.vFamily("quillon_retain_bin_replenishment", "gauge",
              "The retain bin's replenishment status: 1 for the current one.");
    for (const char* pStatus : {"ok", "high", "full"})
        if (!sStatus.empty())
            t.vSample("quillon_retain_bin_replenishment", {"status"}, {pStatus},
                      sStatus == pStatus ? "1" : "0");
}

} // namespace

std::string OMetrics::sText() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    OText t;
    t.vFamily("quillon_reader_info", "gauge",
              "The reader the service drives: family, model, firmware and library version.");
    if (m_bIdentified)
        t.vSample("quillon_reader_info", {"family", "model", "firmware", "library_version"},
                  {m_sFamily, m_sModel, m_sFirmware, m_sLibrary}, "1");
    t.vStateSet("quillon_device_state", "The device state Common.Status reports (1: current).",
                kDeviceStateNames, Name(m_state.eDevice));
    t.vStateSet("quillon_media_state", "Where the card is, as Common.Status reports (1: current).",
                kMediaStateNames, Name(m_state.eMedia));
    t.vStateSet("quillon_chip_state", "The chip's power state (1: current).", kChipStateNames,
                Name(m_state.eChip));
    t.vSingle("quillon_last_state_change_timestamp_seconds", "gauge",
              "When the device, media or chip state last changed (since the service started).",
              Number(m_dStateSince));
    t.vCounter("quillon_commands_total", "Commands completed, by name, completion and error code.",
               {"command", "completion", "error_code"}, m_commands);
    t.vHistogram("quillon_command_duration_seconds",
                 "Time from a command's arrival to its completion.", m_durations);
    t.vFamily("quillon_command_running_seconds", "gauge",
              "How long the command the reader runs now has been running (0: none).");
    t.vSample("quillon_command_running_seconds", {"command"}, {m_sRunning},
              m_sRunning.empty() ? "0" : Number(m_clock() - m_dRunningSince));
    t.vCounter("quillon_library_calls_total",
               "Library calls, by function, outcome and the code of its record.",
               {"function", "result", "code"}, m_library);
    t.vCounter("quillon_track_reads_total",
               "Magnetic tracks read, by track and status (data: read; else why not).",
               {"track", "status"}, m_tracks);
    static const char* const kCards[][2] = {
        {"quillon_cards_inserted_total", "Cards the reader took in for a command."},
        {"quillon_cards_ejected_total", "Cards moved to the exit."},
        {"quillon_cards_taken_total", "Cards the customer took from the exit."},
        {"quillon_cards_retained_total", "Cards moved into the retain bin."}};
    for (size_t i = 0; i < 4; ++i) {
        t.vSingle(kCards[i][0], "counter", kCards[i][1], m_auiCards[i]);
    }
    t.vSingle("quillon_jams_total", "counter", "Times the card became jammed.", m_uiJams);
    t.vCounter("quillon_chip_power_ups_total", "Chips powered up, by protocol.", {"protocol"},
               m_powerUps);
    t.vCounter("quillon_chip_apdus_total", "Chip commands exchanged, by protocol.", {"protocol"},
               m_apdus);
    RetainBinText(t, m_iRetainCount, m_iBinCapacity, m_iBinHighMark, m_sBinStatus);
    t.vFamily("quillon_reader_life_value", "gauge",
              "The reader's life counters 0-10 as last read (meaning per family).");
    for (int i = 0; m_bLife && i < 11; ++i)
        t.vSample("quillon_reader_life_value", {"index"}, {std::to_string(i)},
                  std::to_string(m_auiLife[i]));
    t.vSingle("quillon_connections_open", "gauge", "WebSocket connections open now.", m_uiOpen);
    t.vSingle("quillon_connections_total", "counter", "WebSocket connections opened.",
              m_uiConnections);
    t.vCounter("quillon_rejected_acknowledges_total", "Commands refused in their acknowledge.",
               {"status"}, m_rejected);
    return t.m_s;
}

std::string OMetrics::sPageJson() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Json page = {{"identity", nullptr}, {"retainCount", nullptr}, {"life", nullptr}};
    if (m_bIdentified)
        page["identity"] = {{"family", m_sFamily},
                            {"model", m_sModel},
                            {"firmware", m_sFirmware},
                            {"library", m_sLibrary}};
    page["state"] = {{"device", Name(m_state.eDevice)},
                     {"media", Name(m_state.eMedia)},
                     {"chip", Name(m_state.eChip)}};
    if (m_iRetainCount >= 0)
        page["retainCount"] = m_iRetainCount;
    page["retainBin"] = {{"capacity", m_iBinCapacity},
                         {"highMark", m_iBinHighMark},
                         {"status", m_sBinStatus.empty() ? Json() : Json(m_sBinStatus)}};
    if (m_bLife)
        page["life"] = m_auiLife;
    Json& commands = page["commands"] = Json::array();
    for (auto it = m_recent.rbegin(); it != m_recent.rend(); ++it)
        commands.push_back({{"at", it->dAt},
                            {"name", it->sName},
                            {"completion", it->sCompletion},
                            {"errorCode", it->sErrorCode},
                            {"ms", static_cast<double>(it->iMicros) / 1000}});
    return page.dump();
}

} // namespace quillon::xfs
