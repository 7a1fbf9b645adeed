#include "family_a.h"

#include <cstring>

namespace quillon::emu {

namespace {

bool StartsWith(const std::string& s, const char* p) {
    return s.compare(0, std::strlen(p), p) == 0;
}

// Text cut or padded with blanks to exactly n characters.
std::string Fit(const std::string& s, size_t n) {
    std::string r = s.substr(0, n);
    r.resize(n, ' ');
    return r;
}
} // namespace

FamilyA::FamilyA(const Options& o) : TextReplyEngine(o) {
    m_module.present = o.modulePresent;
    m_module.stock = o.moduleStock;
}

// --- line ---------------------------------------------------------------------

void FamilyA::OnByte(uint8_t b, Bytes& out) {
    switch (m_st) {
    case St::Idle:
        if (b == ctl::kDle) {
            m_st = St::Dle;
        } else if (b == ctl::kStx) {
            m_mod.Start(b);
            m_st = St::ModFrame;
        } else if (b == ctl::kEnq) {
            m_st = St::ModEnq;
        } else {
            ++m_stats.strayBytes;
        }
        return;
    case St::Dle:
        m_st = St::Idle;
        if (b == ctl::kStx) {
            m_text.clear();
            m_st = St::Text;
        } else if (b == ctl::kEnq) {
            SendPending(m_faults, m_pending, out);
        } else if (b == ctl::kEot) {
            m_pending.clear();
            ++m_stats.aborts;
        } else {
            ++m_stats.strayBytes;
        }
        return;
    case St::Text:
        if (b == ctl::kDle) {
            m_st = St::TextDle;
        } else if (m_text.size() < kMaxText) {
            m_text.push_back(b);
        } else {
            ++m_stats.badFrames;
            m_st = St::Idle;
        }
        return;
    case St::TextDle:
        if (b == ctl::kDle && m_text.size() < kMaxText) {
            m_text.push_back(b);
            m_st = St::Text;
        } else if (b == ctl::kEtx) {
            m_st = St::Bcc;
        } else if (b == ctl::kStx) {
            m_text.clear(); // the host started over
            ++m_stats.cutFrames;
            m_st = St::Text;
        } else {
            ++m_stats.badFrames;
            out.insert(out.end(), {ctl::kDle, ctl::kNak});
            m_st = St::Idle;
        }
        return;
    case St::Bcc:
        m_st = St::Idle;
        OnFrame(b, out);
        return;
    case St::ModFrame:
        if (bFrameDone(m_mod, b, 1, [&] { OnModuleFrame(out); }))
            m_st = St::Idle;
        return;
    case St::ModEnq:
        m_st = St::Idle;
        if (b != ctl::kModuleAddr) {
            OnByte(b, out);
            return;
        }
        if (m_module.present)
            SendPending(m_module.faults, m_modPending, out);
        m_modPending.clear();
        return;
    }
}

void FamilyA::OnFrame(uint8_t bcc, Bytes& out) {
    if (bcc != (XorOf(m_text.data(), m_text.size()) ^ ctl::kEtx)) {
        ++m_stats.badFrames;
        out.insert(out.end(), {ctl::kDle, ctl::kNak});
        return;
    }
    AnswerFrame(
        m_faults, m_text, false, {ctl::kDle, ctl::kAck}, {ctl::kDle, ctl::kNak}, &m_pending,
        [this](const Bytes& t) { return FrameA(Execute(t)); }, out);
}

void FamilyA::OnModuleFrame(Bytes& out) {
    const Bytes& f = m_mod.Frame();
    const size_t len = m_mod.Length();
    if (f[3] != ctl::kModuleAddr || !m_module.present)
        return; // not for the module, or no module on the line
    if (f[3 + len] != ctl::kEtx || f[4 + len] != XorOf(f.data(), 4 + len)) {
        ++m_stats.badFrames;
        out.insert(out.end(), {ctl::kNak, ctl::kModuleAddr});
        return;
    }
    const Bytes text(f.begin() + 4, f.begin() + 3 + static_cast<long>(len));
    AnswerFrame(
        m_module.faults, text, true, {ctl::kAck, ctl::kModuleAddr}, {ctl::kNak, ctl::kModuleAddr},
        &m_modPending, [this](const Bytes& t) { return FrameModule(ExecuteModule(t)); }, out);
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

Bytes FamilyA::Execute(const Bytes& cmd) {
    Forced forced;
    if (TakeForced(cmd, forced))
        return Reply(cmd, forced.kind, forced.status);
    const std::string s = ToText(cmd);
    ReaderModel& m = m_model;
    if (s.size() < 3 || s[0] != 'C')
        return Ng(cmd, kUndefined);

    if (s.size() == 3 && s[1] == '0') { // reset: '0' eject, '1' retain, '2' keep the card
        if (s[2] < '0' || s[2] > '2')
            return Ng(cmd, kBadParam);
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
    if (s == "C10")
        return m.jam ? Ng(cmd, kJam) : Ok(cmd);
    if (s == "C11")
        return Ok(cmd, Sensors());

    // card entry: "C:2" mode 1, "C:0" 2, "C:1" 3, "C40" 4, "C:3" 5
    static const char* const kEntry[] = {"C:2", "C:0", "C:1", "C40", "C:3"};
    for (int i = 0; i < 5; ++i)
        if (s == kEntry[i])
            return EntryCommand(cmd, i + 1, kJam);
    if (s == "C30" || s == "C41")
        return MoveCard(cmd, s == "C41", kJam);
    if (s == "CQ0")
        return Ok(cmd, Digits(m.counters.retainBin, 3));
    if (s == "CQ1") {
        m.counters.retainBin = 0;
        return Ok(cmd);
    }
    if (s == "CV0") {
        const Options& o = m.tOptions();
        return Ok(cmd, Fit(o.modelA, 9) + ' ' + Fit("SN0000A1234567", 16) +
                           Fit("QUILLON READER EMULATOR", 26) + Fit(o.versionA, 2) + "00");
    }
    if (s == "CY105" || s == "CY100" || s == "CSL0" || s == "CSL1" || s == "CSN1" || s == "CSN2" ||
        s == "CS70" || s == "CS71")
        return Ok(cmd);
    if (StartsWith(s, "CY") || StartsWith(s, "CS"))
        return Ng(cmd, kBadParam);
    if (StartsWith(s, "CUA0"))
        return Ok(cmd, Fit("UA032 QUILLON-EMU FAMILY-A 0001", 32));
    if (s == "CM0")
        return Ok(cmd, LifeCounters());

    if (StartsWith(s, "C6")) { // read the three tracks
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        ++m.counters.trackReads;
        const Card& c = m.tCard();
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
    if (StartsWith(s, "C7")) // write one track
        return WriteTrack(cmd, s, kBadParam, kNotPossible);
    if (s[1] == 'C' || s[1] == 'E' || s[1] == 'e' || s[1] == 'm' || s[1] == 'F')
        return ExecuteChip(cmd, s);
    return Ng(cmd, kUndefined);
}

Bytes FamilyA::ExecuteChip(const Bytes& cmd, const std::string& s) {
    ReaderModel& m = m_model;
    Card& card = m.tCard();
    const bool processor = m.active == ChipKind::ProcessorT0 || m.active == ChipKind::ProcessorT1;
    auto activate = [&](bool bFits, ChipKind kind) {
        return Activate(cmd, bFits, kind, kNotPossible, kNoChip);
    };

    if (s == "CC0")
        return ContactsDown(cmd, kNotPossible);
    if (s == "CC2")
        return activate(card.chip == ChipKind::ProcessorT0 || card.chip == ChipKind::ProcessorT1,
                        card.chip);
    if (s == "Ce11")
        return activate(card.chip == ChipKind::Passive, ChipKind::Passive);
    if (s.size() == 4 && StartsWith(s, "Cm2")) {
        const int slot = s[3] - '0';
        if (slot < 0 || slot > 5)
            return Ng(cmd, kBadParam);
        return activate(card.chip == ChipKind::Memory && card.memorySlot == slot, ChipKind::Memory);
    }
    if (s == "CC6" || s == "Ce21" || s == "Cm6") {
        ChipOff();
        return Ok(cmd);
    }
    if (s == "CE10") { // warm reset: a protocol character, then the answer-to-reset
        if (!processor)
            return Ng(cmd, kNotPossible);
        m.chip.Reset();
        return Ok(
            cmd, WithAnswer({static_cast<uint8_t>(m.active == ChipKind::ProcessorT1 ? '1' : '0')}));
    }
    if (s == "Ce411") { // three header characters, then the answer
        if (m.active != ChipKind::Passive)
            return Ng(cmd, kNotPossible);
        return Ok(cmd, WithAnswer(ToBytes("000")));
    }
    const Bytes body(cmd.begin() + 3, cmd.end());
    if (StartsWith(s, "Cm7"))
        return MemoryChipCommand(cmd, body, kNotPossible);
    if (StartsWith(s, "CF0")) {
        if (m.active != ChipKind::ProcessorT0)
            return Ng(cmd, kNotPossible);
        return Ok(cmd, m.chip.Apdu(card, body));
    }
    if (StartsWith(s, "CF1") || StartsWith(s, "CF2"))
        return T1Block(cmd, body, s[2] == '1', 4096, kBadParam, kNotPossible);
    if (s == "CF3")
        return m_chipOut.empty() ? Ng(cmd, kNotPossible) : NextChipPiece(cmd);
    return Ng(cmd, kUndefined);
}

// A long T=1 reply goes out in pieces of kChipPiece bytes with status "21";
// each such piece carries one byte more, the first byte of the next piece,
// which the host drops before it asks for the rest with "CF3".
Bytes FamilyA::MorePieces(const Bytes& cmd) {
    return Reply(cmd, 'P', "21", TakePiece(kChipPiece + 1));
}

// --- auxiliary module ---------------------------------------------------------

// Reply text: kind, the two command characters, data ('N': the error byte).
// "Q0" data, characters 3 to 7 of the text: "11" when the module is jammed
// (else "00"), '1' while it has cards to feed, '1' (box present), '1' once
// "01" initialised it.
Bytes FamilyA::ExecuteModule(const Bytes& cmd) {
    auto reply = [&](char kind, const std::string& data) {
        return EchoReply(cmd, kind, ToBytes(data));
    };
    auto error = [&](uint8_t code) { return reply('N', std::string(1, static_cast<char>(code))); };
    Forced forced;
    if (TakeForced(cmd, forced))
        return reply(forced.kind, forced.status);
    const std::string s = ToText(cmd);
    AuxModule& mod = m_module;
    if (s == "01") {
        mod.initialised = true;
        return reply('P', "");
    }
    if (s == "00")
        return reply('P', "00000" + Fit(mod.ident, 11));
    if (s == "Q0") {
        std::string d = mod.jammed ? "11" : "00";
        d += mod.stock > 0 ? '1' : '0';
        d += '1';
        d += mod.initialised ? '1' : '0';
        return reply('P', d);
    }
    if (s == "P0" || s == "S0") {
        mod.mode = s == "P0" ? 0 : 2;
        return reply('P', "");
    }
    if (s == "P1") { // feed a card into the reader
        if (mod.jammed)
            return error(0x04);
        if (mod.stock <= 0 || m_model.Present())
            return error(0x03);
        --mod.stock;
        mod.mode = 1;
        m_model.InsertCard(m_now);
        m_model.EnableEntry(6, m_now);
        return reply('P', "");
    }
    return error(0x00);
}

} // namespace quillon::emu
