// The service under test: the reader emulator in this process, the
// quillon-xfs4iot program in its own (port 0: it says which port it took),
// a private folder with its configuration and lock, and its log. Plus an
// application's side of the WebSocket, speaking JSON.
#pragma once

#include <condition_variable>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator.h"
#include "ws_client.h"

using Json = nlohmann::json;
using Strings = std::vector<std::string>;

struct tRunSetup {
    quillon::emu::Family eFamily = quillon::emu::Family::A;
    quillon::emu::Options emu;
    quillon::emu::CardPosition eCard = quillon::emu::CardPosition::None;
    std::string sIni;              // [XFS4IoT] lines, before the tests' poll times
    std::vector<std::string> args; // more arguments
    // A USB reader instead: its type, its sections, QUILLON_HIDRAW_ROOT.
    int iReaderType = 0;
    std::string sReaderIni, sHidrawRoot;
    // No card; one offered goes in when the test lets it.
    static tRunSetup HeldAtGate() {
        tRunSetup s;
        s.emu.entryDelay = quillon::emu::kForever;
        return s;
    }
    static tRunSetup CardInside(quillon::emu::Family e = quillon::emu::Family::A) {
        tRunSetup s;
        s.eFamily = e;
        s.eCard = quillon::emu::CardPosition::Inside;
        return s;
    }
};

// The reader side of a run: a private folder, the emulator behind a link
// in it, reader.ini there naming it.
class OReaderRig {
public:
    explicit OReaderRig(const tRunSetup& setup);
    ~OReaderRig();
    OReaderRig(const OReaderRig&) = delete;
    OReaderRig& operator=(const OReaderRig&) = delete;
    quillon::emu::Emulator& Emu() { return *m_pEmu; }
    // The reader pulled out (its terminal hangs up) and plugged in again
    // behind the same link (a new reader, with a card where given).
    void vUnplug();
    void vReplug(quillon::emu::CardPosition eCard = quillon::emu::CardPosition::None);

protected:
    std::string m_sDir, m_sLink, m_sIni;
    tRunSetup m_setup;
    std::unique_ptr<quillon::emu::Emulator> m_pEmu;
};

class OServiceRun : public OReaderRig {
public:
    using tSetup = tRunSetup;
    OServiceRun() : OServiceRun(tSetup()) {}
    explicit OServiceRun(const tSetup& setup);
    ~OServiceRun();

    int iPort() const { return m_iPort; }
    bool bStarted() const { return m_iPort > 0; }
    // Waits until the log holds the text.
    bool bWaitLog(const std::string& sText, int iMs = 20000);
    std::string sLog();
    // Sends the signal and waits for the exit: its status, -1 if killed.
    int iStop(int iSignal = SIGTERM);
    void vSignal(int iSignal) { kill(m_pid, iSignal); }

private:
    int m_iPort = 0;
    pid_t m_pid = -1;
    int m_iLogFd = -1;
    std::thread m_logReader;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::string m_sLog;
    bool m_bLogClosed = false;
};

// Runs the program to its end (start-up refusals): exit status and log.
int RunToEnd(const std::vector<std::string>& args, std::string& sLog);

class OCoreRun;

// An application's connection: over WebSocket to the program, or in
// process to the core's service endpoint (core_fixture.h).
class OApp {
public:
    explicit OApp(int iPort, const std::string& sPath = "/xfs4iot/v1.0/CardReader1",
                  const std::string& sOrigin = "");
    explicit OApp(OCoreRun& core);
    ~OApp();
    OApp(const OApp&) = delete;
    OApp& operator=(const OApp&) = delete;
    bool bConnected() const { return m_bConnected; }
    OWsClient& Ws() { return m_ws; }
    // A frame by hand (not held against the standard's messages).
    bool bSendRaw(const std::string& sText);
    // iTimeoutMs < 0: no timeout in the header.
    void vSend(const std::string& sName, int iId, const Json& payload = Json::object(),
               int iTimeoutMs = -1);
    Json Next(); // null when nothing came
    // Every frame up to the completion of iId, that one included.
    std::vector<Json> Until(int iId);
    Json Call(const std::string& sName, int iId, const Json& payload = Json::object(),
              int iTimeoutMs = -1);
    // Frames up to the first of this name, that one included.
    std::vector<Json> UntilName(const std::string& sName);
    // Reads frames up to one with this string at the JSON pointer; false
    // when none came.
    bool bUntilAt(const char* pPointer, const std::string& sValue);
    // Frames up to the first that last() picks, that one included.
    std::vector<Json> UntilFrame(const std::function<bool(Json& frame)>& last);

private:
    std::optional<std::string> Receive();
    OWsClient m_ws;
    OCoreRun* m_pCore = nullptr;
    uint64_t m_uiConnection = 0;
    bool m_bConnected = false;
};

// A command's frame; iTimeoutMs < 0: no timeout in the header.
std::string Command(const std::string& sName, int iId, const Json& payload = Json::object(),
                    int iTimeoutMs = -1);
// "acknowledge Common.Status", "completion Common.Status success", ...
std::string Line(const Json& frame);
std::vector<std::string> Lines(const std::vector<Json>& frames);
std::string B64(const std::string& bytes);
// The body of an HTTP answer (HttpGet).
std::string Body(const std::string& sAnswer);
// Every member of want is in got with its value, objects and arrays member
// by member (got may hold more); a null in want: that member is absent.
bool bHolds(const Json& got, const Json& want);
