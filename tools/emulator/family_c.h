// Family C reader: STX, length, text, ETX, BCC frames with two-digit
// commands. A good frame is acknowledged with ACK, a bad one refused with
// NAK; the reply follows the host's ENQ. Reply text: kind 'P'/'N', the two
// command characters, data ('N': the error byte).
#pragma once

#include "engine.h"

namespace quillon::emu {

class FamilyC : public Engine {
public:
    explicit FamilyC(const Options& o) : Engine(o) {}
    Family eFamily() const override { return Family::C; }

    static constexpr uint8_t kUndefined = 0x00;
    static constexpr uint8_t kBadParam = 0x02;
    static constexpr uint8_t kNotPossible = 0x03; // no card, or chip not in that state
    static constexpr uint8_t kJam = 0x0A;
    static constexpr uint8_t kNoChip = 0x60;

protected:
    void OnByte(uint8_t b, Bytes& out) override;
    void DropPartialFrame() override { DropFrame(m_st); }

private:
    enum class St { Idle, Frame };

    void OnFrame(Bytes& out);
    Bytes Execute(const Bytes& cmd);

    // The reader's commands (family_c_commands.cpp), one row each.
    using Row = CommandRow<FamilyC>;
    static const Row kCommands[];
    Bytes Init(const Bytes& cmd, const std::string&, int);
    Bytes Status(const Bytes& cmd, const std::string&, int);
    Bytes Entry(const Bytes& cmd, const std::string& s, int iMode);
    Bytes Stop(const Bytes& cmd, const std::string&, int);
    Bytes Move(const Bytes& cmd, const std::string&, int iRetain);
    Bytes Tracks(const Bytes& cmd, const std::string&, int);
    Bytes Contacts(const Bytes& cmd, const std::string&, int);
    Bytes Detect(const Bytes& cmd, const std::string&, int);
    Bytes PowerOff(const Bytes& cmd, const std::string&, int);
    Bytes ActivateChip(const Bytes& cmd, bool bFits, ChipKind kind, const Bytes& data);
    Bytes ActivateProcessor(const Bytes& cmd, const std::string&, int);
    Bytes ActivateMemory(const Bytes& cmd, const std::string&, int iSlot);
    Bytes Apdu(const Bytes& cmd, const std::string& s, int iT1);
    Bytes MemoryChip(const Bytes& cmd, const std::string&, int iPrefix);

    static Bytes Reply(const Bytes& cmd, char kind, const Bytes& data) {
        return EchoReply(cmd, kind, data);
    }
    static Bytes Ok(const Bytes& cmd, const Bytes& data = {}) { return Reply(cmd, 'P', data); }
    static Bytes Ok(const Bytes& cmd, const std::string& d) { return Ok(cmd, ToBytes(d)); }
    static Bytes Ng(const Bytes& cmd, uint8_t error) { return Reply(cmd, 'N', Bytes{error}); }
    char StatusChar() const;
    char ChipChar() const;

    St m_st = St::Idle;
    LengthFrame m_frame;
    Bytes m_pending;
};

} // namespace quillon::emu
