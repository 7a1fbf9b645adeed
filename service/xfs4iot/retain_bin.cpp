// The retain bin as the Storage interface shows it: its count as the
// reader keeps it, the marks from the configuration, its replenishment
// status and the events when that changes, and the exchange that empties it.
#include "catalog.h"
#include "job.h"
#include "log.h"
#include "message.h"
#include "service.h"

namespace quillon::xfs {

void OService::vReadRetainCount() {
    const int iBin = m_iRetainedLifeValue;
    uint32_t auiLife[11] = {};
    const tCall c = iBin >= 0 ? m_reader.Life(auiLife) : tCall{};
    if (iBin >= 0 && c.bOk())
        m_hooks.vOnLifeCounters(auiLife);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (iBin >= 0 && c.bOk())
        return vRetainCountLocked(auiLife[iBin], false);
    vRetainStatusLocked();
}

void OService::vRetainCountLocked(int64_t iCount, bool bReset) {
    m_bin.iCount = iCount;
    if (bReset)
        m_bin.bReaderFull = false;
    m_hooks.vOnRetainCount(iCount);
    vRetainStatusLocked();
}

void OService::vRetainStatusLocked() {
    const tRetainBin& b = m_bin;
    const char* pStatus = "ok";
    if (b.bReaderFull || (b.iCapacity > 0 && b.iCount >= b.iCapacity))
        pStatus = "full";
    else if (b.iHighMark > 0 && b.iCount >= b.iHighMark)
        pStatus = "high";
    m_hooks.vOnRetainBin(b.iCapacity, b.iHighMark, pStatus);
    if (std::string(pStatus) == b.pStatus)
        return;
    QLOG_INFO("retain bin: %s (%lld cards)", pStatus, static_cast<long long>(b.iCount));
    m_bin.pStatus = pStatus;
    vBroadcastLocked(UnsolicitedText(kStorageThresholdEvent.pName, kStorageThresholdEvent.pVersion,
                                     RetainUnitLocked()));
}

Json OService::RetainUnitLocked() const {
    Json status = {{"initialCount", 0}, {"replenishmentStatus", m_bin.pStatus}};
    if (m_bin.iCount >= 0) {
        status["count"] = m_bin.iCount;
        status["retainCount"] = m_bin.iCount; // all retained since the bin was emptied
    }
    Json unit = {{"id", "RET1"},
                 {"positionName", "retain bin"},
                 {"capacity", m_bin.iCapacity},
                 {"status", "ok"},
                 {"card",
                  {{"capabilities", {{"type", "retain"}, {"hardwareSensors", false}}},
                   {"configuration", {{"threshold", m_bin.iHighMark}}},
                   {"status", status}}}};
    return {{kRetainUnit, unit}};
}

tResult OService::StartExchange(tJob& job) {
    (void)job;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bin.bExchange)
        return CommandError("exchangeActive", "an exchange is already under way");
    if (m_bTransactionActive)
        return CommandError("transactionActive", "a customer transaction is active");
    m_bin.bExchange = true;
    QLOG_INFO("retain bin: exchange started");
    return {};
}

tResult OService::EndExchange(tJob& job) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bin.bExchange)
            return CommandError("noExchangeActive", "no exchange is under way");
    }
    // The bin was emptied: the reader's count starts again at 0 where the
    // family keeps one.
    if (m_uFeatures & kNeedsRetainCounter) {
        const tCall c = m_reader.ResetRetainCount();
        if (!c.bOk())
            return Failed(job, c);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bin.bExchange = false;
    m_bin.bReaderFull = false;
    if (m_iRetainedLifeValue >= 0)
        vRetainCountLocked(0, true);
    else
        vRetainStatusLocked();
    vBroadcastLocked(UnsolicitedText(kStorageChangedEvent.pName, kStorageChangedEvent.pVersion,
                                     RetainUnitLocked()));
    QLOG_INFO("retain bin: exchange ended, emptied");
    return {};
}

} // namespace quillon::xfs
