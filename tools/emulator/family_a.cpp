#include "family_a.h"

#include <cstring>

namespace quillon::emu {

namespace {
constexpr size_t kMaxText = 2048;

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
    module_.present = o.modulePresent;
    module_.stock = o.moduleStock;
}

// --- line ---------------------------------------------------------------------

void FamilyA::OnByte(uint8_t b, Bytes& out) {
    switch (st_) {
    case St::Idle:
        if (b == ctl::kDle) {
            st_ = St::Dle;
        } else if (b == ctl::kStx) {
            mod_.assign(1, b);
            st_ = St::ModHead;
        } else if (b == ctl::kEnq) {
            st_ = St::ModEnq;
        } else {
            ++stats_.strayBytes;
        }
        return;
    case St::Dle:
        st_ = St::Idle;
        if (b == ctl::kStx) {
            text_.clear();
            st_ = St::Text;
        } else if (b == ctl::kEnq) {
            if (!pending_.empty())
                SendReply(faults_, pending_, out);
            else
                ++stats_.outOfTurn;
            pending_.clear();
        } else if (b == ctl::kEot) {
            pending_.clear();
            ++stats_.aborts;
        } else {
            ++stats_.strayBytes;
        }
        return;
    case St::Text:
        if (b == ctl::kDle) {
            st_ = St::TextDle;
        } else if (text_.size() < kMaxText) {
            text_.push_back(b);
        } else {
            ++stats_.badFrames;
            st_ = St::Idle;
        }
        return;
    case St::TextDle:
        if (b == ctl::kDle && text_.size() < kMaxText) {
            text_.push_back(b);
            st_ = St::Text;
        } else if (b == ctl::kEtx) {
            st_ = St::Bcc;
        } else if (b == ctl::kStx) {
            text_.clear(); // the host started over
            ++stats_.cutFrames;
            st_ = St::Text;
        } else {
            ++stats_.badFrames;
            out.insert(out.end(), {ctl::kDle, ctl::kNak});
            st_ = St::Idle;
        }
        return;
    case St::Bcc:
        st_ = St::Idle;
        OnFrame(b, out);
        return;
    case St::ModHead:
        mod_.push_back(b);
        if (mod_.size() == 3) {
            const size_t len = static_cast<size_t>(mod_[1] << 8 | mod_[2]);
            if (len == 0 || len > kMaxText) {
                stats_.strayBytes += 3;
                st_ = St::Idle;
                return;
            }
            modNeed_ = len + 5;
            st_ = St::ModBody;
        }
        return;
    case St::ModBody:
        mod_.push_back(b);
        if (mod_.size() == modNeed_) {
            st_ = St::Idle;
            OnModuleFrame(out);
        }
        return;
    case St::ModEnq:
        st_ = St::Idle;
        if (b != ctl::kModuleAddr) {
            OnByte(b, out);
            return;
        }
        if (module_.present && !modPending_.empty())
            SendReply(module_.faults, modPending_, out);
        else if (module_.present)
            ++stats_.outOfTurn;
        modPending_.clear();
        return;
    }
}

void FamilyA::OnFrame(uint8_t bcc, Bytes& out) {
    if (bcc != (XorOf(text_.data(), text_.size()) ^ ctl::kEtx)) {
        ++stats_.badFrames;
        out.insert(out.end(), {ctl::kDle, ctl::kNak});
        return;
    }
    switch (AdmitFrame(faults_, text_, false)) {
    case Admit::Ignore:
        return;
    case Admit::Refuse:
        out.insert(out.end(), {ctl::kDle, ctl::kNak});
        return;
    case Admit::Answer:
        out.insert(out.end(), {ctl::kDle, ctl::kAck});
        if (!pending_.empty())
            ++stats_.outOfTurn; // the last reply was never fetched
        pending_ = FrameA(Execute(text_));
        return;
    case Admit::AnswerNoReply:
        out.insert(out.end(), {ctl::kDle, ctl::kAck});
        Execute(text_);
        pending_.clear();
        return;
    }
}

void FamilyA::OnModuleFrame(Bytes& out) {
    const size_t len = modNeed_ - 5;
    if (mod_[3] != ctl::kModuleAddr || !module_.present)
        return; // not for the module, or no module on the line
    if (mod_[3 + len] != ctl::kEtx || mod_[4 + len] != XorOf(mod_.data(), 4 + len)) {
        ++stats_.badFrames;
        out.insert(out.end(), {ctl::kNak, ctl::kModuleAddr});
        return;
    }
    Bytes text(mod_.begin() + 4, mod_.begin() + 3 + static_cast<long>(len));
    switch (AdmitFrame(module_.faults, text, true)) {
    case Admit::Ignore:
        return;
    case Admit::Refuse:
        out.insert(out.end(), {ctl::kNak, ctl::kModuleAddr});
        return;
    case Admit::Answer:
        out.insert(out.end(), {ctl::kAck, ctl::kModuleAddr});
        if (!modPending_.empty())
            ++stats_.outOfTurn; // the last reply was never fetched
        modPending_ = FrameModule(ExecuteModule(text));
        return;
    case Admit::AnswerNoReply:
        out.insert(out.end(), {ctl::kAck, ctl::kModuleAddr});
        ExecuteModule(text);
        modPending_.clear();
        return;
    }
}

// --- replies ------------------------------------------------------------------

// "C11" data: d[0..3] "0000" when all is well; d[5] '1' when the reader
// holds no card; d[6] '1' when a card is fully inside; d[7] '1' when a card
// is at the gate or inside; d[8] '1' while the chip is powered.
std::string FamilyA::Sensors() const {
    const CardPosition p = model_.Position();
    std::string d = model_.jam ? "0100" : "0000";
    d += '0';
    d += model_.Present() ? '0' : '1';
    d += p == CardPosition::Inside ? '1' : '0';
    d += model_.Present() ? '1' : '0';
    d += model_.active != ChipKind::None ? '1' : '0';
    return d;
}

// "CM0" data: fourteen counters of eight digits: cards taken in, ejects,
// retains, track reads, track writes, chip activations, six spare, resets,
// retain bin.
std::string FamilyA::LifeCounters() const {
    const Counters& c = model_.counters;
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
    ReaderModel& m = model_;
    if (s.size() < 3 || s[0] != 'C')
        return Ng(cmd, kUndefined);

    if (s.size() == 3 && s[1] == '0') { // reset: '0' eject, '1' retain, '2' keep the card
        if (s[2] < '0' || s[2] > '2')
            return Ng(cmd, kBadParam);
        if (m.jam)
            return Ng(cmd, kJam);
        m.DisableEntry();
        m.contacts = false;
        m.ChipOff();
        t1In_.clear();
        t1Out_.clear();
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
    for (int i = 0; i < 5; ++i) {
        if (s != kEntry[i])
            continue;
        if (m.jam)
            return Ng(cmd, kJam);
        if (!m.Inside())
            m.EnableEntry(i + 1, now_);
        return Ok(cmd);
    }
    if (s == "C30" || s == "C41") {
        if (m.jam)
            return Ng(cmd, kJam);
        m.DisableEntry();
        if (s == "C30")
            m.Eject();
        else
            m.Retain();
        return Ok(cmd);
    }
    if (s == "CQ0")
        return Ok(cmd, Digits(m.counters.retainBin, 3));
    if (s == "CQ1") {
        m.counters.retainBin = 0;
        return Ok(cmd);
    }
    if (s == "CV0") {
        const Options& o = m.options();
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
        const Card& c = m.card();
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
    ReaderModel& m = model_;
    Card& card = m.card();
    const bool processor = m.active == ChipKind::ProcessorT0 || m.active == ChipKind::ProcessorT1;
    auto activate = [&](ChipKind kind) {
        m.contacts = true;
        m.active = kind;
        m.chip.Reset();
        ++m.counters.chipActivations;
        return Ok(cmd, card.Answer());
    };

    if (s == "CC0") {
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        m.contacts = true;
        return Ok(cmd);
    }
    if (s == "CC2") {
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        if (card.chip != ChipKind::ProcessorT0 && card.chip != ChipKind::ProcessorT1)
            return Ng(cmd, kNoChip);
        return activate(card.chip);
    }
    if (s == "Ce11") {
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        return card.chip == ChipKind::Passive ? activate(ChipKind::Passive) : Ng(cmd, kNoChip);
    }
    if (s.size() == 4 && StartsWith(s, "Cm2")) {
        const int slot = s[3] - '0';
        if (slot < 0 || slot > 5)
            return Ng(cmd, kBadParam);
        if (!m.Inside())
            return Ng(cmd, kNotPossible);
        if (card.chip != ChipKind::Memory || card.memorySlot != slot)
            return Ng(cmd, kNoChip);
        return activate(ChipKind::Memory);
    }
    if (s == "CC6" || s == "Ce21" || s == "Cm6") {
        m.ChipOff();
        t1In_.clear();
        t1Out_.clear();
        return Ok(cmd);
    }
    if (s == "CE10") { // warm reset: a protocol character, then the answer-to-reset
        if (!processor)
            return Ng(cmd, kNotPossible);
        m.chip.Reset();
        Bytes d{static_cast<uint8_t>(m.active == ChipKind::ProcessorT1 ? '1' : '0')};
        Bytes atr = card.Answer();
        d.insert(d.end(), atr.begin(), atr.end());
        return Ok(cmd, d);
    }
    if (s == "Ce411") { // three header characters, then the answer
        if (m.active != ChipKind::Passive)
            return Ng(cmd, kNotPossible);
        Bytes d = ToBytes("000");
        Bytes atr = card.Answer();
        d.insert(d.end(), atr.begin(), atr.end());
        return Ok(cmd, d);
    }
    const Bytes body(cmd.begin() + 3, cmd.end());
    if (StartsWith(s, "Cm7")) {
        if (m.active != ChipKind::Memory)
            return Ng(cmd, kNotPossible);
        return Ok(cmd, m.chip.MemoryCommand(card, body));
    }
    if (StartsWith(s, "CF0")) {
        if (m.active != ChipKind::ProcessorT0)
            return Ng(cmd, kNotPossible);
        return Ok(cmd, m.chip.Apdu(card, body));
    }
    if (StartsWith(s, "CF1") || StartsWith(s, "CF2")) {
        if (m.active != ChipKind::ProcessorT1)
            return Ng(cmd, kNotPossible);
        if (t1In_.size() + body.size() > 4096)
            return Ng(cmd, kBadParam);
        t1In_.insert(t1In_.end(), body.begin(), body.end());
        if (s[2] == '2')
            return Ok(cmd);
        t1Out_ = m.chip.Apdu(card, t1In_);
        t1In_.clear();
        return NextChipPiece(cmd);
    }
    if (s == "CF3")
        return t1Out_.empty() ? Ng(cmd, kNotPossible) : NextChipPiece(cmd);
    return Ng(cmd, kUndefined);
}

// A long T=1 reply goes out in pieces of kChipPiece bytes with status "21";
// each such piece carries one byte more, the first byte of the next piece,
// which the host drops before it asks for the rest with "CF3".
Bytes FamilyA::NextChipPiece(const Bytes& cmd) {
    if (t1Out_.size() <= kChipPiece) {
        Bytes d;
        d.swap(t1Out_);
        return Ok(cmd, d);
    }
    Bytes d(t1Out_.begin(), t1Out_.begin() + kChipPiece + 1);
    t1Out_.erase(t1Out_.begin(), t1Out_.begin() + kChipPiece);
    return Reply(cmd, 'P', "21", d);
}

// --- auxiliary module ---------------------------------------------------------

// Reply text: kind, the two command characters, data ('N': the error byte).
// "Q0" data, characters 3 to 7 of the text: "11" when the module is jammed
// (else "00"), '1' while it has cards to feed, '1' (box present), '1' once
// "01" initialised it.
Bytes FamilyA::ExecuteModule(const Bytes& cmd) {
    auto reply = [&](char kind, const std::string& data) {
        Bytes r{static_cast<uint8_t>(kind)};
        r.push_back(cmd.size() > 0 ? cmd[0] : ' ');
        r.push_back(cmd.size() > 1 ? cmd[1] : ' ');
        r.insert(r.end(), data.begin(), data.end());
        return r;
    };
    auto error = [&](uint8_t code) { return reply('N', std::string(1, static_cast<char>(code))); };
    Forced forced;
    if (TakeForced(cmd, forced))
        return reply(forced.kind, forced.status);
    const std::string s = ToText(cmd);
    AuxModule& mod = module_;
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
        if (mod.stock <= 0 || model_.Present())
            return error(0x03);
        --mod.stock;
        mod.mode = 1;
        model_.InsertCard(now_);
        model_.EnableEntry(6, now_);
        return reply('P', "");
    }
    return error(0x00);
}

} // namespace quillon::emu
