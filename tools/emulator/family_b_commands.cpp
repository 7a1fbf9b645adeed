// Family B's reader commands, one table row each.
#include "family_b.h"

namespace quillon::emu {

namespace {

void PutBig(Bytes& d, size_t at, uint32_t v, int width) {
    for (int i = 0; i < width; ++i)
        d[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}
} // namespace

const FamilyB::Row FamilyB::kCommands[] = {
    // initialise: '0'/'4' eject, '1'/'5' retain, '2'/'3'/'6' keep the card
    {"C0", true, &FamilyB::Reset, 0},
    {"C13", false, &FamilyB::Status, 0},
    {"C11", false, &FamilyB::Done, 0},
    // card entry in modes 1 to 5
    {"C:2", false, &FamilyB::Entry, 1},
    {"C:0", false, &FamilyB::Entry, 2},
    {"C:1", false, &FamilyB::Entry, 3},
    {"C40", false, &FamilyB::Entry, 4},
    {"C22", false, &FamilyB::Entry, 5},
    {"C30", false, &FamilyB::Move, 0}, // eject
    {"C31", false, &FamilyB::Move, 1}, // retain
    {"CC0", false, &FamilyB::BinCount, 0},
    {"CC1", true, &FamilyB::BinSet, 0},
    {"CA1", false, &FamilyB::Firmware, 0},
    {"Ce2", false, &FamilyB::Date, 0},
    {"C:X0", false, &FamilyB::Done, 0},
    {"C:X1", false, &FamilyB::Done, 0},
    {"Cc90", false, &FamilyB::Done, 0},
    {"Cc91", false, &FamilyB::Done, 0},
    {"Cc:1", false, &FamilyB::Done, 0},
    {"CfA", false, &FamilyB::Life, 0},
    {"C65", false, &FamilyB::AllTracks, 0},
    {"C67", false, &FamilyB::TrackMap, 0},
    {"C61", false, &FamilyB::Track, 1},
    {"C62", false, &FamilyB::Track, 2},
    {"C63", false, &FamilyB::Track, 3},
    {"CD2", false, &FamilyB::Track, 2},
    {"CD:", false, &FamilyB::Track, 2},
    {"C7", true, &FamilyB::WriteOne, 0},
    // chip
    {"C@0", false, &FamilyB::Contacts, 0},
    {"C@2", false, &FamilyB::ContactsUp, 0},
    {"CI0", false, &FamilyB::ActivateProcessor, 0},
    {"CI@", false, &FamilyB::ActivatePassive, 0},
    {"CR0", false, &FamilyB::ActivateMemory, 0},   // slots 0 to 3
    {"CU001", false, &FamilyB::ActivateMemory, 1}, // slots 4 and 5
    {"CI8", false, &FamilyB::WarmReset, 0},        // processor chips
    {"CIH", false, &FamilyB::WarmReset, 1},        // passive chips
    {"CI1", false, &FamilyB::PowerOff, 0},
    {"CR1", false, &FamilyB::PowerOff, 0},
    {"Ce21", false, &FamilyB::PowerOff, 0},
    {"CR3", true, &FamilyB::MemoryChip, 0},
    {"CR4", true, &FamilyB::MemoryChip, 0},
    {"CU3", true, &FamilyB::MemoryChip, 0},
    {"CI3", true, &FamilyB::ApduT0, 0},
    {"CI4", true, &FamilyB::BlockT1, 1}, // the last block
    {"CI5", true, &FamilyB::BlockT1, 0}, // more blocks follow
    {"CI6", true, &FamilyB::BlockT1, 1},
    {"CI7", false, &FamilyB::NextPiece, 0},
};

Bytes FamilyB::Execute(const Bytes& cmd) {
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

// "C13" data, four bytes:
//   0: 0x40 | 0x01 while card entry is enabled | 0x04 while the chip is powered
//   1: 0x40 | 0x01 when jammed | 0x08 card at the gate | 0x10 card inside
//   2: '0'
//   3: entry state: 'F' accepting in mode 1 ("C:2"), 'D' in mode 2 ("C:0"),
//      'E' in the other modes, '@' not accepting
Bytes FamilyB::StatusBytes() const {
    const ReaderModel& m = m_model;
    Bytes d(4, 0x40);
    if (m.EntryEnabled())
        d[0] |= 0x01;
    if (m.active != ChipKind::None)
        d[0] |= 0x04;
    if (m.jam)
        d[1] |= 0x01;
    if (m.Position() == CardPosition::Gate)
        d[1] |= 0x08;
    if (m.Inside())
        d[1] |= 0x10;
    d[2] = '0';
    d[3] = m.EntryMode() == 1 ? 'F' : m.EntryMode() == 2 ? 'D' : m.EntryEnabled() ? 'E' : '@';
    return d;
}

// "CfA" data, 136 bytes, big-endian: 0 cards taken in, 4 ejects, 8 retains,
// 16 track reads, 32 track writes, 48 chip activations (32-bit); 64 resets,
// 66 retain bin (16-bit); 132 frames received (32-bit); the rest 0.
Bytes FamilyB::LifeCounters() const {
    const Counters& c = m_model.counters;
    Bytes d(136, 0);
    PutBig(d, 0, c.cardsIn, 4);
    PutBig(d, 4, c.ejects, 4);
    PutBig(d, 8, c.retains, 4);
    PutBig(d, 16, c.trackReads, 4);
    PutBig(d, 32, c.trackWrites, 4);
    PutBig(d, 48, c.chipActivations, 4);
    PutBig(d, 64, c.resets, 2);
    PutBig(d, 66, c.retainBin, 2);
    PutBig(d, 132, static_cast<uint32_t>(m_stats.frames), 4);
    return d;
}

// --- card and tracks ----------------------------------------------------------

Bytes FamilyB::Reset(const Bytes& cmd, const std::string& s, int) {
    const char p = s[2];
    if (p < '0' || p > '6')
        return Ng(cmd, kBadParam);
    ReaderModel& m = m_model;
    if (m.jam)
        return Ng(cmd, kJam);
    m.DisableEntry();
    m.contacts = false;
    ChipOff();
    ++m.counters.resets;
    if (p == '0' || p == '4')
        m.Eject();
    else if ((p == '1' || p == '5') && m.Inside())
        m.Retain();
    return Ok(cmd);
}

Bytes FamilyB::Status(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, StatusBytes());
}

Bytes FamilyB::Done(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd);
}

Bytes FamilyB::Entry(const Bytes& cmd, const std::string&, int iMode) {
    return EntryCommand(cmd, iMode, kJam);
}

// A retain with the bin full is refused.
Bytes FamilyB::Move(const Bytes& cmd, const std::string&, int iRetain) {
    const ReaderModel& m = m_model;
    if (iRetain && !m.jam && m.Present() && m.counters.retainBin >= kBinCapacity)
        return Ng(cmd, kBinFull);
    return MoveCard(cmd, iRetain != 0, kJam);
}

Bytes FamilyB::BinCount(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, Digits(m_model.counters.retainBin, 2));
}

