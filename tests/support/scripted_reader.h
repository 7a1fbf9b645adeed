// Scripted readers for the driver tests: a reader of each family on the
// scripted serial line, answering each frame the driver sends as a reader
// of its family does, from a script; and a scripted USB HID device.
//
//   ReaderA  family A and its auxiliary module: a frame is acknowledged when
//            a reply is scripted, the next scripted reply text follows ENQ;
//   ReaderB  family B: each command frame gets the next scripted answer
//            (ACK and reply frame together, or any bytes), its text kept;
//   ReaderC  family C: each command gets the next answer scripted for it
//            (ACK, then the reply frame after ENQ), else a positive reply;
//   FakeHid  a HID device whose every driver-written report schedules the
//            next scripted reply's input reports on its virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "infra/reader_comm.h"
#include "platform/system.h"
#include "readers/family_a/serial_reader_a.h"
#include "readers/family_b/serial_reader_b.h"
#include "readers/family_c/serial_reader_c.h"
#include "support/frames.h"
#include "support/open_port.h"
#include "support/records.h"
#include "support/scripted_line.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"
#include "transport/hid/hid_transport.h"

using Texts = std::vector<std::string>;
using Commands = std::vector<std::string>;
using Ms = std::vector<uint32_t>;

#define EXPECT_RECORD(r, code, flag)                                                               \
    EXPECT_EQ((std::vector<int>{code, code, flag, flag}),                                          \
              (std::vector<int>{(r).iCode1, (r).iCode2, (r).iErrFlag1, (r).iErrFlag2}))

// While it lives, the library's pauses pass on the line's clock (POSIX; real
// ones under Windows).
class ScopedLineSleep {
public:
    explicit ScopedLineSleep(LineScript& line) {
        s_line = &line;
#if !defined(_WIN32)
        m_previous = quillon::SetSleepHook([](unsigned uiMs) { s_line->vAdvance(uiMs); });
#endif
    }
    ~ScopedLineSleep() {
#if !defined(_WIN32)
        quillon::SetSleepHook(m_previous);
#endif
    }
    ScopedLineSleep(const ScopedLineSleep&) = delete;
    ScopedLineSleep& operator=(const ScopedLineSleep&) = delete;

private:
    static inline LineScript* s_line = nullptr;
#if !defined(_WIN32)
    quillon::SleepHook m_previous = nullptr;
#endif
};

// The configuration, the scripted line and a communication object with its
// port open, once for a whole suite. The drivers' pauses pass on the line's
// clock.
class ScriptedLineSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_env = new TestEnv;
        s_line = new ScopedScriptedLine;
        s_sleep = new ScopedLineSleep(line());
        s_comm = new quillon::OReaderComm(nullptr, "CARDREADER");
        ASSERT_EQ(0, OpenPort(*s_comm));
    }
    static void TearDownTestSuite() {
        line().responder = nullptr;
        delete s_comm;
        delete s_sleep;
        delete s_line;
        delete s_env;
    }
    static LineScript& line() { return **s_line; }

    static inline TestEnv* s_env = nullptr;
    static inline ScopedScriptedLine* s_line = nullptr;
    static inline ScopedLineSleep* s_sleep = nullptr;
    static inline quillon::OReaderComm* s_comm = nullptr;
};

// --------------------------------------------------------------- family A

