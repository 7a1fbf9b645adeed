#include "family_b.h"

namespace quillon::emu {

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

} // namespace quillon::emu
