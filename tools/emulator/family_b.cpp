#include "family_b.h"

#include <cstring>

namespace quillon::emu {

namespace {

bool StartsWith(const std::string& s, const char* p) {
    return s.compare(0, std::strlen(p), p) == 0;
}

void PutBig(Bytes& d, size_t at, uint32_t v, int width) {
    for (int i = 0; i < width; ++i)
        d[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}
} // namespace

// --- line ---------------------------------------------------------------------

void FamilyB::OnByte(uint8_t b, Bytes& out) {
    switch (m_st) {
    case St::Idle:
        if (b == ctl::kStartB) {
            m_frame.Start(b);
            m_st = St::Frame;
        } else if (b == ctl::kAck) {
            ++m_stats.hostAcks;
        } else if (b == ctl::kDle) {
            m_st = St::Dle;
        } else {
            ++m_stats.strayBytes;
        }
        return;
    case St::Dle:
        m_st = St::Idle;
        if (b == ctl::kEot)
            ++m_stats.aborts; // every reply has gone out already: nothing to cancel
        else
            OnByte(b, out);
        return;
    case St::Frame:
        if (bFrameDone(m_frame, b, 0, [&] { OnFrame(out); }))
            m_st = St::Idle;
        return;
    }
}

void FamilyB::OnFrame(Bytes& out) {
    const Bytes& f = m_frame.Frame();
    const size_t n = m_frame.Length();
    const uint16_t crc = Crc16Xmodem(f.data(), n + 3);
    if (f[n + 3] != (crc >> 8) || f[n + 4] != (crc & 0xFF)) {
        ++m_stats.badFrames;
        out.push_back(ctl::kNak);
        return;
    }
    const Bytes text(f.begin() + 3, f.begin() + 3 + static_cast<long>(n));
    AnswerFrame(
        m_faults, text, false, {ctl::kAck}, {ctl::kNak}, nullptr,
        [this](const Bytes& t) { return FrameB(Execute(t)); }, out);
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

Bytes FamilyB::Track(const Bytes& cmd, int track) {
    if (!m_model.Inside())
        return Ng(cmd, kNotPossible);
    const Card& c = m_model.tCard();
    const std::string& t = track == 1 ? c.track1 : track == 2 ? c.track2 : c.track3;
    if (t.empty())
        return Ng(cmd, kBlankTrack);
    ++m_model.counters.trackReads;
    return Ok(cmd, t);
}

Bytes FamilyB::Execute(const Bytes& cmd) {
    Forced forced;
    if (TakeForced(cmd, forced))
        return Reply(cmd, forced.kind, forced.status);
    const std::string s = ToText(cmd);
    ReaderModel& m = m_model;
    if (s.size() < 3 || s[0] != 'C')
        return Ng(cmd, kUndefined);

    if (s[1] == '0') { // initialise: '0'/'4' eject, '1'/'5' retain, '2'/'3'/'6' keep the card
        const char p = s[2];
        if (p < '0' || p > '6')
            return Ng(cmd, kBadParam);
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
    if (s == "C13")
        return Ok(cmd, StatusBytes());
    if (s == "C11")
        return Ok(cmd);

    static const char* const kEntry[] = {"C:2", "C:0", "C:1", "C40", "C22"};
    for (int i = 0; i < 5; ++i)
        if (s == kEntry[i])
            return EntryCommand(cmd, i + 1, kJam);
    if (s == "C30" || s == "C31") {
        if (s == "C31" && !m.jam && m.Present() && m.counters.retainBin >= kBinCapacity)
            return Ng(cmd, kBinFull);
        return MoveCard(cmd, s == "C31", kJam);
    }
    if (s == "CC0")
        return Ok(cmd, Digits(m.counters.retainBin, 2));
    if (StartsWith(s, "CC1")) { // "CC1" + two digits: set the retain counter
        if (s.size() != 5 || s[3] < '0' || s[3] > '9' || s[4] < '0' || s[4] > '9')
            return Ng(cmd, kBadParam);
        m.counters.retainBin = static_cast<uint32_t>((s[3] - '0') * 10 + (s[4] - '0'));
        return Ok(cmd);
    }
    if (s == "CA1")
        return Ok(cmd, m.tOptions().firmwareB);
    if (s == "Ce2") // 'D', the date digits y MM dd, two revision digits
        return Ok(cmd, "D" + m.tOptions().dateB.substr(0, 5) + "01");
    if (s == "C:X0" || s == "C:X1" || s == "Cc90" || s == "Cc91" || s == "Cc:1")
        return Ok(cmd);
    if (s == "CfA")
        return Ok(cmd, LifeCounters());

    if (s == "C65" || s == "C67") {
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        const Card& c = m.tCard();
        if (s == "C67") {
            std::string d;
            for (const std::string* t : {&c.track1, &c.track2, &c.track3})
                d += t->empty() ? '0' : '1';
            return Ok(cmd, d);
        }
        ++m.counters.trackReads;
        return Ok(cmd, c.track1 + "~" + c.track2 + "~" + c.track3);
    }
    if (s == "C61" || s == "C62" || s == "C63")
        return Track(cmd, s[2] - '0');
    if (s == "CD2" || s == "CD:")
        return Track(cmd, 2);
    if (StartsWith(s, "C7"))
        return WriteTrack(cmd, s, kBadParam, kNotPossible);
    if (s[1] == '@' || s[1] == 'I' || s[1] == 'R' || s[1] == 'U' || s[1] == 'e')
        return ExecuteChip(cmd, s);
    return Ng(cmd, kUndefined);
}

Bytes FamilyB::ExecuteChip(const Bytes& cmd, const std::string& s) {
    ReaderModel& m = m_model;
    Card& card = m.tCard();
    auto activate = [&](bool bFits, ChipKind kind) {
        return Activate(cmd, bFits, kind, kNotPossible, kNoChip);
    };
    const bool memory = card.chip == ChipKind::Memory;

    if (s == "C@0")
        return ContactsDown(cmd, kNotPossible);
    if (s == "C@2") {
        m.contacts = false;
        m.ChipOff();
        return Ok(cmd);
    }
    if (s == "CI0")
        return activate(card.chip == ChipKind::ProcessorT0 || card.chip == ChipKind::ProcessorT1,
                        card.chip);
    if (s == "CI@")
        return activate(card.chip == ChipKind::Passive, ChipKind::Passive);
    if (s == "CR0")
        return activate(memory && card.memorySlot <= 3, ChipKind::Memory);
    if (s == "CU001")
        return activate(memory && card.memorySlot >= 4, ChipKind::Memory);
    if (s == "CI8" || s == "CIH") {
        const bool fits =
            s == "CIH" ? m.active == ChipKind::Passive
                       : m.active == ChipKind::ProcessorT0 || m.active == ChipKind::ProcessorT1;
        if (!fits)
            return Ng(cmd, kNotPossible);
        m.chip.Reset();
        return Ok(cmd, card.Answer());
    }
    if (s == "CI1" || s == "CR1" || s == "Ce21") {
        ChipOff();
        return Ok(cmd);
    }
    const Bytes body(cmd.begin() + 3, cmd.end());
    if (StartsWith(s, "CR3") || StartsWith(s, "CR4") || StartsWith(s, "CU3"))
        return MemoryChipCommand(cmd, body, kNotPossible);
    if (StartsWith(s, "CI3")) {
        if (m.active != ChipKind::ProcessorT0)
            return Ng(cmd, kNotPossible);
        m_chipOut = m.chip.Apdu(card, body);
        return NextChipPiece(cmd);
    }
    if (StartsWith(s, "CI4") || StartsWith(s, "CI5") || StartsWith(s, "CI6"))
        return T1Block(cmd, body, s[2] != '5', 8192, kBadParam, kNotPossible);
    if (s == "CI7")
        return m_chipOut.empty() ? Ng(cmd, kNotPossible) : NextChipPiece(cmd);
    return Ng(cmd, kUndefined);
}

Bytes FamilyB::MorePieces(const Bytes& cmd) {
    Bytes more = cmd;
    more.resize(3, ' ');
    more[2] = '5'; // more data follows
    return Reply(more, 'P', Pos(), TakePiece(kChipPiece));
}

} // namespace quillon::emu
