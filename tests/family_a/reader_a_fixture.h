// A family-A reader and its auxiliary module on the scripted line: frames are
// acknowledged and each ENQ answered with the next scripted reply text.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include "infra/reader_comm.h"
#include "readers/family_a/serial_reader_a.h"
#include "support/frames.h"
#include "support/open_port.h"
#include "support/records.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

using Texts = std::vector<std::string>;

#define EXPECT_RECORD(r, code, flag)                                                               \
    EXPECT_EQ((std::vector<int>{code, code, flag, flag}),                                          \
              (std::vector<int>{(r).iCode1, (r).iCode2, (r).iErrFlag1, (r).iErrFlag2}))

class ReaderA : public ::testing::Test {
public:
    static bool IsA(const Bytes& w) { return w.size() > 2 && w[0] == 0x10 && w[1] == 0x02; }
    static bool IsM(const Bytes& w) { return w.size() > 4 && w[0] == 0x02 && w[3] == 0x46; }
    static std::string P(const std::string& data = "") { return "P0000" + data; }
    static std::string N(const std::string& status) { return "N00" + status; }
    static Bytes FrameM(const Bytes& text) { return FrameModule(text); }
    static std::string TextOfA(const Bytes& frame) { // doubled DLEs collapsed
        std::string t;
        for (size_t i = 2; i + 3 < frame.size(); i += frame[i] == 0x10 ? 2 : 1)
            t += static_cast<char>(frame[i]);
        return t;
    }
    // A module operation's code as its caller's record shows it; its result.
    static int Coded(quillon::Code eCode, tDevReturn& r) {
        const quillon::tOutcome o = quillon::OutcomeOf(eCode);
        return Into(quillon::tDriverResult::Shown(o.eCode, o.iFlag, o.iFlag), r);
    }
    static tDevReturn Rec() {
        tDevReturn r{};
        r.iCode1 = r.iCode2 = r.iErrFlag1 = r.iErrFlag2 = 7;
        std::memset(r.acReplyText, 'x', sizeof r.acReplyText);
        return r;
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
        Bytes f = toReader ? FrameA(q.front()) : FrameM(q.front());
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
    quillon::OReaderComm comm{nullptr, "CARDREADER"};
    std::deque<Bytes> reader, module;
    quillon::OSerialReaderA a{&comm};
    quillon::OAuxModule m{&comm};
};