class ReaderA : public ::testing::Test {
public:
    static bool IsA(const Bytes& w) { return w.size() > 2 && w[0] == 0x10 && w[1] == 0x02; }
    static bool IsM(const Bytes& w) { return w.size() > 4 && w[0] == 0x02 && w[3] == 0x46; }
    static std::string P(const std::string& data = "") { return "P0000" + data; }
    static std::string N(const std::string& status) { return "N00" + status; }
    static std::string TextOfA(const Bytes& frame) { // doubled DLEs collapsed
        std::string t;
        for (size_t i = 2; i + 3 < frame.size(); i += frame[i] == 0x10 ? 2 : 1)
            t += static_cast<char>(frame[i]);
        return t;
    }
    static tDevReturn Rec() {
        tDevReturn r{};
        r.iCode1 = r.iCode2 = r.iErrFlag1 = r.iErrFlag2 = 7;
        std::memset(r.acReplyText, 'x', sizeof r.acReplyText);
        return r;
    }
    // A module operation's code as its caller's record shows it; its result.
    static int Coded(quillon::Code eCode, tDevReturn& r) {
        const quillon::tOutcome o = quillon::OutcomeOf(eCode);
        return Into(quillon::tDriverResult::Shown(o.eCode, o.iFlag, o.iFlag), r);
    }

protected:
    ReaderA() {
        EXPECT_EQ(0, OpenPort(comm));
        line->responder = [this](const Bytes& w) { return Answer(w); };
        line->events.clear();
    }
    void Reader(const std::string& text) { reader.push_back(B(text)); }
    void Replies(const Texts& texts) { // the reader's whole script; the line's history dropped
        line->events.clear();
        reader.clear();
        for (const std::string& s : texts)
            Reader(s);
    }
    void Module(const std::string& text) { module.push_back(B(text)); }
    // Fixed answers to the successive writes instead of the responder.
    void Script(const std::vector<Bytes>& answers) {
        line->responder = nullptr;
        line->vClear();
        for (const Bytes& b : answers)
            line->vOnWrite(b);
    }
    Bytes Answer(const Bytes& w) {
        if (IsA(w))
            return reader.empty() ? Bytes{} : kAck;
        if (IsM(w))
            return module.empty() ? Bytes{} : kAckM;
        const bool toReader = w == kEnq;
        std::deque<Bytes>& q = toReader ? reader : module;
        if (q.empty() || (!toReader && w != B({0x05, 0x46})))
            return {};
        Bytes f = toReader ? FrameA(q.front()) : FrameModule(q.front());
        q.pop_front();
        return f;
    }
    // Commands in order as "text/time-out of the exchange's last read"; module ones as "M:text".
    Texts Transcript() {
        Texts out;
        std::vector<uint32_t> timeouts;
        for (const LineEvent& e : line->events) {
            if (e.kind == LineEvent::Read && !timeouts.empty())
                timeouts.back() = e.uiValue;
            if (e.kind == LineEvent::Write && (IsA(e.data) || IsM(e.data))) {
                out.push_back(IsA(e.data)
                                  ? TextOfA(e.data)
                                  : "M:" + std::string(e.data.begin() + 4, e.data.end() - 2));
                timeouts.push_back(0);
            }
        }
        for (size_t i = 0; i < out.size(); ++i)
            out[i] += "/" + std::to_string(timeouts[i]);
        return out;
    }

    const Bytes kAck = B({0x10, 0x06}), kEnq = B({0x10, 0x05}), kAckM = B({0x06, 0x46});
    TestEnv env;
    ScopedScriptedLine line;
    ScopedLineSleep sleep{*line};
    quillon::OReaderComm comm{nullptr, "CARDREADER"};
    std::deque<Bytes> reader, module;
    quillon::OSerialReaderA a{&comm};
    quillon::OAuxModule m{&comm};
};

// --------------------------------------------------------------- family B

// ACK and a reply frame: kind, two echo characters, status, data.
inline Bytes Answer(char kind, const std::string& echo, const std::string& status,
                    const Bytes& data = {}) {
    return Cat({B({0x06}), FrameB(Cat({B(kind + echo + status), data}))});
}
// clang-format off
inline Bytes Ok(const Bytes& data = {}) { return Answer('P', "xx", "00", data); }
inline Bytes Ok(const std::string& data) { return Ok(B(data)); }
inline Bytes Neg(const std::string& status, const Bytes& data = {}) { return Answer('N', "xx", status, data); }
// clang-format on
inline const Bytes kSilence{};

class ReaderBTest : public ScriptedLineSuite {
protected:
    // Answers family-B frames from `answers` and records their command texts.
    void SetUp() override {
        line().responder = [this](const Bytes& w) -> Bytes {
            if (w.size() < 5 || w[0] != 0xF2)
                return {};
            commands.emplace_back(w.begin() + 3, w.end() - 2);
            Bytes a = answers.empty() ? Bytes{} : answers.front();
            if (!answers.empty())
                answers.pop_front();
            return a;
        };
    }
    // Forget what was sent; script the next answers.
    void vRestart(const std::vector<Bytes>& next = {}) {
        line().vClear();
        commands.clear();
        answers.assign(next.begin(), next.end());
        ret = tDevReturn{};
    }
    void vExpectRet(int code, int flag) { EXPECT_RECORD(ret, code, flag); }
    // The reply time-out asked for each command that was acknowledged.
    Ms ReplyTimeouts() const {
        Ms out;
        for (const LineEvent& e : line().events)
            if (e.kind == LineEvent::Read && e.uiWanted == 3)
                out.push_back(e.uiValue);
        return out;
    }

