// A family-C reader on the scripted line: each command frame is answered
// from a per-command queue (ACK, then the reply frame once ENQ arrives); a
// command with nothing queued gets a positive reply without data.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "infra/reader_comm.h"
#include "readers/family_c/serial_reader_c.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

struct Answer {
    Bytes first, reply; // sent back for the command frame, then for ENQ
};
inline Bytes Frame(const Bytes& text) {
    Bytes f = Cat({B({2, int(text.size() >> 8), int(text.size() & 0xFF)}), text, B({3})});
    uint8_t bcc = 0;
    for (uint8_t b : f)
        bcc ^= b;
    return Cat({f, B({bcc})});
}
inline Answer P(const std::string& cmd, const Bytes& data = {}) {
    return {B({6}), Frame(Cat({B("P" + cmd), data}))};
}
inline Answer N(const std::string& cmd, int err) {
    return {B({6}), Frame(B("N" + cmd + char(err)))};
}
inline Answer State(char c) {
    return P("10", B(std::string(1, c)));
}
inline std::vector<int> R(int code, int flag) {
    return {code, code, flag, flag};
}

class ReaderC : public ::testing::Test {
protected:
    static void SetUpTestSuite() { // one port opening (200 ms) per suite
        s_env =
            new TestEnv("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=3\n");
        s_line = new ScopedScriptedLine;
        s_comm = new OReaderComm(nullptr, "CARDREADER");
        tDevReturn r{};
        ASSERT_EQ(0, s_comm->iOpenPort(&r));
    }
    static void TearDownTestSuite() {
        delete s_comm;
        delete s_line;
        delete s_env;
    }
    void SetUp() override { vFresh(); }
    void vFresh() { // a new driver, an empty line and script, no earlier outcome
        line().vClear();
        line().bFailWrite = false;
        line().responder = [this](const Bytes& w) { return Respond(w); };
        script.clear();
        s_comm->vSetErrorFlag(0);
        drv = std::make_unique<OSerialReaderC>(s_comm);
        ret = tDevReturn{};
    }
    void vOn(const std::string& cmd, const Answer& a) { script[cmd].push_back(a); }
    // "text@timeout" per frame sent (the time-out of its reply wait); bytes
    // outside printable ASCII as <XX>.
    std::string Log() const {
        std::string out;
        for (const LineEvent& e : line().events) {
            if (e.kind == LineEvent::Write && e.data.size() >= 5) {
                out += out.empty() ? "" : " ";
                for (auto b = e.data.begin() + 3; b < e.data.end() - 2; ++b)
                    out += (*b >= 0x20 && *b < 0x7F) ? std::string(1, char(*b))
                                                     : "<" + Hex({*b}) + ">";
            } else if (e.kind == LineEvent::Read && e.uiWanted == 3) {
                out += "@" + std::to_string(e.uiValue);
            }
        }
        return out;
    }
    std::vector<int> Rec() const { return {ret.iCode1, ret.iCode2, ret.iErrFlag1, ret.iErrFlag2}; }
    static LineScript& line() { return **s_line; }
    const tIdcStatus& st() const { return drv->status(); }

    std::unique_ptr<OSerialReaderC> drv;
    tDevReturn ret{};
    std::map<std::string, std::deque<Answer>> script;
    static inline TestEnv* s_env = nullptr;
    static inline ScopedScriptedLine* s_line = nullptr;
    static inline OReaderComm* s_comm = nullptr;

private:
    Bytes Respond(const Bytes& w) {
        if (w == B({5}))
            return std::exchange(held, Bytes{});
        const std::string text(w.begin() + 3, w.end() - 2);
        std::deque<Answer>& q = script[text];
        Answer a = q.empty() ? P(text.substr(0, 2)) : q.front();
        if (!q.empty())
            q.pop_front();
        held = a.reply;
        return a.first;
    }
    Bytes held;
};
