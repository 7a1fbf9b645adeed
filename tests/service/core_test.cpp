// The service without its sockets, in this process: frames in, frames out
// through an outbox, and what an observer of the service is told.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>

#include "emulator.h"
#include "service.h"
#include "service_fixture.h"
#include "support/scoped_var.h"
#include "support/test_env.h"

namespace emu = quillon::emu;
using namespace quillon::xfs;

namespace {

class OOutbox : public IOutbox {
public:
    void vSend(uint64_t, std::string sText) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back(Json::parse(sText));
        m_cv.notify_all();
    }
    // The frames up to the completion of iId.
    Json Completion(int iId) {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (size_t i = 0;; ++i) {
            if (!m_cv.wait_for(lock, std::chrono::seconds(20), [&] { return i < m_frames.size(); }))
                return Json();
            if (m_frames[i]["header"]["type"] == "completion" &&
                m_frames[i]["header"]["requestId"] == iId)
                return m_frames[i];
        }
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Json> m_frames;
};

// Writes down what it is told, one line each.
class ORecorder : public OServiceEvents {
public:
    Strings lines;
    std::mutex mutex;
    void vAdd(const std::string& s) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(s);
    }
    void vOnRejected(const char* p) override { vAdd(std::string("rejected ") + p); }
    void vOnCommandDone(const std::string& n, const std::string& c, const std::string& e,
                        int64_t) override {
        vAdd("done " + n + " " + c + (e.empty() ? "" : " " + e));
    }
    void vOnTrack(int i, const char* p) override { vAdd("track " + std::to_string(i) + " " + p); }
    void vOnCard(CardMove e) override { vAdd("card " + std::to_string(static_cast<int>(e))); }
    void vOnRetainCount(int64_t i) override { vAdd("retain count " + std::to_string(i)); }
    void vOnIdentity(const char* f, const std::string& m, const std::string&,
                     const std::string&) override {
        vAdd(std::string("identity ") + f + " " + m);
    }
    void vOnChipPowerUp(const char* p) override { vAdd(std::string("chip ") + p); }
};

} // namespace

TEST(ServiceCore, AnObserverHearsOfCommandsCardsAndRefusals) {
    emu::Emulator reader(emu::Family::A);
    reader.PlaceCard(emu::CardPosition::Inside);
    TestEnv env("[CARDREADER]\nPort=" + reader.Start() + "\n[CardReaderType]\nCardReaderType=1\n");
    ScopedVar lockFolder("QUILLON_LOCK_DIR", env.dir()); // no wait on other tests' readers
    OOutbox out;
    ORecorder seen;
    tServiceSettings settings;
    settings.sConfigPath = env.configPath();
    OService service(settings, out, seen);
    service.vStart();
    const uint64_t id = service.uiOpen(Endpoint::Service, "");
    const auto send = [&](const char* pName, int iId, const Json& payload) {
        service.vReceive(id, Command(pName, iId, payload), FrameKind::Text);
        return Line(out.Completion(iId));
    };
    reader.With([](emu::Engine& e) { e.Model().tCard().track3.clear(); });
    EXPECT_EQ(
        "completion CardReader.ReadRawData success",
        send("CardReader.ReadRawData", 1, {{"track2", true}, {"track3", true}, {"chip", true}}));
    EXPECT_EQ("completion CardReader.Move success", send("CardReader.Move", 2, {{"to", "unit1"}}));
    service.vReceive(id, "[]", FrameKind::Text);
    service.vReceive(id, "", FrameKind::Binary);
    service.vStop();
    EXPECT_EQ((Strings{"identity A Omron-051", "track 2 data", "track 3 dataMissing", "chip chipT0",
                       "done CardReader.ReadRawData success", "card 3", "retain count 1",
                       "done CardReader.Move success", "rejected invalidMessage",
                       "rejected invalidMessage"}),
              seen.lines);
}