    quillon::OSerialReaderB reader{s_comm};
    std::deque<Bytes> answers;
    Commands commands;
    tDevReturn ret{};
};

// --------------------------------------------------------------- family C

struct AnswerC {
    Bytes first, reply; // sent back for the command frame, then for ENQ
};
// clang-format off
inline AnswerC PC(const std::string& cmd, const Bytes& data = {}) { return {B({6}), FrameStx(Cat({B("P" + cmd), data}))}; }
inline AnswerC NC(const std::string& cmd, int err) { return {B({6}), FrameStx(B("N" + cmd + char(err)))}; }
inline AnswerC State(char c) { return PC("10", B(std::string(1, c))); }
// clang-format on

class ReaderC : public ScriptedLineSuite {
protected:
    void SetUp() override { vFresh(); }
    void vFresh() { // a new driver, an empty line and script, no earlier outcome
        line().vClear();
        line().responder = [this](const Bytes& w) { return Respond(w); };
        script.clear();
        s_comm->vRecordOutcome({});
        drv = std::make_unique<quillon::OSerialReaderC>(s_comm);
        ret = tDevReturn{};
    }
    void vOn(const std::string& cmd, const AnswerC& a) { script[cmd].push_back(a); }
    // "text@timeout" per frame sent: its text and the time-out of its reply wait.
    std::string Log() const {
        std::string out;
        for (const LineEvent& e : line().events) {
            if (e.kind == LineEvent::Write && e.data.size() >= 5)
                out += (out.empty() ? "" : " ") + std::string(e.data.begin() + 3, e.data.end() - 2);
            else if (e.kind == LineEvent::Read && e.uiWanted == 3)
                out += "@" + std::to_string(e.uiValue);
        }
        return out;
    }
    std::vector<int> Rec() const { return Codes(ret); }
    const uint16_t* st() const { return drv->tStatus().usField; }

    std::unique_ptr<quillon::OSerialReaderC> drv;
    tDevReturn ret{};
    std::map<std::string, std::deque<AnswerC>> script;
    Bytes held;

private:
    Bytes Respond(const Bytes& w) {
        if (w == B({5}))
            return std::exchange(held, Bytes{});
        const std::string text(w.begin() + 3, w.end() - 2);
        std::deque<AnswerC>& q = script[text];
        const AnswerC a = q.empty() ? PC(text.substr(0, 2)) : q.front();
        if (!q.empty())
            q.pop_front();
        held = a.reply;
        return a.first;
    }
};

// ---------------------------------------------------------------- USB HID

// Input reports queue the way the system queues them: a report arrives at
// its time on the fake's virtual clock and stays until a read takes it or a
// drain drops it; a reply that comes after its read gave up is there for
// the next read. A read waits on the virtual clock: up to the next report's
// arrival, or, when none comes within its time-out, by the whole time-out.
struct FakeHid {
    // One input report, due delayMs after the write that it answers.
    struct Report {
        uint64_t delayMs;
        Bytes bytes;
    };
    using Reports = std::vector<Report>;

    uint16_t vid = 0x04A4, pid = 0x008B;
    size_t inLen = 64, outLen = 64;
    std::vector<std::pair<int, int>> opens;
    std::vector<Bytes> writes;
    std::vector<uint32_t> writeTimeouts;
    std::deque<Reports> replies;                    // the input reports for each write
    std::vector<std::pair<uint64_t, Bytes>> queue;  // arrival time, report; in order
    std::vector<std::pair<size_t, uint32_t>> reads; // buffer size and time-out
    std::vector<Bytes> dropped;                     // by drains
    int made = 0, alive = 0;
    VirtualClock clock;

