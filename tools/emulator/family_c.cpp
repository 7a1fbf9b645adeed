#include "family_c.h"

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

} // namespace quillon::emu
