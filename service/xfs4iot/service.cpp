#include "service.h"

#include <algorithm>

#include "catalog.h"
#include "job.h"
#include "log.h"
#include "message.h"

namespace quillon::xfs {

namespace {

int64_t MicrosSince(OService::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(OService::Clock::now() - t)
        .count();
}

} // namespace

OService::OService(const tServiceSettings& settings, IOutbox& outbox, OServiceEvents& hooks)
    : m_settings(settings), m_outbox(outbox), m_hooks(hooks), m_reader(hooks),
      m_status(StatusJson(m_state)) {}

OService::~OService() {
    vStop();
}

void OService::vStart() {
    vLoadSettings();
    const tCall c = m_reader.Open();
    vTakeFacts();
    if (c.bOk() || FaultOfFailure(c.iCode, m_eFamily) != Fault::LineDown) {
        Position ePosition = Position::Unknown;
        const tCall s = m_reader.Status(ePosition);
        vApplyStatus(s, ePosition);
        vMediaDetected(s.bOk() ? DetectedAt(ePosition) : nullptr);
        vReadRetainCount();
        const tReaderFacts& facts = m_reader.Facts();
        QLOG_INFO("reader open: model \"%s\", firmware \"%s\", library %s", facts.sModel.c_str(),
                  facts.sFirmware.c_str(), facts.sLibVersion.c_str());
    } else {
        QLOG_WARN("the reader cannot be opened (%d); trying again at every status poll", c.iCode);
        vApplyStatus(c, Position::Unknown);
    }

    vBuildCapabilities();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_worker = std::thread([this] { vWorker(); });
}

void OService::vTakeFacts() {
    const tReaderFacts& facts = m_reader.Facts();
    m_eFamily = facts.eFamily;
    m_uFeatures = facts.uFeatures;
    m_iRetainedLifeValue = facts.iRetainedLifeValue;
}

void OService::vBuildCapabilities() {
    const tReaderFacts& facts = m_reader.Facts();
    static const char* const kFamilies[] = {"A", "B", "C", ""};
    m_hooks.vOnIdentity(kFamilies[static_cast<int>(facts.eFamily)], facts.sModel, facts.sFirmware,
                        facts.sLibVersion);
    Json device = {
        {"modelName", facts.sModel},
        {"firmware", {{{"firmwareVersion", facts.sFirmware}}}},
        {"software", {{{"softwareName", "Quillon"}, {"softwareVersion", facts.sLibVersion}}}}};
    Json reader = {{"type", "motor"},
                   {"readTracks", {{"track1", true}, {"track2", true}, {"track3", true}}},
                   {"chipProtocols", {{"chipT0", facts.bChipT0}, {"chipT1", facts.bChipT1}}},
                   {"fluxSensorProgrammable", false},
                   {"readWriteAccessFromExit", false},
                   {"chipPower", {{"cold", true}, {"warm", true}, {"off", true}}},
                   {"positions", {{"exit", true}, {"transport", false}}},
                   {"cardTakenSensor", true}};
    if (facts.uFeatures & kNeedsTrackWrite) {
        reader["writeTracks"] = {{"track1", true}, {"track2", true}, {"track3", true}};
        reader["writeMode"] = {{"auto", true}};
    }
    const Json caps = {{"interfaces", InterfacesJson(facts.uFeatures)},
                       {"common",
                        {{"serviceVersion", m_settings.sVersion},
                         {"deviceInformation", {device}},
                         {"powerSaveControl", false},
                         {"antiFraudModule", false}}},
                       {"cardReader", reader}};
    std::lock_guard<std::mutex> lock(m_mutex);
    m_capabilities = caps;
}

void OService::vStop() {
    {
        Lock lock(m_mutex);
        if (m_bStopping)
            return;
        m_bStopping = true;
        for (const std::shared_ptr<tJob>& job : m_queue)
            vCompleteLocked(*job, Completion("canceled", "the service is stopping"));
        m_queue.clear();
        if (m_running)
            m_running->eStop = Stop::Canceled;
    }
    m_cv.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    m_reader.vClose();
}

uint64_t OService::uiOpen(Endpoint eEndpoint, const std::string& sServiceUri) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t id = m_uiNextConnection++;
    m_connections[id] = tConnection{eEndpoint, sServiceUri, {}};
    m_hooks.vOnConnection(true, m_connections.size());
    return id;
}

void OService::vClose(uint64_t uiConnection) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_connections.erase(uiConnection))
            return;
        m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                     [&](const std::shared_ptr<tJob>& j) {
                                         return j->uiConnection == uiConnection;
                                     }),
                      m_queue.end());
        if (m_running && m_running->uiConnection == uiConnection)
            m_running->eStop = Stop::Canceled;
        m_hooks.vOnConnection(false, m_connections.size());
    }
    m_cv.notify_all();
}