    struct Transport : quillon::OHidTransport {
        FakeHid& s;
        bool open = false;
        explicit Transport(FakeHid& f) : s(f) { ++s.made, ++s.alive; }
        ~Transport() override { --s.alive; }
        bool bOpenDevice(uint16_t v, uint16_t p) override {
            s.opens.emplace_back(v, p);
            return open = v == s.vid && p == s.pid;
        }
        bool bWriteReport(const uint8_t* r, size_t n, uint32_t timeout) override {
            s.writeTimeouts.push_back(timeout);
            if (!open)
                return false;
            s.writes.emplace_back(r, r + std::min(n, s.outLen));
            s.writes.back().resize(s.outLen);
            if (!s.replies.empty()) {
                for (const Report& report : s.replies.front())
                    s.Arrive(s.clock.uiNow() + report.delayMs, report.bytes);
                s.replies.pop_front();
            }
            return true;
        }
        bool bReadReport(uint8_t* b, size_t n, uint32_t& count, uint32_t timeout) override {
            s.reads.emplace_back(n, timeout);
            count = 0;
            if (!open)
                return false;
            const uint64_t now = s.clock.uiNow();
            if (s.queue.empty() || s.queue.front().first > now + timeout) {
                s.clock.vAdvance(timeout);
                return false;
            }
            s.clock.vAdvance(std::max(now, s.queue.front().first) - now);
            Bytes report = s.queue.front().second;
            s.queue.erase(s.queue.begin());
            report.resize(s.inLen);
            count = static_cast<uint32_t>(std::min(n, s.inLen));
            std::memcpy(b, report.data(), count);
            return true;
        }
        void vDrainInput() override {
            while (open && !s.queue.empty() && s.queue.front().first <= s.clock.uiNow()) {
                s.dropped.push_back(s.queue.front().second);
                s.queue.erase(s.queue.begin());
            }
        }
        size_t uiInputReportLength() const override { return open ? s.inLen : 0; }
        size_t uiOutputReportLength() const override { return open ? s.outLen : 0; }
        void vClose() override { open = false; }
    };
    // Every HID driver made while the fake lives gets a transport of it.
    quillon::HidTransportFactory previous = quillon::OHidTransportFactory::fnReplace(
        [this] { return std::unique_ptr<quillon::OHidTransport>(new Transport(*this)); });
    FakeHid() = default;
    FakeHid(const FakeHid&) = delete;
    FakeHid& operator=(const FakeHid&) = delete;
    ~FakeHid() { quillon::OHidTransportFactory::fnReplace(std::move(previous)); }

    // Queues a report to arrive at time `at`, behind those due no later.
    void Arrive(uint64_t at, const Bytes& report) {
        const auto later =
            std::find_if(queue.begin(), queue.end(), [at](const auto& q) { return q.first > at; });
        queue.emplace(later, at, report);
    }
    // The input reports of a reply: report ID 0, the text's length (high byte first) and
    // the text, cut into reports of inLen bytes, all due delayMs after the write.
    Reports Cut(const std::string& text, uint64_t delayMs = 0) const {
        Reports out;
        const Bytes whole = Cat({B({0, int(text.size() >> 8), int(text.size() & 0xFF)}), B(text)});
        for (size_t at = 0; at < whole.size(); at += inLen)
            out.push_back({delayMs, Bytes(whole.begin() + at,
                                          whole.begin() + std::min(whole.size(), at + inLen))});
        return out;
    }
    // Answers the next write with the text's reports; an empty text: silence.
    void Answer(const std::string& text, uint64_t delayMs = 0) {
        replies.push_back(text.empty() ? Reports{} : Cut(text, delayMs));
    }
    Texts Sent() const {
        Texts out;
        for (const Bytes& w : writes)
            out.emplace_back(w.begin() + 3, w.begin() + 3 + (w[1] << 8 | w[2]));
        return out;
    }
};

// A HID test's record: every byte 7, so that a field written shows.
inline tDevReturn Rec() {
    tDevReturn r;
    std::memset(&r, 7, sizeof r);
    return r;
}
inline bool Untouched(const tDevReturn& r) {
    const tDevReturn fresh = Rec();
    return std::memcmp(&r, &fresh, sizeof r) == 0;
}

// A HID driver opened on the fake device (the ids of CardReaderType 4 unless given).
template <class Driver> struct Rig {
    explicit Rig(const std::string& ini = "", uint16_t vid = 0x04A4, uint16_t pid = 0x008B)
        : env("[CARDREADER]\n" + ini) {
        hid.vid = vid, hid.pid = pid;
        reader.SetCommPara();
    }
    TestEnv env;
    FakeHid hid;
    quillon::OReaderComm comm{nullptr, "CARDREADER"};
    Driver reader{&comm};
};
