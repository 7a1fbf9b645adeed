#include "core_fixture.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace emu = quillon::emu;
namespace xfs = quillon::xfs;

OCoreRun::OCoreRun(const OServiceRun::tSetup& setup) : m_sDir(TempDir()), m_setup(setup) {
    m_pEmu = std::make_unique<emu::Emulator>(setup.eFamily, setup.emu);
    m_pEmu->PlaceCard(setup.eCard);
    m_sLink = m_sDir + "/reader";
    PointLink(m_sLink, m_pEmu->Start());
    const std::string sIni = m_sDir + "/reader.ini";
    std::ofstream(sIni) << ReaderIni(setup, m_sLink);
    // The library in this process reads them as the program's would.
    setenv("QUILLON_CONFIG", sIni.c_str(), 1);
    setenv("QUILLON_LOCK_DIR", m_sDir.c_str(), 1);
    xfs::tServiceSettings settings;
    settings.sConfigPath = sIni;
    settings.sVersion = "test";
    settings.iStatusPollMs = 20;
    settings.iCardPollMs = 10;
    m_pService = std::make_unique<xfs::OService>(settings, *this, m_metrics);
    m_pService->vStart();
}

OCoreRun::~OCoreRun() {
    m_pService.reset(); // stopped: no frame comes after this
    m_pEmu.reset();
    std::error_code ec;
    std::filesystem::remove_all(m_sDir, ec);
}

void OCoreRun::vUnplug() {
    std::remove(m_sLink.c_str());
    m_pEmu->Stop();
}

void OCoreRun::vReplug(emu::CardPosition eCard) {
    m_pEmu = std::make_unique<emu::Emulator>(m_setup.eFamily, m_setup.emu);
    m_pEmu->PlaceCard(eCard);
    PointLink(m_sLink, m_pEmu->Start());
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
