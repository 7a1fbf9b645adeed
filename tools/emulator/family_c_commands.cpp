// Family C's reader commands, one table row each.
#include <algorithm>

#include "family_c.h"

namespace quillon::emu {

const FamilyC::Row FamilyC::kCommands[] = {
    {"00", false, &FamilyC::Init, 0},
    {"02", false, &FamilyC::Init, 0},
    {"10", false, &FamilyC::Status, 0},
    // card entry in modes 1 to 5
    {"25", false, &FamilyC::Entry, 1},
    {"24", false, &FamilyC::Entry, 2},
    {"23", false, &FamilyC::Entry, 3},
    {"30", false, &FamilyC::Entry, 4},
    {"22", false, &FamilyC::Entry, 5},
    {"79", false, &FamilyC::Stop, 0},
    {"32", false, &FamilyC::Move, 0}, // eject
    {"35", false, &FamilyC::Move, 1}, // retain
    {"76", false, &FamilyC::Tracks, 0},
    // chip
    {"40", false, &FamilyC::Contacts, 0},
    {"31", false, &FamilyC::Detect, 0},
    {"91", false, &FamilyC::PowerOff, 0},
    {"90", false, &FamilyC::ActivateProcessor, 0},
    {"C0", false, &FamilyC::ActivateMemory, 0}, // slot 0
    {"D0", false, &FamilyC::ActivateMemory, 1}, // slot 1
    {"93", true, &FamilyC::Apdu, 0},            // T=0
    {"94", true, &FamilyC::Apdu, 1},            // T=1
    // memory-chip commands behind a prefix of this many characters
    {">05", true, &FamilyC::MemoryChip, 3},
    {"C", true, &FamilyC::MemoryChip, 1},
    {"D", true, &FamilyC::MemoryChip, 1},
};

Bytes FamilyC::Execute(const Bytes& cmd) {
    Forced forced;
    if (TakeForced(cmd, forced))
        return Reply(cmd, forced.kind, ToBytes(forced.status));
    const std::string s = ToText(cmd);
    const Row* row = pFindRow(kCommands, s);
    return row ? (this->*row->run)(cmd, s, row->arg) : Ng(cmd, kUndefined);
}

// --- replies ------------------------------------------------------------------

// "10" data byte 0: '5' no card, '1' card at the gate, '2' card inside,
// '4' card inside with the chip contacts down, '0' jammed.
char FamilyC::StatusChar() const {
    if (m_model.jam)
        return '0';
    switch (m_model.Position()) {
    case CardPosition::Gate:
        return '1';
    case CardPosition::Inside:
        return m_model.contacts ? '4' : '2';
    default:
        return '5';
    }
}

// "31" data byte 0, the chip found: '=' processor T=0, '>' processor T=1,
// ';' and '<' the memory chips of slots 0 and 1 (activated with "C0" and
// "D0"), '0' to '3' memory chips of slots 2 to 5 (no activation), '7' a chip
// this reader cannot use, '9' no chip.
char FamilyC::ChipChar() const {
    const Card& c = m_model.tCard();
    switch (c.chip) {
    case ChipKind::ProcessorT0:
        return '=';
    case ChipKind::ProcessorT1:
        return '>';
    case ChipKind::Memory:
        return c.memorySlot == 0   ? ';'
               : c.memorySlot == 1 ? '<'
                                   : static_cast<char>('0' + (c.memorySlot - 2) % 4);
    case ChipKind::Passive:
        return '7';
    case ChipKind::None:
        break;
    }
    return '9';
}

// --- card and tracks ----------------------------------------------------------

// Initialise; the card stays where it is. Data: the model name (9
// characters), a blank, the firmware (4).
Bytes FamilyC::Init(const Bytes& cmd, const std::string&, int) {
    ReaderModel& m = m_model;
    if (m.jam)
        return Ng(cmd, kJam);
    m.DisableEntry();
    m.contacts = false;
    m.ChipOff();
    ++m.counters.resets;
    std::string id = m.tOptions().modelC.substr(0, 9);
    id.resize(9, ' ');
    std::string fw = m.tOptions().firmwareC.substr(0, 4);
    fw.resize(4, ' ');
    return Ok(cmd, id + ' ' + fw);
}

Bytes FamilyC::Status(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, std::string(1, StatusChar()));
}

// Entry in mode iMode; with a card inside "30" lifts its chip contacts.
Bytes FamilyC::Entry(const Bytes& cmd, const std::string& s, int iMode) {
    ReaderModel& m = m_model;
    if (m.jam)
        return Ng(cmd, kJam);
    if (m.Inside()) {
        if (s == "30") {
            m.contacts = false;
            m.ChipOff();
        }
    } else {
        m.EnableEntry(iMode, m_now);
    }
    return Ok(cmd);
}

Bytes FamilyC::Stop(const Bytes& cmd, const std::string&, int) {
    m_model.DisableEntry();
    return Ok(cmd);
}

Bytes FamilyC::Move(const Bytes& cmd, const std::string&, int iRetain) {
    if (m_model.jam)
        return Ng(cmd, kJam);
    if (iRetain)
        m_model.Retain();
    else
        m_model.Eject();
    return Ok(cmd);
}