// "CC1" + two digits: sets the retain counter.
Bytes FamilyB::BinSet(const Bytes& cmd, const std::string& s, int) {
    if (s.size() != 5 || s[3] < '0' || s[3] > '9' || s[4] < '0' || s[4] > '9')
        return Ng(cmd, kBadParam);
    m_model.counters.retainBin = static_cast<uint32_t>((s[3] - '0') * 10 + (s[4] - '0'));
    return Ok(cmd);
}

Bytes FamilyB::Firmware(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, m_model.tOptions().firmwareB);
}

// 'D', the date digits y MM dd, two revision digits.
Bytes FamilyB::Date(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, "D" + m_model.tOptions().dateB.substr(0, 5) + "01");
}

Bytes FamilyB::Life(const Bytes& cmd, const std::string&, int) {
    return Ok(cmd, LifeCounters());
}

// The three texts, '~' between them.
Bytes FamilyB::AllTracks(const Bytes& cmd, const std::string&, int) {
    if (!m_model.Inside())
        return Ng(cmd, kNotPossible);
    const Card& c = m_model.tCard();
    ++m_model.counters.trackReads;
    return Ok(cmd, c.track1 + "~" + c.track2 + "~" + c.track3);
}

// Per track '1' when it holds data, else '0'.
Bytes FamilyB::TrackMap(const Bytes& cmd, const std::string&, int) {
    if (!m_model.Inside())
        return Ng(cmd, kNotPossible);
    const Card& c = m_model.tCard();
    std::string d;
    for (const std::string* t : {&c.track1, &c.track2, &c.track3})
        d += t->empty() ? '0' : '1';
    return Ok(cmd, d);
}

