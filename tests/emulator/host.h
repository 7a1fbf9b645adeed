// The host's side of an emulated line, in memory: frames commands, runs the
// handshake of each family and checks the reply frames it gets back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine.h"
#include "frames.h"

namespace quillon::emu::test {

inline Bytes B(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v)
        b.push_back(static_cast<uint8_t>(x));
    return b;
}

// Reply text of a reply frame; false if the frame or its check bytes are wrong.
inline bool Unframe(Family f, bool module, const Bytes& r, std::string& text) {
    text.clear();
    if (f == Family::A && !module) {
        if (r.size() < 5 || r[0] != ctl::kDle || r[1] != ctl::kStx)
            return false;
        uint8_t x = 0;
        for (size_t i = 2; i + 3 < r.size(); ++i) {
            if (r[i] == ctl::kDle && r[++i] != ctl::kDle)
                return false;
            text += static_cast<char>(r[i]);
            x ^= r[i];
        }
        const size_t n = r.size();
        return r[n - 3] == ctl::kDle && r[n - 2] == ctl::kEtx && r[n - 1] == (x ^ ctl::kEtx);
    }
    const size_t head = module ? 4 : 3;
    if (r.size() < head + 2)
        return false;
    const size_t len = static_cast<size_t>(r[1] << 8 | r[2]);
    if (f == Family::B) {
        const uint16_t crc = Crc16Xmodem(r.data(), r.size() - 2);
        if (r[0] != ctl::kStartB || r.size() != len + 5 || r[r.size() - 2] != (crc >> 8) ||
            r.back() != (crc & 0xFF))
            return false;
    } else if (r[0] != ctl::kStx || r.size() != len + 5 || r[len + 3] != ctl::kEtx ||
               r.back() != XorOf(r.data(), r.size() - 1) || (module && r[3] != ctl::kModuleAddr)) {
        return false;
    }
    text.assign(r.begin() + static_cast<long>(head), r.end() - 2);
    return true;
}

struct Host {
    explicit Host(Family f, const Options& o = {}) : engine(MakeEngine(f, o)), family(f) {}
    std::unique_ptr<Engine> engine;
    Family family;
    Millis now = 0;

    ReaderModel& m() { return engine->Model(); }
    Bytes Send(const Bytes& b) { return engine->Feed(b, now); }

    struct Trip {
        Bytes ack, reply;
    };
    // Sends the framed command and asks for the reply as the family does.
    Trip Raw(const Bytes& text, bool module = false) {
        Trip t;
        if (module) {
            t.ack = Send(FrameModule(text));
            t.reply = Send(B({ctl::kEnq, ctl::kModuleAddr}));
        } else if (family == Family::A) {
            t.ack = Send(FrameA(text));
            t.reply = Send(B({ctl::kDle, ctl::kEnq}));
        } else if (family == Family::B) {
            Bytes out = Send(FrameB(text));
            if (!out.empty())
                t.ack.assign(out.begin(), out.begin() + 1);
            if (out.size() > 1)
                t.reply.assign(out.begin() + 1, out.end());
        } else {
            t.ack = Send(FrameC(text));
            t.reply = Send(B({ctl::kEnq}));
        }
        return t;
    }
    Bytes Ack(bool module = false) const {
        if (module)
            return B({ctl::kAck, ctl::kModuleAddr});
        return family == Family::A ? B({ctl::kDle, ctl::kAck}) : B({ctl::kAck});
    }
    // A clean exchange; returns the reply text.
    std::string Cmd(const Bytes& text, bool module = false) {
        Trip t = Raw(text, module);
        EXPECT_EQ(Hex(Ack(module)), Hex(t.ack)) << ToText(text);
        std::string reply;
        EXPECT_TRUE(Unframe(family, module, t.reply, reply))
            << ToText(text) << ": " << Hex(t.reply);
        return reply;
    }
    std::string Cmd(const std::string& text) { return Cmd(ToBytes(text)); }
    std::string Mod(const std::string& text) { return Cmd(ToBytes(text), true); }
};

// Reply data: behind kind, echo and status (A, B) or kind and echo (C, module).
inline std::string DataAB(const std::string& reply) {
    return reply.size() > 5 ? reply.substr(5) : "";
}
inline std::string DataC(const std::string& reply) {
    return reply.size() > 3 ? reply.substr(3) : "";
}

} // namespace quillon::emu::test
