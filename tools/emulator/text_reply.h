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
    // Text cut or padded with blanks to exactly n characters.
    static std::string Fit(const std::string& s, size_t n) {
        std::string r = s.substr(0, n);
        r.resize(n, ' ');
        return r;
    }

    // Card entry in mode iMode: enabled, unless a card is inside already.
    Bytes EntryCommand(const Bytes& cmd, int iMode, const char* jam) {
        if (m_model.jam)
            return Ng(cmd, jam);
        if (!m_model.Inside())
            m_model.EnableEntry(iMode, m_now);
        return Ok(cmd);
    }
    // Entry off, and the card out to the gate or into the retain bin.
    Bytes MoveCard(const Bytes& cmd, bool bRetain, const char* jam) {
        if (m_model.jam)
            return Ng(cmd, jam);
        m_model.DisableEntry();
        if (bRetain)
            m_model.Retain();
        else
            m_model.Eject();
        return Ok(cmd);
    }

    // The chip contacts down on the card inside.
    Bytes ContactsDown(const Bytes& cmd, const char* notPossible) {
        if (!m_model.Inside())
            return Ng(cmd, notPossible);
        m_model.contacts = true;
        return Ok(cmd);
    }
    // An activation: the card's chip answers it when it fits the command
    // (bFits); the answer to reset is the reply's data.
    Bytes Activate(const Bytes& cmd, bool bFits, ChipKind kind, const char* notPossible,
                   const char* noChip) {
        if (!m_model.Inside())
            return Ng(cmd, notPossible);
        if (!bFits)
            return Ng(cmd, noChip);
        m_model.Activate(kind);
        return Ok(cmd, m_model.tCard().Answer());
    }

    // Chip replies longer than this go out in pieces (NextChipPiece).
    static constexpr size_t kChipPiece = 256;
    // The next piece of the chip reply waiting in m_chipOut: the rest, or a
    // piece that more follow, as the family sends it (MorePieces).
    Bytes NextChipPiece(const Bytes& cmd) {
        if (m_chipOut.size() > kChipPiece)
            return MorePieces(cmd);
        Bytes d;
        d.swap(m_chipOut);
        return Ok(cmd, d);
    }
    virtual Bytes MorePieces(const Bytes& cmd) = 0;
    // The first uiSend bytes of the chip reply; kChipPiece of them leave it.
    Bytes TakePiece(size_t uiSend) {
        Bytes d(m_chipOut.begin(), m_chipOut.begin() + static_cast<long>(uiSend));
        m_chipOut.erase(m_chipOut.begin(), m_chipOut.begin() + kChipPiece);
        return d;
    }
    // One block of a T=1 command: collected (at most uiMax bytes in all, else
    // badParam); the last block runs the command on the card and the reply
    // goes out piece by piece.
    Bytes T1Block(const Bytes& cmd, const Bytes& body, bool bLast, size_t uiMax,
                  const char* badParam, const char* notPossible) {
        if (m_model.active != ChipKind::ProcessorT1)
            return Ng(cmd, notPossible);
        if (m_t1In.size() + body.size() > uiMax)
            return Ng(cmd, badParam);
        m_t1In.insert(m_t1In.end(), body.begin(), body.end());
        if (!bLast)
            return Ok(cmd);
        m_chipOut = m_model.chip.Apdu(m_model.tCard(), m_t1In);
        m_t1In.clear();
        return NextChipPiece(cmd);
    }
    // A memory-chip command, when a memory chip is powered.
    Bytes MemoryChipCommand(const Bytes& cmd, const Bytes& body, const char* notPossible) {
        if (m_model.active != ChipKind::Memory)
            return Ng(cmd, notPossible);
        return Ok(cmd, m_model.chip.MemoryCommand(m_model.tCard(), body));
    }
    // The chip is off: nothing collected, nothing left to send.
    void ChipOff() {
        m_model.ChipOff();
        m_t1In.clear();
        m_chipOut.clear();
    }
    // data behind the chip's answer to reset.
    Bytes WithAnswer(Bytes data) {
        const Bytes atr = m_model.tCard().Answer();
        data.insert(data.end(), atr.begin(), atr.end());
        return data;
    }

    Bytes m_t1In;    // T=1 command blocks collected
    Bytes m_chipOut; // the chip reply still to send

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
