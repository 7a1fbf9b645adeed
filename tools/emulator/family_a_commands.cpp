// Family A's reader commands, one table row each.
#include "family_a.h"

namespace quillon::emu {

const FamilyA::Row FamilyA::kCommands[] = {
    // reset: '0' eject, '1' retain, '2' keep the card
    {"C0", true, &FamilyA::Reset, 0},
    {"C10", false, &FamilyA::JamCheck, 0},
    {"C11", false, &FamilyA::SensorStatus, 0},
    // card entry in modes 1 to 5
    {"C:2", false, &FamilyA::Entry, 1},
    {"C:0", false, &FamilyA::Entry, 2},
    {"C:1", false, &FamilyA::Entry, 3},
    {"C40", false, &FamilyA::Entry, 4},
    {"C:3", false, &FamilyA::Entry, 5},
    {"C30", false, &FamilyA::Move, 0}, // eject
    {"C41", false, &FamilyA::Move, 1}, // retain
    {"CQ0", false, &FamilyA::BinCount, 0},
    {"CQ1", false, &FamilyA::BinClear, 0},
    {"CV0", false, &FamilyA::Identity, 0},
    // settings taken as they are; any other setting is a bad parameter
    {"CY105", false, &FamilyA::Done, 0},
    {"CY100", false, &FamilyA::Done, 0},
    {"CSL0", false, &FamilyA::Done, 0},
    {"CSL1", false, &FamilyA::Done, 0},
    {"CSN1", false, &FamilyA::Done, 0},
    {"CSN2", false, &FamilyA::Done, 0},
    {"CS70", false, &FamilyA::Done, 0},
    {"CS71", false, &FamilyA::Done, 0},
    {"CY", true, &FamilyA::BadParam, 0},
    {"CS", true, &FamilyA::BadParam, 0},
    {"CUA0", true, &FamilyA::UsbIdentity, 0},
    {"CM0", false, &FamilyA::Life, 0},
    {"C6", true, &FamilyA::ReadTracks, 0},
    {"C7", true, &FamilyA::WriteOne, 0},
    // chip
    {"CC0", false, &FamilyA::Contacts, 0},
    {"CC2", false, &FamilyA::ActivateProcessor, 0},
    {"Ce11", false, &FamilyA::ActivatePassive, 0},
    {"Cm2", true, &FamilyA::ActivateMemory, 0},
    {"CC6", false, &FamilyA::PowerOff, 0},
    {"Ce21", false, &FamilyA::PowerOff, 0},
    {"Cm6", false, &FamilyA::PowerOff, 0},
    {"CE10", false, &FamilyA::WarmReset, 0},
    {"Ce411", false, &FamilyA::PassiveReset, 0},
    {"Cm7", true, &FamilyA::MemoryChip, 0},
    {"CF0", true, &FamilyA::ApduT0, 0},
    {"CF1", true, &FamilyA::BlockT1, 1}, // the last block
    {"CF2", true, &FamilyA::BlockT1, 0}, // more blocks follow
    {"CF3", false, &FamilyA::NextPiece, 0},
};

Bytes FamilyA::Execute(const Bytes& cmd) {
    Forced forced;
    if (TakeForced(cmd, forced))
        return Reply(cmd, forced.kind, forced.status);
    const std::string s = ToText(cmd);
    if (s.size() < 3 || s[0] != 'C')
        return Ng(cmd, kUndefined);
    const Row* row = pFindRow(kCommands, s);
    return row ? (this->*row->run)(cmd, s, row->arg) : Ng(cmd, kUndefined);
}

// --- replies ------------------------------------------------------------------

// "C11" data: d[0..3] "0000" when all is well; d[5] '1' when the reader
// holds no card; d[6] '1' when a card is fully inside; d[7] '1' when a card
// is at the gate or inside; d[8] '1' while the chip is powered.
std::string FamilyA::Sensors() const {
    const CardPosition p = m_model.Position();
    std::string d = m_model.jam ? "0100" : "0000";
    d += '0';
    d += m_model.Present() ? '0' : '1';
    d += p == CardPosition::Inside ? '1' : '0';
    d += m_model.Present() ? '1' : '0';
    d += m_model.active != ChipKind::None ? '1' : '0';
    return d;
}

// "CM0" data: fourteen counters of eight digits: cards taken in, ejects,
// retains, track reads, track writes, chip activations, six spare, resets,
// retain bin.
std::string FamilyA::LifeCounters() const {
    const Counters& c = m_model.counters;
    const uint32_t v[14] = {
        c.cardsIn, c.ejects, c.retains, c.trackReads, c.trackWrites, c.chipActivations, 0, 0, 0,
        0,         0,        0,         c.resets,     c.retainBin};
    std::string d;
    for (uint32_t x : v)
        d += Digits(x, 8);
    return d;
}

// --- card and tracks ----------------------------------------------------------

Bytes FamilyA::Reset(const Bytes& cmd, const std::string& s, int) {
    if (s.size() != 3)
        return Ng(cmd, kUndefined);
    if (s[2] < '0' || s[2] > '2')
        return Ng(cmd, kBadParam);
    ReaderModel& m = m_model;
    if (m.jam)
        return Ng(cmd, kJam);
    m.DisableEntry();
    m.contacts = false;
    ChipOff();
    ++m.counters.resets;
    if (s[2] == '0')
        m.Eject();
    else if (s[2] == '1' && m.Inside())
        m.Retain();
    return Ok(cmd);
}

Bytes FamilyA::JamCheck(const Bytes& cmd, const std::string&, int) {
    return m_model.jam ? Ng(cmd, kJam) : Ok(cmd);
}

Bytes FamilyA::SensorStatus(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, Sensors());
}