void OService::vReceive(uint64_t uiConnection, std::string_view text, FrameKind eKind) {
    try {
        vReceiveFrame(uiConnection, text, eKind);
    } catch (const std::exception& e) {
        // Nothing an application sends may stop the service.
        QLOG_ERROR("connection %llu: %s", static_cast<unsigned long long>(uiConnection), e.what());
    }
}

AckStatus OService::RefusalLocked(const tConnection& conn, tInbound& in,
                                  const tCommandSpec* pSpec) const {
    if (in.eStatus != AckStatus::Accepted)
        return in.eStatus;
    if (conn.inFlight.count(in.iRequestId))
        return AckStatus::InvalidRequestId;
    if (pSpec && !pSpec->bAtOnce &&
        conn.inFlight.size() >= static_cast<size_t>(kMaxQueuedPerConnection)) {
        in.sWhy = "32 commands queued";
        return AckStatus::TooManyRequests;
    }
    return AckStatus::Accepted;
}

void OService::vReceiveFrame(uint64_t uiConnection, std::string_view text, FrameKind eKind) {
    tInbound in = ParseInbound(text, eKind);
    Lock lock(m_mutex);
    const auto it = m_connections.find(uiConnection);
    if (it == m_connections.end())
        return;
    tConnection& conn = it->second;
    const tCommandSpec* pSpec = FindCommand(in.sName, conn.eEndpoint == Endpoint::Publisher);
    if (const AckStatus e = RefusalLocked(conn, in, pSpec); e != AckStatus::Accepted) {
        m_outbox.vSend(uiConnection, AckText(in, e));
        m_hooks.vOnRejected(AckStatusName(e));
        QLOG_INFO("connection %llu: %s refused (%s): %s",
                  static_cast<unsigned long long>(uiConnection),
                  in.sName.empty() ? "a frame" : in.sName.c_str(), AckStatusName(e),
                  in.sWhy.empty() ? "request id in use" : in.sWhy.c_str());
        return;
    }
    m_outbox.vSend(uiConnection, AckText(in, AckStatus::Accepted));
    if (!pSpec)
        return vAnswerForeignLocked(uiConnection, in);

    const auto job = std::make_shared<tJob>();
    job->uiConnection = uiConnection;
    job->iRequestId = in.iRequestId;
    job->pSpec = pSpec;
    job->tArrived = Clock::now();
    tResult refused;
    if (bRefusedLocked(in, *pSpec, conn.eEndpoint, refused))
        return vCompleteLocked(*job, std::move(refused));
    job->payload = std::move(in.payload);
    if (pSpec->bAtOnce)
        return vCompleteLocked(*job, (this->*pSpec->pRun)(*job));
    if (m_bStopping)
        return vCompleteLocked(*job, Completion("canceled", "the service is stopping"));
    if (in.iTimeoutMs > 0) {
        job->bHasDeadline = true;
        job->tDeadline = job->tArrived + std::chrono::milliseconds(in.iTimeoutMs);
    }
    conn.inFlight.insert(job->iRequestId);
    m_queue.push_back(job);
    lock.unlock();
    m_cv.notify_all();
}

void OService::vAnswerForeignLocked(uint64_t uiConnection, const tInbound& in) {
    // Completed under the name the application used, in the version of the
    // standard's completion where the command is one of it.
    const auto tArrived = Clock::now();
    const tResult r =
        Completion("unsupportedCommand", in.sName + " is not a command of this service");
    const char* pVersion = ForeignCompletionVersion(in.sName);
    m_hooks.vOnCommandDone(in.sName, r.sCompletion, r.sErrorCode, MicrosSince(tArrived));
    m_outbox.vSend(uiConnection, CompletionText(in.sName, in.iRequestId,
                                                pVersion ? pVersion : in.sVersion.c_str(),
                                                r.sCompletion.c_str(), r.payload, r.sDescription));
}

tResult OService::Cancel(tJob& job) {
    // Only this connection's commands: queued ones complete now, the
    // running one when it notices.
    const auto ids = job.payload.find("requestIds");
    const bool bAll = ids == job.payload.end() || ids->is_null();
    const auto wanted = [&](const tJob& j) {
        return j.uiConnection == job.uiConnection &&
               (bAll || std::find(ids->begin(), ids->end(), Json(j.iRequestId)) != ids->end());
    };
    size_t uiMatched = 0;
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (wanted(**it)) {
            ++uiMatched;
            vCompleteLocked(**it, Completion("canceled", "canceled by Common.Cancel"));
            it = m_queue.erase(it);
        } else {
            ++it;
        }
    }
    if (m_running && wanted(*m_running)) {
        ++uiMatched;
        m_running->eStop = Stop::Canceled;
        m_cv.notify_all();
    }
    if (!bAll && uiMatched == 0)
        return CommandError("noMatchingRequestIDs");
    return {};
}

