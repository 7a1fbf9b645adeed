#include "service_fixture.h"

#include "core_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

extern char** environ;

namespace emu = quillon::emu;
namespace fs = std::filesystem;

namespace {

// QUILLON_FRAME_LOG: a folder where every frame an application sends with
// vSend and every frame it receives is written, one JSON line each, for
// the check against the standard's message definitions (check_frames.py).
void Record(const char* pDir, const std::string& sText) {
    static std::mutex s_mutex;
    static const std::string s_sPath = [] {
        const char* pFolder = std::getenv("QUILLON_FRAME_LOG");
        return pFolder ? std::string(pFolder) + "/frames-" + std::to_string(getpid()) + ".jsonl"
                       : std::string();
    }();
    const Json frame = Json::parse(sText, nullptr, false);
    if (s_sPath.empty() || frame.is_discarded())
        return;
    std::lock_guard<std::mutex> lock(s_mutex);
    std::ofstream(s_sPath, std::ios::app) << Json{{"dir", pDir}, {"frame", frame}}.dump() << "\n";
}

// Starts the program with stderr into a pipe; the read end comes back.
pid_t Spawn(const std::vector<std::string>& args, const std::string& sLockDir, int& iLogFd,
            const std::string& sHidrawRoot = "") {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("QUILLON_", 0) != 0)
            env.push_back(*e);
    env.push_back("QUILLON_LOCK_DIR=" + sLockDir);
    if (!sHidrawRoot.empty())
        env.push_back("QUILLON_HIDRAW_ROOT=" + sHidrawRoot);
    std::vector<char*> argv, envp;
    argv.push_back(const_cast<char*>(QUILLON_XFS4IOT));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, QUILLON_XFS4IOT, &fa, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    iLogFd = fds[0];
    return pid;
}

std::string TempDir() {
    std::string s = (fs::temp_directory_path() / "quillon-service-XXXXXX").string();
    return mkdtemp(s.data()) ? s : std::string();
}

bool PointLink(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    std::remove(fresh.c_str());
    return symlink(target.c_str(), fresh.c_str()) == 0 &&
           std::rename(fresh.c_str(), link.c_str()) == 0;
}

} // namespace

OReaderRig::OReaderRig(const tRunSetup& setup)
    : m_sDir(TempDir()), m_sLink(m_sDir + "/reader"), m_sIni(m_sDir + "/reader.ini"),
      m_setup(setup) {
    vReplug(setup.eCard);
    const int iType = setup.iReaderType                 ? setup.iReaderType
                      : setup.eFamily == emu::Family::A ? 1
                      : setup.eFamily == emu::Family::B ? 2
                                                        : 3;
    std::ofstream(m_sIni) << "[CARDREADER]\nPort=" << m_sLink
                          << "\n[CardReaderType]\nCardReaderType=" << iType << "\n"
                          << setup.sReaderIni << "[XFS4IoT]\n"
                          << setup.sIni << "StatusPollMs=20\nCardPollMs=10\n";
}

OReaderRig::~OReaderRig() {
    m_pEmu.reset();
    std::error_code ec;
    fs::remove_all(m_sDir, ec);
}

void OReaderRig::vUnplug() {
    // The link goes with the device, as udev takes /dev/serial/by-id links
    // away: the freed terminal may be another test's by now.
    std::remove(m_sLink.c_str());
    m_pEmu->Stop();
}

void OReaderRig::vReplug(emu::CardPosition eCard) {
    m_pEmu = std::make_unique<emu::Emulator>(m_setup.eFamily, m_setup.emu);
    m_pEmu->PlaceCard(eCard);
    PointLink(m_sLink, m_pEmu->Start());
}

OServiceRun::OServiceRun(const tSetup& setup) : OReaderRig(setup) {
    std::vector<std::string> args = {"--config", m_sIni, "--port", "0"};
    args.insert(args.end(), setup.args.begin(), setup.args.end());
    m_pid = Spawn(args, m_sDir, m_iLogFd, setup.sHidrawRoot);
    m_logReader = std::thread([this] {
        char buf[4096];
        for (ssize_t n; (n = read(m_iLogFd, buf, sizeof buf)) > 0;) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_sLog.append(buf, static_cast<size_t>(n));
            m_cv.notify_all();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bLogClosed = true;
        m_cv.notify_all();
    });
    const std::string kListening = " listening on ws", kAddress = "://127.0.0.1:"; // or wss
    if (bWaitLog(kListening)) {
        const std::string log = sLog();
        const size_t i = log.find(kAddress, log.find(kListening));
        m_iPort = i == std::string::npos ? 0 : std::atoi(log.c_str() + i + kAddress.size());
        // An opening that failed under load: the tests start once it is open.
        if (log.find("cannot be opened") != std::string::npos)
            bWaitLog("reader open again");
    }
}

OServiceRun::~OServiceRun() {
    // Stopped as its service manager stops it (a coverage build keeps the
    // counts); killed if its log is not closed by then.
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return m_bLogClosed; }))
            kill(m_pid, SIGKILL);
    }
    iStop(0);
    if (m_logReader.joinable())
        m_logReader.join();
    if (m_iLogFd >= 0)
        close(m_iLogFd);
}

bool OServiceRun::bWaitLog(const std::string& sText, int iMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(iMs), [&] {
        return m_sLog.find(sText) != std::string::npos || m_bLogClosed;
    }) && m_sLog.find(sText) != std::string::npos;
}

std::string OServiceRun::sLog() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sLog;
}

