// Family A reader, with the auxiliary module that shares its line.
//
// Reader: DLE STX text DLE ETX BCC frames. A good frame is acknowledged
// with DLE ACK, a bad one refused with DLE NAK; the reply waits until the
// host sends DLE ENQ; DLE EOT drops it. Reply text: kind 'P'/'N', the two
// command characters, two status characters, data. Positive statuses give
// the card position: "00" no card, "01" card at the gate, "02" card inside.
//
// Module: STX, length, 'F', text, ETX, BCC frames; ACK 'F' or NAK 'F'; the
// reply follows ENQ 'F'. An absent module answers nothing.
#pragma once

#include "text_reply.h"

namespace quillon::emu {

class FamilyA : public TextReplyEngine {
public:
    explicit FamilyA(const Options& o);
    Family eFamily() const override { return Family::A; }
    AuxModule* Module() override { return &m_module; }

    // Negative statuses this reader uses.
    static constexpr const char* kUndefined = "00";   // unknown command
    static constexpr const char* kNotPossible = "01"; // no card, or chip not in that state
    static constexpr const char* kBadParam = "02";
    static constexpr const char* kJam = "10";
    static constexpr const char* kNoChip = "60"; // the chip does not answer this activation

protected:
    void OnByte(uint8_t b, Bytes& out) override;
    void DropPartialFrame() override { DropFrame(m_st); }

private:
    enum class St { Idle, Dle, Text, TextDle, Bcc, ModFrame, ModEnq };

    void OnFrame(uint8_t bcc, Bytes& out);
    void OnModuleFrame(Bytes& out);
    Bytes Execute(const Bytes& cmd);
    Bytes ExecuteChip(const Bytes& cmd, const std::string& s);
    Bytes ExecuteModule(const Bytes& cmd);

    // T=1 replies longer than kChipPiece come in pieces with status "21".
    Bytes MorePieces(const Bytes& cmd) override;
    std::string Sensors() const;
    std::string LifeCounters() const;

    St m_st = St::Idle;
    Bytes m_text;
    Bytes m_pending;   // framed reply waiting for DLE ENQ
    LengthFrame m_mod; // module frame being received
    Bytes m_modPending;
    AuxModule m_module;
};

} // namespace quillon::emu
