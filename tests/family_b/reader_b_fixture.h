// A family-B reader on the scripted line: every command frame the driver
// writes is decoded and answered with the next scripted answer (silence when
// none is left); ACK and DLE EOT from the driver get no answer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "infra/reader_comm.h"
#include "readers/family_b/crc16_xmodem.h"
#include "readers/family_b/serial_reader_b.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

// 0xF2, big-endian length, body, CRC high byte first.
inline Bytes FrameB(const Bytes& body) {
    Bytes f(body.size() + 3);
    f[0] = 0xF2;
    f[1] = static_cast<uint8_t>(body.size() >> 8);
    f[2] = static_cast<uint8_t>(body.size());
    std::copy(body.begin(), body.end(), f.begin() + 3);
    const uint16_t crc = quillon::Crc16Xmodem(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc));
    return f;
}
// ACK and a reply frame: kind, two echo characters, status, data.
inline Bytes Answer(char kind, const std::string& echo, const std::string& status,
                    const Bytes& data = {}) {
    return Cat({B({0x06}), FrameB(Cat({B(std::string(1, kind) + echo + status), data}))});
}
inline Bytes Ok(const Bytes& data = {}) {
    return Answer('P', "xx", "00", data);
}
inline Bytes Ok(const std::string& data) {
    return Ok(B(data));
}
inline Bytes Neg(const std::string& status, const Bytes& data = {}) {
    return Answer('N', "xx", status, data);
}
inline const Bytes kSilence{};

inline std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

struct FakeReaderB {
    std::deque<Bytes> answers;
    std::vector<std::string> commands; // decoded command texts, in order

    void vInstall(LineScript& line) {
        line.responder = [this](const Bytes& written) -> Bytes {
            if (written.size() < 5 || written[0] != 0xF2)
                return {};
            commands.push_back(std::string(written.begin() + 3, written.end() - 2));
            if (answers.empty())
                return {};
            Bytes a = answers.front();
            answers.pop_front();
            return a;
        };
    }
};

class ReaderBTest : public ::testing::Test {
protected:
    void SetUp() override {
        tDevReturn r{};
        ASSERT_EQ(0, comm.iOpenPort(&r));
        fake.vInstall(*line);
        vRestart();
    }
    // Forget what was sent; script the next answers.
    void vRestart(std::initializer_list<Bytes> next = {}) {
        line->vClear();
        fake.commands.clear();
        fake.answers.assign(next.begin(), next.end());
        std::memset(&ret, 0, sizeof ret);
    }
    void vExpectRet(int code, int flag) {
        EXPECT_EQ(code, ret.iCode1);
        EXPECT_EQ(code, ret.iCode2);
        EXPECT_EQ(flag, ret.iErrFlag1);
        EXPECT_EQ(flag, ret.iErrFlag2);
    }
    // The reply time-out asked for each command that was acknowledged.
    std::vector<uint32_t> ReplyTimeouts() {
        std::vector<uint32_t> out;
        for (const LineEvent& e : line->events)
            if (e.kind == LineEvent::Read && e.uiWanted == 3)
                out.push_back(e.uiValue);
        return out;
    }

    TestEnv env;
    ScopedScriptedLine line;
    OReaderComm comm{nullptr, "CARDREADER"};
    OSerialReaderB reader{&comm};
    FakeReaderB fake;
    tDevReturn ret{};
};
