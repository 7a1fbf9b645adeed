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

    // The line, byte by byte, in each state.
    void OnIdle(uint8_t b);
    void OnDle(uint8_t b, Bytes& out);
    void OnText(uint8_t b);
    void OnTextDle(uint8_t b, Bytes& out);
    void OnFrame(uint8_t bcc, Bytes& out);
    void OnModuleFrame(Bytes& out);
    Bytes Execute(const Bytes& cmd);
    Bytes ExecuteModule(const Bytes& cmd);

    // The reader's commands (family_a_commands.cpp), one row each.
    using Row = CommandRow<FamilyA>;
    static const Row kCommands[];
    Bytes Reset(const Bytes& cmd, const std::string& s, int);
    Bytes JamCheck(const Bytes& cmd, const std::string&, int);
    Bytes SensorStatus(const Bytes& cmd, const std::string&, int);
    Bytes Entry(const Bytes& cmd, const std::string&, int iMode);
    Bytes Move(const Bytes& cmd, const std::string&, int iRetain);
    Bytes BinCount(const Bytes& cmd, const std::string&, int);
    Bytes BinClear(const Bytes& cmd, const std::string&, int);
    Bytes Identity(const Bytes& cmd, const std::string&, int);
    Bytes Done(const Bytes& cmd, const std::string&, int);
    Bytes BadParam(const Bytes& cmd, const std::string&, int);
    Bytes UsbIdentity(const Bytes& cmd, const std::string&, int);
    Bytes Life(const Bytes& cmd, const std::string&, int);
    Bytes ReadTracks(const Bytes& cmd, const std::string&, int);
    Bytes WriteOne(const Bytes& cmd, const std::string& s, int);
    Bytes Contacts(const Bytes& cmd, const std::string&, int);
    Bytes ActivateProcessor(const Bytes& cmd, const std::string&, int);
    Bytes ActivatePassive(const Bytes& cmd, const std::string&, int);
    Bytes ActivateMemory(const Bytes& cmd, const std::string& s, int);
    Bytes PowerOff(const Bytes& cmd, const std::string&, int);
    Bytes WarmReset(const Bytes& cmd, const std::string&, int);
    Bytes PassiveReset(const Bytes& cmd, const std::string&, int);
    Bytes MemoryChip(const Bytes& cmd, const std::string&, int);
    Bytes ApduT0(const Bytes& cmd, const std::string&, int);
    Bytes BlockT1(const Bytes& cmd, const std::string&, int iLast);
    Bytes NextPiece(const Bytes& cmd, const std::string&, int);

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