// Tracks: per track a status character ('0' read, '1' blank) and a binary
// length, then the three texts one after the other.
Bytes FamilyC::Tracks(const Bytes& cmd, const std::string&, int) {
    if (!m_model.Inside())
        return Ng(cmd, kNotPossible);
    ++m_model.counters.trackReads;
    const Card& c = m_model.tCard();
    Bytes d;
    std::string texts;
    for (const std::string* t : {&c.track1, &c.track2, &c.track3}) {
        d.push_back(t->empty() ? '1' : '0');
        d.push_back(static_cast<uint8_t>(std::min<size_t>(t->size(), 255)));
        texts += t->substr(0, 255);
    }
    d.insert(d.end(), texts.begin(), texts.end());
    return Ok(cmd, d);
}

// --- chip ---------------------------------------------------------------------

Bytes FamilyC::Contacts(const Bytes& cmd, const std::string&, int) {
    if (!m_model.Inside())
        return Ng(cmd, kNotPossible);
    m_model.contacts = true;
    return Ok(cmd);
}

// Memory chips of slots 2 to 5 need no activation: detection powers them.
Bytes FamilyC::Detect(const Bytes& cmd, const std::string&, int) {
    ReaderModel& m = m_model;
    if (!m.Inside())
        return Ng(cmd, kNotPossible);
    const Card& card = m.tCard();
    if (card.chip == ChipKind::Memory && card.memorySlot >= 2 && m.active != ChipKind::Memory)
        m.Activate(ChipKind::Memory);
    return Ok(cmd, std::string(1, ChipChar()));
}

Bytes FamilyC::PowerOff(const Bytes& cmd, const std::string&, int) {
    m_model.ChipOff();
    return Ok(cmd);
}

// An activation: the card's chip answers it when it fits; data is the reply.
Bytes FamilyC::ActivateChip(const Bytes& cmd, bool bFits, ChipKind kind, const Bytes& data) {
    if (!m_model.Inside())
        return Ng(cmd, kNotPossible);
    if (!bFits)
        return Ng(cmd, kNoChip);
    m_model.Activate(kind);
    return Ok(cmd, data);
}

// Data: answer-to-reset length + 1, protocol (0 or 1), answer-to-reset.
Bytes FamilyC::ActivateProcessor(const Bytes& cmd, const std::string&, int) {
    const Card& card = m_model.tCard();
    const Bytes atr = card.Answer();
    // Sized first and filled: gcc 12 takes an insert into a two-byte
    // head for a write past it (-Warray-bounds).
    Bytes d(2 + atr.size());
    d[0] = static_cast<uint8_t>(std::min<size_t>(atr.size() + 1, 255));
    d[1] = static_cast<uint8_t>(card.chip == ChipKind::ProcessorT1 ? 1 : 0);
    std::copy(atr.begin(), atr.end(), d.begin() + 2);
    return ActivateChip(cmd,
                        card.chip == ChipKind::ProcessorT0 || card.chip == ChipKind::ProcessorT1,
                        card.chip, d);
}

// The memory chip of slot iSlot (0 or 1).
Bytes FamilyC::ActivateMemory(const Bytes& cmd, const std::string&, int iSlot) {
    const Card& card = m_model.tCard();
    return ActivateChip(cmd, card.chip == ChipKind::Memory && card.memorySlot == iSlot,
                        ChipKind::Memory, card.Answer());
}

// "93" (T=0) or "94" (T=1, iT1), APDU length (high byte first), APDU; reply
// data: response length (high byte first), response.
Bytes FamilyC::Apdu(const Bytes& cmd, const std::string& s, int iT1) {
    if (s.size() < 4)
        return Ng(cmd, kUndefined);
    ReaderModel& m = m_model;
    if (m.active != (iT1 ? ChipKind::ProcessorT1 : ChipKind::ProcessorT0))
        return Ng(cmd, kNotPossible);
    const size_t len = static_cast<size_t>(cmd[2] << 8 | cmd[3]);
    if (len != cmd.size() - 4)
        return Ng(cmd, kBadParam);
    const Bytes r = m.chip.Apdu(m.tCard(), Bytes(cmd.begin() + 4, cmd.end()));
    Bytes d(2 + r.size()); // sized first, as above
    d[0] = static_cast<uint8_t>(r.size() >> 8);
    d[1] = static_cast<uint8_t>(r.size() & 0xFF);
    std::copy(r.begin(), r.end(), d.begin() + 2);
    return Ok(cmd, d);
}

// A memory-chip command behind iPrefix characters; reply data: its answer.
Bytes FamilyC::MemoryChip(const Bytes& cmd, const std::string&, int iPrefix) {
    if (m_model.active != ChipKind::Memory)
        return Ng(cmd, kNotPossible);
    return Ok(cmd,
              m_model.chip.MemoryCommand(
                  m_model.tCard(), Bytes(cmd.begin() + static_cast<long>(iPrefix), cmd.end())));
}

} // namespace quillon::emu
