// The card-reader service without its sockets: connections come in as
// numbers, frames as text, and everything the service sends goes out
// through an outbox. Status, capabilities and cancels are answered on the
// caller's thread at once; every other command waits in one queue, in
// arrival order across all connections, for the reader worker, which runs
// one at a time and polls the reader's status while nothing is queued.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "frame.h"
#include "hooks.h"
#include "message.h"
#include "reader.h"

namespace quillon::xfs {

struct tServiceSettings {
    std::string sConfigPath;         // the configuration file ([XFS4IoT] and the library's own)
    std::string sVendor = "Quillon"; // ServicePublisher.GetServices vendorName
    std::string sVersion;            // Common.Capabilities serviceVersion
    int iStatusPollMs = 500;         // status poll while idle
    int iCardPollMs = 100;           // status poll while a card is awaited
    bool bPageActions = false;       // the technician's page may eject and reset
};

// The retain bin as the service reports it (Storage interface): the count
// as last read, the marks from the configuration, an exchange under way.
struct tRetainBin {
    int iCapacity = 0;          // cards it holds; 0: not configured
    int iHighMark = 0;          // count from which it is reported "high"; 0: none
    int64_t iCount = -1;        // -1: not read (family C keeps no count)
    bool bReaderFull = false;   // the reader refused a card: bin full
    bool bExchange = false;     // between Storage.StartExchange and EndExchange
    const char* pStatus = "ok"; // replenishmentStatus last reported
};

// Where the service's frames go. Thread-safe; frames for one connection
// leave in the order they were handed over; a closed connection drops them.
class IOutbox {
public:
    virtual ~IOutbox() = default;
    virtual void vSend(uint64_t uiConnection, std::string sText) = 0;
};

// Page: the service's path from the technician's page (a browser on the
// service's own origin), which may ask for the status and capabilities
// only, and eject or reset to the exit when the page's actions are allowed.
enum class Endpoint { Publisher, Service, Page };

// The position a CardReader.MediaDetectedEvent names for a card sensed
// there (nullptr: no card).
const char* DetectedAt(Position ePosition);

struct tJob;
struct tResult;
struct tInbound;
struct tCommandSpec;

// Common.Status's payload for a state.
Json StatusJson(const tDeviceState& state);

class OService {
public:
    using Clock = std::chrono::steady_clock;

    OService(const tServiceSettings& settings, IOutbox& outbox, OServiceEvents& hooks);
    ~OService();
    OService(const OService&) = delete;
    OService& operator=(const OService&) = delete;

    // Opens the reader (a reader that cannot be opened is tried again by the
    // poll) and starts the worker.
    void vStart();
    // Queued and waiting commands complete as canceled, the running one as
    // soon as its library call returns; then the library is closed.
    void vStop();

    // A connection to the publisher or the service; sServiceUri is what the
    // publisher tells this client.
    uint64_t uiOpen(Endpoint eEndpoint, const std::string& sServiceUri);
    // Its commands are dropped (a running one canceled); nothing more is sent to it.
    void vClose(uint64_t uiConnection);
    // One whole frame from the connection.
    void vReceive(uint64_t uiConnection, std::string_view text, FrameKind eKind);
    // Times out queued commands whose time is up; the network thread calls it
    // now and then (the worker may be inside a long library call).
    void vExpire();

    tDeviceState tState() const;
    size_t uiConnections() const;

private:
    friend struct tCommandRows; // the command table names the handlers below

    struct tConnection {
        Endpoint eEndpoint;
        std::string sServiceUri;
        std::set<int64_t> inFlight; // request ids queued or running
    };
    using Lock = std::unique_lock<std::mutex>;