Bytes FamilyB::Track(const Bytes& cmd, const std::string&, int iTrack) {
    if (!m_model.Inside())
        return Ng(cmd, kNotPossible);
    const Card& c = m_model.tCard();
    const std::string& t = iTrack == 1 ? c.track1 : iTrack == 2 ? c.track2 : c.track3;
    if (t.empty())
        return Ng(cmd, kBlankTrack);
    ++m_model.counters.trackReads;
    return Ok(cmd, t);
}

Bytes FamilyB::WriteOne(const Bytes& cmd, const std::string& s, int) {
    return WriteTrack(cmd, s, kBadParam, kNotPossible);
}

// --- chip ---------------------------------------------------------------------

Bytes FamilyB::Contacts(const Bytes& cmd, const std::string&, int) {
    return ContactsDown(cmd, kNotPossible);
}

// Contacts up: the chip off, what was collected or still to send kept.
Bytes FamilyB::ContactsUp(const Bytes& cmd, const std::string&, int) {
    m_model.contacts = false;
    m_model.ChipOff();
    return Ok(cmd);
}

Bytes FamilyB::ActivateProcessor(const Bytes& cmd, const std::string&, int) {
    const ChipKind chip = m_model.tCard().chip;
    return Activate(cmd, chip == ChipKind::ProcessorT0 || chip == ChipKind::ProcessorT1, chip,
                    kNotPossible, kNoChip);
}

Bytes FamilyB::ActivatePassive(const Bytes& cmd, const std::string&, int) {
    return Activate(cmd, m_model.tCard().chip == ChipKind::Passive, ChipKind::Passive, kNotPossible,
                    kNoChip);
}

// The memory chips of slots 0 to 3, or of slots 4 and 5 (iHigh).
Bytes FamilyB::ActivateMemory(const Bytes& cmd, const std::string&, int iHigh) {
    const Card& card = m_model.tCard();
    const bool fits =
        card.chip == ChipKind::Memory && (iHigh ? card.memorySlot >= 4 : card.memorySlot <= 3);
    return Activate(cmd, fits, ChipKind::Memory, kNotPossible, kNoChip);
}

// Warm reset of the processor chip, or of the passive one (iPassive).
Bytes FamilyB::WarmReset(const Bytes& cmd, const std::string&, int iPassive) {
    ReaderModel& m = m_model;
    const bool fits = iPassive
                          ? m.active == ChipKind::Passive
                          : m.active == ChipKind::ProcessorT0 || m.active == ChipKind::ProcessorT1;
    if (!fits)
        return Ng(cmd, kNotPossible);
    m.chip.Reset();
    return Ok(cmd, m.tCard().Answer());
}

Bytes FamilyB::PowerOff(const Bytes& cmd, const std::string&, int) {
    ChipOff();
    return Ok(cmd);
}

Bytes FamilyB::MemoryChip(const Bytes& cmd, const std::string&, int) {
    return MemoryChipCommand(cmd, Bytes(cmd.begin() + 3, cmd.end()), kNotPossible);
}

Bytes FamilyB::ApduT0(const Bytes& cmd, const std::string&, int) {
    ReaderModel& m = m_model;
    if (m.active != ChipKind::ProcessorT0)
        return Ng(cmd, kNotPossible);
    m_chipOut = m.chip.Apdu(m.tCard(), Bytes(cmd.begin() + 3, cmd.end()));
    return NextChipPiece(cmd);
}

Bytes FamilyB::BlockT1(const Bytes& cmd, const std::string&, int iLast) {
    return T1Block(cmd, Bytes(cmd.begin() + 3, cmd.end()), iLast != 0, 8192, kBadParam,
                   kNotPossible);
}

Bytes FamilyB::NextPiece(const Bytes& cmd, const std::string&, int) {
    return m_chipOut.empty() ? Ng(cmd, kNotPossible) : NextChipPiece(cmd);
}

Bytes FamilyB::MorePieces(const Bytes& cmd) {
    Bytes more = cmd;
    more.resize(3, ' ');
    more[2] = '5'; // more data follows
    return Reply(more, 'P', Pos(), TakePiece(kChipPiece));
}

} // namespace quillon::emu
