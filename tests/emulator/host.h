// The host's side of an emulated line, in memory: frames commands, runs each
// family's handshake and checks the reply frames it gets back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "frames.h"

namespace quillon::emu::test {

// Bytes from a dump as Hex() writes it: "10 02 43".
inline Bytes H(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 3)
        b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}

struct Host {
    explicit Host(Family f, const Options& o = {}) : engine(MakeEngine(f, o)), family(f) {}
    std::unique_ptr<Engine> engine;
    Family family;
    Millis now = 0;

    ReaderModel& m() { return engine->Model(); }
    Bytes Send(const Bytes& b) { return engine->Feed(b, now); }
    Bytes Frame(const Bytes& text, bool module) const {
        return module                ? FrameModule(text)
               : family == Family::A ? FrameA(text)
               : family == Family::B ? FrameB(text)
                                     : FrameC(text);
    }
    Bytes Ack(bool module = false) const {
        return H(module ? "06 46" : family == Family::A ? "10 06" : "06");
    }
    struct Trip {
        Bytes ack, reply;
    };
    // Sends the framed command and asks for the reply as the family does.
    Trip Raw(const Bytes& text, bool module = false) {
        const Bytes ack = Send(Frame(text, module));
        if (family != Family::B || module)
            return {ack, Send(H(module ? "05 46" : family == Family::A ? "10 05" : "05"))};
        const auto cut = ack.begin() + std::min<long>(1, static_cast<long>(ack.size()));
        return {Bytes(ack.begin(), cut), Bytes(cut, ack.end())}; // the reply follows at once
    }
    // A clean exchange: checks the acknowledgement and the reply frame (framed
    // again from its text it must come out the same); returns the reply text.
    std::string Cmd(const Bytes& text, bool module = false) {
        const Trip t = Raw(text, module);
        EXPECT_EQ(Hex(Ack(module)), Hex(t.ack)) << ToText(text);
        const Bytes& r = t.reply;
        Bytes reply;
        if (family == Family::A && !module) {
            for (size_t i = 2; i + 3 < r.size(); ++i) // drops the first DLE of each pair
                reply.push_back(r[i += r[i] == ctl::kDle]);
        } else if (r.size() >= (module ? 6u : 5u)) {
            reply.assign(r.begin() + (module ? 4 : 3), r.end() - 2);
        }
        EXPECT_EQ(Hex(Frame(reply, module)), Hex(r)) << ToText(text);
        return ToText(reply);
    }
    std::string Cmd(const std::string& text, bool module = false) {
        return Cmd(ToBytes(text), module);
    }
    // Clean exchanges in a row; a reply ending in '*' is only a prefix. On
    // family A's line, texts not starting with 'C' go to the auxiliary module.
    void Script(const std::vector<std::pair<std::string, std::string>>& steps) {
        for (const auto& [cmd, want] : steps) {
            const bool prefix = !want.empty() && want.back() == '*';
            const std::string got = Cmd(cmd, family == Family::A && cmd[0] != 'C');
            EXPECT_EQ(want.substr(0, want.size() - prefix),
                      prefix ? got.substr(0, want.size() - 1) : got)
                << cmd;
        }
    }
};

// A reader with the card where asked.
inline Host Reader(Family f, CardPosition pos) {
    Host h(f);
    h.m().PlaceCard(pos);
    return h;
}

} // namespace quillon::emu::test