    void vTakeFacts();
    void vBuildCapabilities();
    void vLoadSettings();
    void vReceiveFrame(uint64_t uiConnection, std::string_view text, FrameKind eKind);
    // How a frame is acknowledged: Accepted, or why it is refused.
    AckStatus RefusalLocked(const tConnection& conn, tInbound& in, const tCommandSpec* pSpec) const;
    // A command this service does not have: completed as unsupported.
    void vAnswerForeignLocked(uint64_t uiConnection, const tInbound& in);
    // A command not run as sent: the version or payload refused, or not
    // offered here (session.cpp); r is its completion.
    bool bRefusedLocked(const tInbound& in, const tCommandSpec& command, Endpoint eEndpoint,
                        tResult& r) const;
    // At-once answers, under the lock on the caller's thread (session.cpp).
    tResult AnswerStatus(tJob& job);
    tResult AnswerCapabilities(tJob& job);
    tResult GetServices(tJob& job);
    tResult SetVersions(tJob& job);
    tResult SetTransactionState(tJob& job);
    tResult GetTransactionState(tJob& job);
    tResult QueryIfmIdentifier(tJob& job);
    tResult Cancel(tJob& job); // service.cpp
    // Worker.
    void vWorker();
    void vPoll();
    tResult Execute(tJob& job);
    void vCompleteLocked(tJob& job, tResult r);
    void vExpireLocked(Clock::time_point now);

    // Commands (commands.cpp).
    tResult ReadRawData(tJob& job);
    tResult WriteRawData(tJob& job);
    tResult Move(tJob& job);
    tResult Reset(tJob& job);
    tResult ChipPower(tJob& job);
    tResult ChipIo(tJob& job);
    tResult GetStorage(tJob& job);
    tResult SetStorage(tJob& job);
    tResult StartExchange(tJob& job);
    tResult EndExchange(tJob& job);
    // True with a card inside; else false with the result to complete with.
    bool bCardInside(tJob& job, tResult& r, bool bWaitForCard);
    tResult Failed(const tJob& job, const tCall& c);
    void vRetained(uint32_t uiCount);
    // Retain bin (retain_bin.cpp): the count read or reset, and its events.
    void vReadRetainCount();
    void vRetainCountLocked(int64_t iCount, bool bReset);
    void vRetainStatusLocked();
    Json RetainUnitLocked() const;
    // Card found by a reset or an opening: where it is (or goes).
    void vMediaDetected(const char* pPosition);
    void vErrorEventLocked(const char* pAction, const std::string& sDescription);
    // Canceled or timed out; waits up to iMs unless so.
    bool bStopped(tJob& job);
    bool bWait(tJob& job, int iMs);
    void vEvent(const tJob& job, const char* pName, const char* pVersion);

    // State (from status reads and command outcomes), and its events.
    void vApplyStatus(const tCall& c, Position ePosition);
    // The poll's status read (worker thread only); true when its position
    // was applied.
    bool bPollStatus(Position& ePosition);
    void vNoteFailure(const tCall& c);
    void vSetMedia(MediaState eMedia, bool bChipPowered);
    void vChipPowered(bool bPowered, const char* pProtocol);
    // bSensed: the reader's status showed it (not a command's outcome).
    void vPublishLocked(const tDeviceState& next, bool bSensed = false);
    void vBroadcastLocked(const std::string& sText);

    tServiceSettings m_settings;
    IOutbox& m_outbox;
    OServiceEvents& m_hooks;
    OReaderPort m_reader;
    // The reader's facts as the library told them at the last opening.
    std::atomic<Family> m_eFamily{Family::Unknown};
    std::atomic<unsigned> m_uFeatures{tReaderFacts().uFeatures};
    std::atomic<int> m_iRetainedLifeValue{-1};
    Json m_capabilities; // Common.Capabilities payload, built after every opening

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<uint64_t, tConnection> m_connections;
    uint64_t m_uiNextConnection = 1;
    std::deque<std::shared_ptr<tJob>> m_queue;
    std::shared_ptr<tJob> m_running;
    bool m_bStopping = false;
    std::thread m_worker;

    tDeviceState m_state;
    Json m_status;               // Common.Status payload, built when the state changes
    bool m_bJammed = false;      // a command met a jam; cleared by a good reset or move
    bool m_bChipPowered = false; // a chip powered by this service, until off or the card left
    std::string m_sChipProtocol;
    bool m_bReopen = false; // the line went down: the poll opens the reader again
    tRetainBin m_bin;
    Json m_ifmIdentifiers; // CardReader.QueryIFMIdentifier's, from the configuration
    // Common.SetTransactionState's, in memory only: applications may put
    // customer data in it, so it is never logged nor counted.
    bool m_bTransactionActive = false;
    std::string m_sTransactionId;
};

} // namespace quillon::xfs
