// Family B reader: 0xF2, length, text, CRC-16/XMODEM frames. A good frame is
// answered with ACK and the reply frame at once, a bad one with NAK; the host
// acknowledges the reply with ACK and cancels a pending one with DLE EOT.
// Reply text: kind 'P'/'N', the command code and parameter characters, two
// status characters, data. Positive statuses give the card position: "00" no
// card, "01" card at the gate, "02" card inside.
#pragma once

#include "text_reply.h"

namespace quillon::emu {

class FamilyB : public TextReplyEngine {
public:
    explicit FamilyB(const Options& o) : TextReplyEngine(o) {}
    Family eFamily() const override { return Family::B; }

    static constexpr const char* kUndefined = "00";
    static constexpr const char* kBadParam = "01";
    static constexpr const char* kNotPossible = "02"; // no card, or chip not in that state
    static constexpr const char* kJam = "10";
    static constexpr const char* kBlankTrack = "24";
    static constexpr const char* kBinFull = "50";
    static constexpr const char* kNoChip = "60";
    static constexpr uint32_t kBinCapacity = 99;

protected:
    void OnByte(uint8_t b, Bytes& out) override;
    void DropPartialFrame() override { DropFrame(m_st); }

private:
    enum class St { Idle, Dle, Frame };

    void OnFrame(Bytes& out);
    Bytes Execute(const Bytes& cmd);
    Bytes ExecuteChip(const Bytes& cmd, const std::string& s);

    Bytes Track(const Bytes& cmd, int track);
    Bytes StatusBytes() const;
    Bytes LifeCounters() const;
    // Chip replies longer than kChipPiece come in pieces whose second echo
    // character is '5'; "CI7" asks for the next piece.
    Bytes MorePieces(const Bytes& cmd) override;

    St m_st = St::Idle;
    LengthFrame m_frame;
};

} // namespace quillon::emu