Bytes FamilyA::Entry(const Bytes& cmd, const std::string&, int iMode) {
    return EntryCommand(cmd, iMode, kJam);
}

Bytes FamilyA::Move(const Bytes& cmd, const std::string&, int iRetain) {
    return MoveCard(cmd, iRetain != 0, kJam);
}

Bytes FamilyA::BinCount(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, Digits(m_model.counters.retainBin, 3));
}

Bytes FamilyA::BinClear(const Bytes& cmd, const std::string&, int) {
    m_model.counters.retainBin = 0;
    return Ok(cmd);
}

Bytes FamilyA::Identity(const Bytes& cmd, const std::string&, int) {
    const Options& o = m_model.tOptions();
    return Ok(cmd, Fit(o.modelA, 9) + ' ' + Fit("SN0000A1234567", 16) +
                       Fit("QUILLON READER EMULATOR", 26) + Fit(o.versionA, 2) + "00");
}

Bytes FamilyA::Done(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd);
}

Bytes FamilyA::BadParam(const Bytes& cmd, const std::string&, int) {
    return Ng(cmd, kBadParam);
}

Bytes FamilyA::UsbIdentity(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, Fit("UA032 QUILLON-EMU FAMILY-A 0001", 32));
}

Bytes FamilyA::Life(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, LifeCounters());
}

// The three tracks: '0', per track "00" read or "01" blank, per track its
// length in three digits, then the texts one after the other.
Bytes FamilyA::ReadTracks(const Bytes& cmd, const std::string&, int) {
    if (!m_model.Inside())
        return Ng(cmd, kNotPossible);
    ++m_model.counters.trackReads;
    const Card& c = m_model.tCard();
    const std::string* t[3] = {&c.track1, &c.track2, &c.track3};
    std::string d = "0";
    for (const std::string* x : t)
        d += x->empty() ? "01" : "00";
    for (const std::string* x : t)
        d += Digits(x->size(), 3);
    for (const std::string* x : t)
        d += *x;
    return Ok(cmd, d);
}

