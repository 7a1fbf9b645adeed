#include "core_fixture.h"

#include <chrono>
#include <cstdlib>

namespace emu = quillon::emu;
namespace xfs = quillon::xfs;

OCoreRun::OCoreRun(const tRunSetup& setup) : OReaderRig(setup) {
    // The library in this process reads them as the program's would.
    setenv("QUILLON_CONFIG", m_sIni.c_str(), 1);
    setenv("QUILLON_LOCK_DIR", m_sDir.c_str(), 1);
    xfs::tServiceSettings settings;
    settings.sConfigPath = m_sIni;
    settings.sVersion = "test";
    settings.iStatusPollMs = 20;
    settings.iCardPollMs = 10;
    m_pService = std::make_unique<xfs::OService>(settings, *this, m_metrics);
    m_pService->vStart();
}

OCoreRun::~OCoreRun() {
    m_pService.reset(); // stopped before the reader goes
}

void OCoreRun::vSend(uint64_t uiConnection, std::string sText) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames[uiConnection].push_back(std::move(sText));
    }
    m_cv.notify_all();
}

std::optional<std::string> OCoreRun::Receive(uint64_t uiConnection, int iMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::deque<std::string>& q = m_frames[uiConnection];
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(iMs), [&] { return !q.empty(); }))
        return std::nullopt;
    std::string s = std::move(q.front());
    q.pop_front();
    return s;
}
