// The service's core in this process: the reader emulator on a
// pseudo-terminal, the library, OService with its counters, and an outbox
// that keeps each connection's frames until a test takes them. No program,
// no socket: what a command does, not how it travels (service_fixture.h).
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "metrics.h"
#include "service.h"
#include "service_fixture.h"

class OCoreRun : public OReaderRig, public quillon::xfs::IOutbox {
public:
    explicit OCoreRun(const tRunSetup& setup = tRunSetup());
    ~OCoreRun() override;
    OCoreRun(const OCoreRun&) = delete;
    OCoreRun& operator=(const OCoreRun&) = delete;

    quillon::xfs::OService& Service() { return *m_pService; }
    const quillon::xfs::OMetrics& Metrics() const { return m_metrics; }

    void vSend(uint64_t uiConnection, std::string sText) override;
    // The connection's next frame; nothing when none came within iMs (a
    // guard against a hang: tests wait for frames, not for time).
    std::optional<std::string> Receive(uint64_t uiConnection, int iMs = 20000);

private:
    quillon::xfs::OMetrics m_metrics;
    std::unique_ptr<quillon::xfs::OService> m_pService;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<uint64_t, std::deque<std::string>> m_frames;
};