Bytes FamilyA::WriteOne(const Bytes& cmd, const std::string& s, int) {
    return WriteTrack(cmd, s, kBadParam, kNotPossible);
}

// --- chip ---------------------------------------------------------------------

Bytes FamilyA::Contacts(const Bytes& cmd, const std::string&, int) {
    return ContactsDown(cmd, kNotPossible);
}

Bytes FamilyA::ActivateProcessor(const Bytes& cmd, const std::string&, int) {
    const ChipKind chip = m_model.tCard().chip;
    return Activate(cmd, chip == ChipKind::ProcessorT0 || chip == ChipKind::ProcessorT1, chip,
                    kNotPossible, kNoChip);
}

Bytes FamilyA::ActivatePassive(const Bytes& cmd, const std::string&, int) {
    return Activate(cmd, m_model.tCard().chip == ChipKind::Passive, ChipKind::Passive, kNotPossible,
                    kNoChip);
}

// "Cm2" + the memory-chip slot, 0 to 5.
Bytes FamilyA::ActivateMemory(const Bytes& cmd, const std::string& s, int) {
    if (s.size() != 4)
        return Ng(cmd, kUndefined);
    const int slot = s[3] - '0';
    if (slot < 0 || slot > 5)
        return Ng(cmd, kBadParam);
    const Card& card = m_model.tCard();
    return Activate(cmd, card.chip == ChipKind::Memory && card.memorySlot == slot, ChipKind::Memory,
                    kNotPossible, kNoChip);
}

Bytes FamilyA::PowerOff(const Bytes& cmd, const std::string&, int) {
    ChipOff();
    return Ok(cmd);
}

// Warm reset: a protocol character, then the answer-to-reset.
Bytes FamilyA::WarmReset(const Bytes& cmd, const std::string&, int) {
    ReaderModel& m = m_model;
    if (m.active != ChipKind::ProcessorT0 && m.active != ChipKind::ProcessorT1)
        return Ng(cmd, kNotPossible);
    m.chip.Reset();
    return Ok(cmd,
              WithAnswer({static_cast<uint8_t>(m.active == ChipKind::ProcessorT1 ? '1' : '0')}));
}

// Three header characters, then the answer.
Bytes FamilyA::PassiveReset(const Bytes& cmd, const std::string&, int) {
    if (m_model.active != ChipKind::Passive)
        return Ng(cmd, kNotPossible);
    return Ok(cmd, WithAnswer(ToBytes("000")));
}

Bytes FamilyA::MemoryChip(const Bytes& cmd, const std::string&, int) {
    return MemoryChipCommand(cmd, Bytes(cmd.begin() + 3, cmd.end()), kNotPossible);
}

Bytes FamilyA::ApduT0(const Bytes& cmd, const std::string&, int) {
    ReaderModel& m = m_model;
    if (m.active != ChipKind::ProcessorT0)
        return Ng(cmd, kNotPossible);
    return Ok(cmd, m.chip.Apdu(m.tCard(), Bytes(cmd.begin() + 3, cmd.end())));
}

Bytes FamilyA::BlockT1(const Bytes& cmd, const std::string&, int iLast) {
    return T1Block(cmd, Bytes(cmd.begin() + 3, cmd.end()), iLast != 0, 4096, kBadParam,
                   kNotPossible);
}

Bytes FamilyA::NextPiece(const Bytes& cmd, const std::string&, int) {
    return m_chipOut.empty() ? Ng(cmd, kNotPossible) : NextChipPiece(cmd);
}

// A long T=1 reply goes out in pieces of kChipPiece bytes with status "21";
// each such piece carries one byte more, the first byte of the next piece,
// which the host drops before it asks for the rest with "CF3".
Bytes FamilyA::MorePieces(const Bytes& cmd) {
    return Reply(cmd, 'P', "21", TakePiece(kChipPiece + 1));
}

} // namespace quillon::emu