void OService::vCompleteLocked(tJob& job, tResult r) {
    // Counted before the application hears of it (and also when it left).
    m_hooks.vOnCommandDone(job.pSpec->pName, r.sCompletion, r.sErrorCode,
                           MicrosSince(job.tArrived));
    const auto it = m_connections.find(job.uiConnection);
    if (it == m_connections.end())
        return;
    it->second.inFlight.erase(job.iRequestId);
    if (!r.sErrorCode.empty())
        r.payload["errorCode"] = r.sErrorCode;
    m_outbox.vSend(job.uiConnection,
                   CompletionText(job.pSpec->pName, job.iRequestId, job.pSpec->pCompletionVersion,
                                  r.sCompletion.c_str(), r.payload, r.sDescription));
}

void OService::vExpire() {
    bool bRunningLate = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        vExpireLocked(Clock::now());
        bRunningLate = m_running && m_running->eStop != Stop::None;
    }
    if (bRunningLate)
        m_cv.notify_all();
}

void OService::vExpireLocked(Clock::time_point now) {
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        tJob& j = **it;
        if (j.bHasDeadline && now >= j.tDeadline) {
            vCompleteLocked(j, Completion("timeOut", "timed out while queued"));
            it = m_queue.erase(it);
        } else {
            ++it;
        }
    }
    if (m_running && m_running->bHasDeadline && now >= m_running->tDeadline &&
        m_running->eStop == Stop::None)
        m_running->eStop = Stop::TimedOut;
}

void OService::vWorker() {
    Lock lock(m_mutex);
    Clock::time_point nextPoll = Clock::now() + std::chrono::milliseconds(m_settings.iStatusPollMs);
    while (!m_bStopping) {
        const Clock::time_point now = Clock::now();
        vExpireLocked(now);
        if (!m_queue.empty()) {
            m_running = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            m_hooks.vOnCommandRunning(m_running->pSpec->pName);
            tResult r;
            try {
                r = Execute(*m_running);
            } catch (const std::exception& e) {
                QLOG_ERROR("%s: %s", m_running->pSpec->pName, e.what());
                r = Completion("internalError", e.what());
            }
            lock.lock();
            vCompleteLocked(*m_running, std::move(r));
            m_hooks.vOnCommandRunning(nullptr);
            m_running.reset();
            nextPoll = Clock::now() + std::chrono::milliseconds(m_settings.iStatusPollMs);
            continue;
        }
        if (now >= nextPoll) {
            lock.unlock();
            vPoll();
            lock.lock();
            nextPoll = Clock::now() + std::chrono::milliseconds(m_settings.iStatusPollMs);
            continue;
        }
        Clock::time_point wake = nextPoll;
        for (const std::shared_ptr<tJob>& j : m_queue)
            if (j->bHasDeadline)
                wake = std::min(wake, j->tDeadline);
        m_cv.wait_until(lock, wake);
    }
}

void OService::vPoll() {
    bool bReopen = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bReopen = m_bReopen;
    }
    if (bReopen) {
        const tCall c = m_reader.Open();
        if (!c.bOk() && FaultOfFailure(c.iCode, m_eFamily) == Fault::LineDown)
            return vApplyStatus(c, Position::Unknown);
        QLOG_INFO("reader open again (%d)", c.iCode);
        // It may be another reader now (the selection settles on another type).
        vTakeFacts();
        vReadRetainCount();
        vBuildCapabilities();
    }
    // A reader opened again with a card inside tells where the card is.
    Position ePosition = Position::Unknown;
    if (bPollStatus(ePosition) && bReopen)
        vMediaDetected(DetectedAt(ePosition));
}

tResult OService::Execute(tJob& job) {
    if (job.eStop != Stop::None)
        return Completion(job.eStop == Stop::TimedOut ? "timeOut" : "canceled");
    return (this->*job.pSpec->pRun)(job);
}

bool OService::bStopped(tJob& job) {
    if (job.eStop == Stop::None && job.bHasDeadline && Clock::now() >= job.tDeadline)
        job.eStop = Stop::TimedOut;
    return job.eStop != Stop::None;
}

bool OService::bWait(tJob& job, int iMs) {
    Lock lock(m_mutex);
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(iMs);
    if (job.bHasDeadline)
        until = std::min(until, job.tDeadline);
    m_cv.wait_until(lock, until, [&] { return job.eStop != Stop::None || m_bStopping; });
    lock.unlock();
    return !bStopped(job);
}

void OService::vEvent(const tJob& job, const char* pName, const char* pVersion) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_connections.count(job.uiConnection))
        m_outbox.vSend(job.uiConnection,
                       EventText(pName, job.iRequestId, pVersion, Json::object()));
}

tDeviceState OService::tState() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

size_t OService::uiConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

} // namespace quillon::xfs
