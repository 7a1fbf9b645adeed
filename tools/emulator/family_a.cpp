#include "family_a.h"

namespace quillon::emu {

FamilyA::FamilyA(const Options& o) : TextReplyEngine(o) {
    m_module.present = o.modulePresent;
    m_module.stock = o.moduleStock;
}

// --- line ---------------------------------------------------------------------

void FamilyA::OnByte(uint8_t b, Bytes& out) {
    switch (m_st) {
    case St::Idle:
        return OnIdle(b);
    case St::Dle:
        return OnDle(b, out);
    case St::Text:
        return OnText(b);
    case St::TextDle:
        return OnTextDle(b, out);
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

void FamilyA::OnIdle(uint8_t b) {
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
}

void FamilyA::OnDle(uint8_t b, Bytes& out) {
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
}

void FamilyA::OnText(uint8_t b) {
    if (b == ctl::kDle) {
        m_st = St::TextDle;
    } else if (m_text.size() < kMaxText) {
        m_text.push_back(b);
    } else {
        ++m_stats.badFrames;
        m_st = St::Idle;
    }
}

void FamilyA::OnTextDle(uint8_t b, Bytes& out) {
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
