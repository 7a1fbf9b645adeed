#include "family_c.h"

#include <algorithm>

namespace quillon::emu {

// --- line ---------------------------------------------------------------------

void FamilyC::OnByte(uint8_t b, Bytes& out) {
    switch (m_st) {
    case St::Idle:
        if (b == ctl::kStx) {
            m_frame.Start(b);
            m_st = St::Frame;
        } else if (b == ctl::kEnq) {
            SendPending(m_faults, m_pending, out);
        } else {
            ++m_stats.strayBytes;
        }
        return;
    case St::Frame:
        if (bFrameDone(m_frame, b, 0, [&] { OnFrame(out); }))
            m_st = St::Idle;
        return;
    }
}

void FamilyC::OnFrame(Bytes& out) {
    const Bytes& f = m_frame.Frame();
    const size_t n = m_frame.Length();
    if (f[3 + n] != ctl::kEtx || f[4 + n] != XorOf(f.data(), 4 + n)) {
        ++m_stats.badFrames;
        out.push_back(ctl::kNak);
        return;
    }
    const Bytes text(f.begin() + 3, f.begin() + 3 + static_cast<long>(n));
    AnswerFrame(
        m_faults, text, false, {ctl::kAck}, {ctl::kNak}, &m_pending,
        [this](const Bytes& t) { return FrameC(Execute(t)); }, out);
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

Bytes FamilyC::Execute(const Bytes& cmd) {
    Forced forced;
    if (TakeForced(cmd, forced)) {
        Bytes r = Reply(cmd, forced.kind, ToBytes(forced.status));
        return r;
    }
    const std::string s = ToText(cmd);
    ReaderModel& m = m_model;

    if (s == "00" || s == "02") { // initialise; the card stays where it is
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
    if (s == "10")
        return Ok(cmd, std::string(1, StatusChar()));

    // card entry: "25" mode 1, "24" 2, "23" 3, "30" 4, "22" 5; "30" also
    // lifts the chip contacts of a card inside
    static const char* const kEntry[] = {"25", "24", "23", "30", "22"};
    for (int i = 0; i < 5; ++i) {
        if (s != kEntry[i])
            continue;
        if (m.jam)
            return Ng(cmd, kJam);
        if (m.Inside()) {
            if (s == "30") {
                m.contacts = false;
                m.ChipOff();
            }
        } else {
            m.EnableEntry(i + 1, m_now);
        }
        return Ok(cmd);
    }
    if (s == "79") { // stop: entry off
        m.DisableEntry();
        return Ok(cmd);
    }
    if (s == "32" || s == "35") {
        if (m.jam)
            return Ng(cmd, kJam);
        if (s == "32")
            m.Eject();
        else
            m.Retain();
        return Ok(cmd);
    }
    if (s == "76") { // tracks: per track a status character ('0' read, '1' blank) and a
                     // binary length, then the three texts one after the other
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        ++m.counters.trackReads;
        const Card& c = m.tCard();
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
    return ExecuteChip(cmd, s);
}

Bytes FamilyC::ExecuteChip(const Bytes& cmd, const std::string& s) {
    ReaderModel& m = m_model;
    Card& card = m.tCard();
    if (s == "40") { // chip contacts down
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        m.contacts = true;
        return Ok(cmd);
    }
    if (s == "31") { // memory chips of slots 2 to 5 need no activation: detection powers them
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        if (card.chip == ChipKind::Memory && card.memorySlot >= 2 && m.active != ChipKind::Memory)
            m.Activate(ChipKind::Memory);
        return Ok(cmd, std::string(1, ChipChar()));
    }
    if (s == "91") {
        m.ChipOff();
        return Ok(cmd);
    }
    auto activate = [&](bool fits, ChipKind kind, const Bytes& data) {
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        if (!fits)
            return Ng(cmd, kNoChip);
        m.Activate(kind);
        return Ok(cmd, data);
    };
    const bool processor = card.chip == ChipKind::ProcessorT0 || card.chip == ChipKind::ProcessorT1;
    if (s == "90") { // data: answer-to-reset length + 1, protocol (0 or 1), answer-to-reset
        const Bytes atr = card.Answer();
        // Sized first and filled: gcc 12 takes an insert into a two-byte
        // head for a write past it (-Warray-bounds).
        Bytes d(2 + atr.size());
        d[0] = static_cast<uint8_t>(std::min<size_t>(atr.size() + 1, 255));
        d[1] = static_cast<uint8_t>(card.chip == ChipKind::ProcessorT1 ? 1 : 0);
        std::copy(atr.begin(), atr.end(), d.begin() + 2);
        return activate(processor, card.chip, d);
    }
    const bool memory = card.chip == ChipKind::Memory;
    if (s == "C0")
        return activate(memory && card.memorySlot == 0, ChipKind::Memory, card.Answer());
    if (s == "D0")
        return activate(memory && card.memorySlot == 1, ChipKind::Memory, card.Answer());

    if (s.size() >= 4 && (s.compare(0, 2, "93") == 0 || s.compare(0, 2, "94") == 0)) {
        // "93" (T=0) or "94" (T=1), APDU length (high byte first), APDU; reply data:
        // response length (high byte first), response
        const ChipKind want = s[1] == '3' ? ChipKind::ProcessorT0 : ChipKind::ProcessorT1;
        if (m.active != want)
            return Ng(cmd, kNotPossible);
        const size_t len = static_cast<size_t>(cmd[2] << 8 | cmd[3]);
        if (len != cmd.size() - 4)
            return Ng(cmd, kBadParam);
        const Bytes r = m.chip.Apdu(card, Bytes(cmd.begin() + 4, cmd.end()));
        Bytes d(2 + r.size()); // sized first, as above
        d[0] = static_cast<uint8_t>(r.size() >> 8);
        d[1] = static_cast<uint8_t>(r.size() & 0xFF);
        std::copy(r.begin(), r.end(), d.begin() + 2);
        return Ok(cmd, d);
    }
    size_t prefix = 0;
    if (s.compare(0, 3, ">05") == 0)
        prefix = 3;
    else if (!s.empty() && (s[0] == 'C' || s[0] == 'D'))
        prefix = 1;
    if (prefix) { // memory-chip command; reply data: its answer
        if (m.active != ChipKind::Memory)
            return Ng(cmd, kNotPossible);
        return Ok(cmd, m.chip.MemoryCommand(
                           card, Bytes(cmd.begin() + static_cast<long>(prefix), cmd.end())));
    }
    return Ng(cmd, kUndefined);
}

} // namespace quillon::emu
