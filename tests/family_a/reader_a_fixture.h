// A family-A reader and its auxiliary module on the scripted line: each
// command frame is acknowledged and each DLE ENQ answered with the next
// scripted reply text; the module likewise. An empty script means silence.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "infra/reader_comm.h"
#include "readers/family_a/serial_reader_a.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

inline Bytes FrameA(const Bytes& text) {
    Bytes f{0x10, 0x02};
    uint8_t bcc = 0x03;
    for (uint8_t b : text) {
        bcc ^= b;
        f.push_back(b);
        if (b == 0x10)
            f.push_back(0x10);
    }
    f.insert(f.end(), {0x10, 0x03, bcc});
    return f;
}

inline Bytes FrameM(const Bytes& text) {
    const size_t len = text.size() + 1;
    Bytes f{0x02, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0x46};
    for (uint8_t b : text)
        f.push_back(b);
    f.push_back(0x03);
    uint8_t bcc = 0;
    for (uint8_t b : f)
        bcc ^= b;
    f.push_back(bcc);
    return f;
}

// The text of a family-A frame as the host sent it (doubled DLEs collapsed).
inline std::string TextOfA(const Bytes& frame) {
    std::string t;
    for (size_t i = 2; i + 3 < frame.size(); ++i) {
        t += static_cast<char>(frame[i]);
        if (frame[i] == 0x10)
            ++i;
    }
    return t;
}

// Reply texts: positive with data, or negative with a status ("N00" + status).
inline std::string P(const std::string& data = "") {
    return "P0000" + data;
}
inline std::string N(const std::string& status) {
    return "N00" + status;
}

inline tDevReturn Rec(int v = 7) {
    tDevReturn r;
    std::memset(&r, 0, sizeof r);
    r.iCode1 = r.iCode2 = r.iErrFlag1 = r.iErrFlag2 = v;
    std::memset(r.acReplyText, 'x', sizeof r.acReplyText);
    return r;
}

#define EXPECT_RECORD(r, code, flag)                                                               \
    do {                                                                                           \
        EXPECT_EQ(code, (r).iCode1);                                                               \
        EXPECT_EQ(code, (r).iCode2);                                                               \
        EXPECT_EQ(flag, (r).iErrFlag1);                                                            \
        EXPECT_EQ(flag, (r).iErrFlag2);                                                            \
    } while (0)

class ReaderA : public ::testing::Test {
protected:
    explicit ReaderA(const std::string& ini = "[CARDREADER]\nPort=/dev/scripted\n") : env(ini) {
        tDevReturn r = Rec();
        EXPECT_EQ(0, comm.iOpenPort(&r));
        line->responder = [this](const Bytes& w) { return Answer(w); };
        line->events.clear();
    }

    // Reply texts of the reader and the module, in order.
    void Reader(const std::string& text) { reader.push_back(B(text)); }
    void Reader(const std::string& head, const Bytes& data) {
        reader.push_back(Cat({B(head), data}));
    }
    void Module(const std::string& text) { module.push_back(B(text)); }

    Bytes Answer(const Bytes& w) {
        if (w.size() > 2 && w[0] == 0x10 && w[1] == 0x02)
            return reader.empty() ? Bytes{} : B({0x10, 0x06});
        if (w == B({0x10, 0x05}) && !reader.empty()) {
            Bytes f = FrameA(reader.front());
            reader.pop_front();
            return f;
        }
        if (w.size() > 4 && w[0] == 0x02 && w[3] == 0x46)
            return module.empty() ? Bytes{} : B({0x06, 0x46});
        if (w == B({0x05, 0x46}) && !module.empty()) {
            Bytes f = FrameM(module.front());
            module.pop_front();
            return f;
        }
        return {};
    }

    // Every command in order, "text/timeout": the reader's as sent, the
    // module's as "M:" + text; the time-out is the one of the last read of
    // that exchange (the per-byte reply time-out once a reply was asked for).
    std::vector<std::string> Transcript() {
        std::vector<std::string> out;
        uint32_t timeout = 0;
        auto flush = [&]() {
            if (!out.empty())
                out.back() += "/" + std::to_string(timeout);
        };
        for (const LineEvent& e : line->events) {
            if (e.kind == LineEvent::Read) {
                timeout = e.uiValue;
            } else if (e.kind == LineEvent::Write && e.data.size() > 2 && e.data[0] == 0x10 &&
                       e.data[1] == 0x02) {
                flush();
                out.push_back(TextOfA(e.data));
            } else if (e.kind == LineEvent::Write && e.data.size() > 4 && e.data[0] == 0x02 &&
                       e.data[3] == 0x46) {
                flush();
                out.push_back("M:" + std::string(e.data.begin() + 4, e.data.end() - 2));
            }
        }
        flush();
        return out;
    }

    TestEnv env;
    ScopedScriptedLine line;
    OReaderComm comm{nullptr, "CARDREADER"};
    std::deque<Bytes> reader;
    std::deque<Bytes> module;
};

using Texts = std::vector<std::string>;
