// The service's counters for fleet monitoring: what the service sees,
// counted where it sees it (no reader exchange of its own), kept in memory
// for the life of the process and written as Prometheus text (format
// 0.0.4) for GET /metrics and the metrics file, and as JSON for the
// technician's page. Labels hold names and codes only, never card data.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "hooks.h"

namespace quillon::xfs {

class OMetrics : public OServiceEvents {
public:
    // Seconds since the epoch (the tests give their own clock).
    using WallClock = std::function<double()>;
    explicit OMetrics(WallClock clock = nullptr);

    // Prometheus text exposition, format 0.0.4.
    std::string sText() const;
    // The technician's page: identity, state, life counters, retain bin and
    // the last commands.
    std::string sPageJson() const;

    static constexpr size_t kRecentCommands = 20;

    void vOnConnection(bool bOpened, size_t uiOpen) override;
    void vOnRejected(const char* pStatus) override;
    void vOnCommandDone(const std::string& sName, const std::string& sCompletion,
                        const std::string& sErrorCode, int64_t iMicros) override;
    void vOnCommandRunning(const char* pName) override;
    void vOnLibraryCall(const char* pFunction, int iResult, int iCode) override;
    void vOnTrack(int iTrack, const char* pStatus) override;
    void vOnCard(CardMove eMove) override;
    void vOnJam() override;
    void vOnChipPowerUp(const char* pProtocol) override;
    void vOnApdu(const char* pProtocol) override;
    void vOnRetainCount(int64_t iCount) override;
    void vOnLifeCounters(const uint32_t (&auiValues)[11]) override;
    void vOnIdentity(const char* pFamily, const std::string& sModel, const std::string& sFirmware,
                     const std::string& sLibrary) override;
    void vOnStateChange(const tDeviceState& before, const tDeviceState& after) override;

private:
    struct tDuration {
        std::vector<uint64_t> buckets; // per upper bound, not cumulative
        double dSum = 0;
        uint64_t uiCount = 0;
    };
    struct tRecent {
        double dAt;
        std::string sName, sCompletion, sErrorCode;
        int64_t iMicros;
    };
    using Labels = std::vector<std::string>; // label values, in the family's order

    WallClock m_clock;
    mutable std::mutex m_mutex;
    bool m_bIdentified = false;
    std::string m_sFamily, m_sModel, m_sFirmware, m_sLibrary;
    tDeviceState m_state;
    double m_dStateSince;
    std::string m_sRunning; // the command the reader runs, empty when idle
    double m_dRunningSince = 0;
    std::map<Labels, uint64_t> m_commands, m_library, m_tracks, m_powerUps, m_apdus, m_rejected;
    std::map<std::string, tDuration> m_durations;
    std::array<uint64_t, 4> m_auiCards{}; // by CardMove
    uint64_t m_uiJams = 0, m_uiConnections = 0;
    size_t m_uiOpen = 0;
    int64_t m_iRetainCount = -1; // -1: not read yet
    bool m_bLife = false;
    uint32_t m_auiLife[11] = {};
    std::deque<tRecent> m_recent;
};

} // namespace quillon::xfs
