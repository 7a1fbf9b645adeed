// A family-B reader on the scripted line: each command frame is decoded and
// answered with the next scripted answer (silence when none is left).
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "infra/reader_comm.h"
#include "readers/family_b/serial_reader_b.h"
#include "support/frames.h"
#include "support/open_port.h"
#include "support/records.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

using Commands = std::vector<std::string>;
using Ms = std::vector<uint32_t>;

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

// Answers family-B frames from `answers` and records their command texts.
inline void vFakeReaderB(LineScript& line, std::deque<Bytes>& answers, Commands& commands) {
    line.responder = [&](const Bytes& w) -> Bytes {
        if (w.size() < 5 || w[0] != 0xF2)
            return {};
        commands.emplace_back(w.begin() + 3, w.end() - 2);
        Bytes a = answers.empty() ? Bytes{} : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return a;
    };
}

class ReaderBTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { // one port opening (200 ms) per suite
        s_env = new TestEnv;
        s_line = new ScopedScriptedLine;
        s_comm = new quillon::OReaderComm(nullptr, "CARDREADER");
        ASSERT_EQ(0, OpenPort(*s_comm));
    }
    static void TearDownTestSuite() {
        (**s_line).responder = nullptr;
        delete s_comm;
        delete s_line;
        delete s_env;
    }
    void SetUp() override { vFakeReaderB(line(), answers, commands); }
    // Forget what was sent; script the next answers.
    void vRestart(const std::vector<Bytes>& next = {}) {
        line().vClear();
        commands.clear();
        answers.assign(next.begin(), next.end());
        ret = tDevReturn{};
    }
    void vExpectRet(int code, int flag) {
        EXPECT_EQ((std::vector<int>{code, code, flag, flag}),
                  (std::vector<int>{ret.iCode1, ret.iCode2, ret.iErrFlag1, ret.iErrFlag2}));
    }
    // The reply time-out asked for each command that was acknowledged.
    Ms ReplyTimeouts() const {
        Ms out;
        for (const LineEvent& e : line().events)
            if (e.kind == LineEvent::Read && e.uiWanted == 3)
                out.push_back(e.uiValue);
        return out;
    }
    static LineScript& line() { return **s_line; }

    static inline TestEnv* s_env = nullptr;
    static inline ScopedScriptedLine* s_line = nullptr;
    static inline quillon::OReaderComm* s_comm = nullptr;
    quillon::OSerialReaderB reader{s_comm};
    std::deque<Bytes> answers;
    Commands commands;
    tDevReturn ret{};
};
