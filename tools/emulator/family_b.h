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

    // The reader's commands (family_b_commands.cpp), one row each.
    using Row = CommandRow<FamilyB>;
    static const Row kCommands[];
    Bytes Reset(const Bytes& cmd, const std::string& s, int);
    Bytes Status(const Bytes& cmd, const std::string&, int);
    Bytes Done(const Bytes& cmd, const std::string&, int);
    Bytes Entry(const Bytes& cmd, const std::string&, int iMode);
    Bytes Move(const Bytes& cmd, const std::string&, int iRetain);
    Bytes BinCount(const Bytes& cmd, const std::string&, int);
    Bytes BinSet(const Bytes& cmd, const std::string& s, int);
    Bytes Firmware(const Bytes& cmd, const std::string&, int);
    Bytes Date(const Bytes& cmd, const std::string&, int);
    Bytes Life(const Bytes& cmd, const std::string&, int);
    Bytes AllTracks(const Bytes& cmd, const std::string&, int);
    Bytes TrackMap(const Bytes& cmd, const std::string&, int);
    Bytes Track(const Bytes& cmd, const std::string&, int iTrack);
    Bytes WriteOne(const Bytes& cmd, const std::string& s, int);
    Bytes Contacts(const Bytes& cmd, const std::string&, int);
    Bytes ContactsUp(const Bytes& cmd, const std::string&, int);
    Bytes ActivateProcessor(const Bytes& cmd, const std::string&, int);
    Bytes ActivatePassive(const Bytes& cmd, const std::string&, int);
    Bytes ActivateMemory(const Bytes& cmd, const std::string&, int iHigh);
    Bytes WarmReset(const Bytes& cmd, const std::string&, int iPassive);
    Bytes PowerOff(const Bytes& cmd, const std::string&, int);
    Bytes MemoryChip(const Bytes& cmd, const std::string&, int);
    Bytes ApduT0(const Bytes& cmd, const std::string&, int);
    Bytes BlockT1(const Bytes& cmd, const std::string&, int iLast);
    Bytes NextPiece(const Bytes& cmd, const std::string&, int);

    Bytes StatusBytes() const;
    Bytes LifeCounters() const;
    // Chip replies longer than kChipPiece come in pieces whose second echo
    // character is '5'; "CI7" asks for the next piece.
    Bytes MorePieces(const Bytes& cmd) override;

    St m_st = St::Idle;
    LengthFrame m_frame;
};

} // namespace quillon::emu
