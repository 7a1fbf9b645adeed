// Replies of the readers whose reply text is kind 'P'/'N', the two command
// characters, two status characters and data (families A and B). A positive
// status gives the card position: "00" no card, "01" at the gate, "02" inside.
#pragma once

#include <string>

#include "engine.h"

namespace quillon::emu {

class TextReplyEngine : public Engine {
public:
    using Engine::Engine;

protected:
    std::string Pos() const {
        switch (m_model.Position()) {
        case CardPosition::Gate:
            return "01";
        case CardPosition::Inside:
            return "02";
        default:
            return "00";
        }
    }
    static Bytes Reply(const Bytes& cmd, char kind, const std::string& status,
                       const Bytes& data = {}) {
        Bytes r{static_cast<uint8_t>(kind)};
        r.push_back(cmd.size() > 1 ? cmd[1] : ' ');
        r.push_back(cmd.size() > 2 ? cmd[2] : ' ');
        r.insert(r.end(), status.begin(), status.end());
        r.insert(r.end(), data.begin(), data.end());
        return r;
    }
    Bytes Ok(const Bytes& cmd, const Bytes& data = {}) const {
        return Reply(cmd, 'P', Pos(), data);
    }
    Bytes Ok(const Bytes& cmd, const std::string& d) const { return Ok(cmd, ToBytes(d)); }
    static Bytes Ng(const Bytes& cmd, const char* status) { return Reply(cmd, 'N', status); }

    // "C7" + track digit + printable data: writes one track of the card inside.
    Bytes WriteTrack(const Bytes& cmd, const std::string& s, const char* badParam,
                     const char* notPossible) {
        static const size_t kMax[3] = {79, 40, 107};
        const int track = s.size() > 2 ? s[2] - '1' : -1;
        if (track < 0 || track > 2)
            return Ng(cmd, badParam);
        if (!m_model.Inside())
            return Ng(cmd, notPossible);
        const std::string data = s.substr(3);
        if (data.empty() || data.size() > kMax[track])
            return Ng(cmd, badParam);
        for (char ch : data)
            if (ch < 0x20 || ch > 0x7E)
                return Ng(cmd, badParam);
        Card& c = m_model.tCard();
        (track == 0 ? c.track1 : track == 1 ? c.track2 : c.track3) = data;
        ++m_model.counters.trackWrites;
        return Ok(cmd);
    }
};

} // namespace quillon::emu