int OServiceRun::iStop(int iSignal) {
    if (m_pid <= 0)
        return -1;
    if (iSignal)
        kill(m_pid, iSignal);
    int iStatus = 0;
    waitpid(m_pid, &iStatus, 0);
    m_pid = -1;
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

int RunToEnd(const std::vector<std::string>& args, std::string& sLog) {
    int iFd = -1;
    const pid_t pid = Spawn(args, fs::temp_directory_path().string(), iFd);
    char buf[4096];
    for (ssize_t n; (n = read(iFd, buf, sizeof buf)) > 0;)
        sLog.append(buf, static_cast<size_t>(n));
    close(iFd);
    int iStatus = 0;
    waitpid(pid, &iStatus, 0);
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

OApp::OApp(int iPort, const std::string& sPath, const std::string& sOrigin) {
    m_bConnected = m_ws.bConnect(iPort, sPath, sOrigin);
}

OApp::OApp(OCoreRun& core)
    : m_pCore(&core),
      m_uiConnection(core.Service().uiOpen(quillon::xfs::Endpoint::Service, "in process")),
      m_bConnected(true) {}

OApp::~OApp() {
    if (m_pCore)
        m_pCore->Service().vClose(m_uiConnection);
}

bool OApp::bSendRaw(const std::string& sText) {
    if (!m_pCore)
        return m_ws.bSend(sText);
    m_pCore->Service().vReceive(m_uiConnection, sText, quillon::xfs::FrameKind::Text);
    return true;
}

std::optional<std::string> OApp::Receive() {
    return m_pCore ? m_pCore->Receive(m_uiConnection) : m_ws.Receive();
}

std::string Command(const std::string& sName, int iId, const Json& payload, int iTimeoutMs) {
    // The standard's commands are 2.x but for these (an application knows
    // its message set; the frame check holds it to it).
    const bool bThree = sName == "CardReader.ChipIO" || sName == "CardReader.WriteRawData";
    Json h = {{"name", sName},
              {"requestId", iId},
              {"type", "command"},
              {"version", bThree                          ? "3.0"
                          : sName == "Storage.SetStorage" ? "2.1"
                                                          : "2.0"}};
    if (iTimeoutMs >= 0)
        h["timeout"] = iTimeoutMs;
    return Json{{"header", h}, {"payload", payload}}.dump();
}

void OApp::vSend(const std::string& sName, int iId, const Json& payload, int iTimeoutMs) {
    const std::string sFrame = Command(sName, iId, payload, iTimeoutMs);
    Record("sent", sFrame);
    bSendRaw(sFrame);
}

Json OApp::Next() {
    const std::optional<std::string> s = Receive();
    if (s)
        Record("received", *s);
    return s ? Json::parse(*s, nullptr, false) : Json();
}

std::vector<Json> OApp::UntilFrame(const std::function<bool(Json& frame)>& last) {
    std::vector<Json> frames;
    for (Json f = Next(); !f.is_null(); f = Next()) {
        frames.push_back(f);
        if (f.is_object() && f.contains("header") && last(f))
            break;
    }
    return frames;
}

std::vector<Json> OApp::Until(int iId) {
    return UntilFrame([iId](Json& f) {
        Json& h = f["header"];
        return h["requestId"] == iId && (h["type"] == "completion" || // or refused: nothing follows
                                         (h["type"] == "acknowledge" && h.contains("status")));
    });
}

Json OApp::Call(const std::string& sName, int iId, const Json& payload, int iTimeoutMs) {
    vSend(sName, iId, payload, iTimeoutMs);
    const std::vector<Json> frames = Until(iId);
    return frames.empty() ? Json() : frames.back();
}

std::vector<Json> OApp::UntilName(const std::string& sName) {
    return UntilFrame([&sName](Json& f) { return f["header"]["name"] == sName; });
}

std::string Line(const Json& f) {
    if (!f.is_object() || !f.contains("header"))
        return "(nothing)";
    const Json& h = f["header"];
    std::string s = h["type"].get<std::string>() + " " + h["name"].get<std::string>();
    for (const char* k : {"status", "completionCode"})
        if (h.contains(k))
            s += " " + h[k].get<std::string>();
    if (f.contains("payload") && f["payload"].contains("errorCode"))
        s += " " + f["payload"]["errorCode"].get<std::string>();
    return s;
}

std::vector<std::string> Lines(const std::vector<Json>& frames) {
    std::vector<std::string> v;
    for (const Json& f : frames)
        v.push_back(Line(f));
    return v;
}

std::string B64(const std::string& bytes) {
    std::string s(4 * ((bytes.size() + 2) / 3) + 1, '\0'); // OpenSSL's, not the service's
    s.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(s.data()),
                                                 reinterpret_cast<const uint8_t*>(bytes.data()),
                                                 static_cast<int>(bytes.size()))));
    return s;
}

std::string Body(const std::string& sAnswer) {
    const size_t i = sAnswer.find("\r\n\r\n");
    return i == std::string::npos ? "" : sAnswer.substr(i + 4);
}

bool OApp::bUntilAt(const char* pPointer, const std::string& sValue) {
    const Json::json_pointer p(pPointer);
    const auto holds = [&](Json& f) { return f.contains(p) && f[p] == sValue; };
    std::vector<Json> frames = UntilFrame(holds);
    return !frames.empty() && holds(frames.back());
}

bool bHolds(const Json& got, const Json& want) {
    if (!want.is_structured())
        return got == want;
    if (got.type() != want.type() || (got.is_array() && got.size() < want.size()))
        return false;
    size_t i = 0;
    for (auto it = want.begin(); it != want.end(); ++it, ++i)
        if (want.is_array() ? !bHolds(got[i], *it)
            : it->is_null() ? got.contains(it.key())
                            : !got.contains(it.key()) || !bHolds(got[it.key()], *it))
            return false;
    return true;
}
