#include "sim_card.h"

#include <algorithm>

namespace quillon::emu {

namespace {

Bytes Sw(uint8_t sw1, uint8_t sw2) {
    return Bytes{sw1, sw2};
}

// Processor-card answer-to-reset: TS 3B, T0 with TB1 and TC1 present and
// the historical bytes, for T=1 also TD1, TD2, TA3 (IFSC), TB3 and TCK.
Bytes ProcessorAtr(bool t1) {
    static const char kHistorical[] = "QUILLON01";
    Bytes atr{0x3B};
    const size_t k = sizeof kHistorical - 1;
    if (!t1) {
        atr.push_back(static_cast<uint8_t>(0x60 | k)); // TB1, TC1
        atr.insert(atr.end(), {0x00, 0x00});
        atr.insert(atr.end(), kHistorical, kHistorical + k);
        return atr;
    }
    atr.push_back(static_cast<uint8_t>(0xE0 | k)); // TB1, TC1, TD1
    atr.insert(atr.end(), {0x00, 0x00, 0x81, 0x31, 0xFE, 0x45});
    atr.insert(atr.end(), kHistorical, kHistorical + k);
    atr.push_back(XorOf(atr.data() + 1, atr.size() - 1)); // TCK over T0..last
    return atr;
}

Bytes TlvOf(uint8_t tag, const Bytes& value) {
    Bytes t;
    t.reserve(value.size() + 2);
    t.push_back(tag);
    t.push_back(static_cast<uint8_t>(value.size()));
    for (uint8_t b : value)
        t.push_back(b);
    return t;
}

} // namespace

Card Card::Default() {
    Card c;
    c.track1 = "%B4000001234567899^DOE/JOHN^30121010000000000000?";
    c.track2 = ";4000001234567899=30121010000000000?";
    c.track3 = ";014000001234567899=724724100000000000030300000010000000000000000000000000000?";
    c.chip = ChipKind::ProcessorT0;
    c.memory.resize(256);
    for (size_t i = 0; i < c.memory.size(); ++i)
        c.memory[i] = static_cast<uint8_t>(i);
    c.apps.push_back({Bytes{0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10}, "VISA CREDIT"});
    c.apps.push_back({ToBytes("1PAY.SYS.DDF01"), ""});
    return c;
}

Bytes Card::DefaultAtr(ChipKind kind, int memorySlot) {
    switch (kind) {
    case ChipKind::ProcessorT0:
        return ProcessorAtr(false);
    case ChipKind::ProcessorT1:
        return ProcessorAtr(true);
    case ChipKind::Passive:
        return Bytes{0x3B, 0x02, 0x14, 0x50};
    case ChipKind::Memory:
        if (memorySlot == 0)
            return Bytes{0xA2, 0x13, 0x10, 0x91}; // 256-byte memory with PIN
        if (memorySlot == 1)
            return Bytes{0x92, 0x23, 0x10, 0x91}; // 1K memory with PIN
        return Bytes{0xFF, 0xFF, 0xFF, 0xFF};     // no answer-to-reset
    case ChipKind::None:
        break;
    }
    return Bytes{};
}

Bytes Card::Answer() const {
    return atr.empty() ? DefaultAtr(chip, memorySlot) : atr;
}

Bytes ChipSim::Fci(const CardApp& app) const {
    Bytes prop;
    if (!app.label.empty())
        prop = TlvOf(0x50, ToBytes(app.label));
    prop.insert(prop.end(), {0x87, 0x01, 0x01}); // priority
    Bytes body = TlvOf(0x84, app.aid);
    Bytes a5 = TlvOf(0xA5, prop);
    body.insert(body.end(), a5.begin(), a5.end());
    return TlvOf(0x6F, body);
}

const ChipSim::InsRow ChipSim::kInstructions[] = {
    {0xA4, &ChipSim::Select},
    {0xC0, &ChipSim::GetResponse},
    {0x84, &ChipSim::GetChallenge},
    {0xB0, &ChipSim::ReadBinary},
};

Bytes ChipSim::Apdu(const Card& card, const Bytes& cmd) {
    if (cmd.size() < 4)
        return Sw(0x67, 0x00);
    const uint8_t cla = cmd[0], ins = cmd[1];
    if (ins != 0xC0)
        m_pending.clear();
    if (cla != 0x00 && cla != 0x80)
        return Sw(0x6E, 0x00);

    // Case 2 (Le only) and case 4 (Lc, data, optional Le).
    const size_t le = cmd.size() >= 5 ? (cmd[4] ? cmd[4] : 256) : 256;
    for (const InsRow& r : kInstructions)
        if (r.ins == ins)
            return (this->*r.run)(card, cmd, le);
    return Sw(0x6D, 0x00);
}

// SELECT by name: the application whose identifier starts with the name.
Bytes ChipSim::Select(const Card& card, const Bytes& cmd, size_t) {
    if (cmd[2] != 0x04)
        return Sw(0x6A, 0x86);
    if (cmd.size() < 5 || cmd.size() < 5u + cmd[4])
        return Sw(0x67, 0x00);
    Bytes name(cmd.begin() + 5, cmd.begin() + 5 + cmd[4]);
    for (const CardApp& app : card.apps) {
        if (name.empty() || name.size() > app.aid.size() ||
            !std::equal(name.begin(), name.end(), app.aid.begin()))
            continue;
        Bytes fci = Fci(app);
        if (card.chip == ChipKind::ProcessorT0) {
            m_pending = fci;
            return Sw(0x61, static_cast<uint8_t>(fci.size()));
        }
        fci.insert(fci.end(), {0x90, 0x00});
        return fci;
    }
    return Sw(0x6A, 0x82);
}

Bytes ChipSim::GetResponse(const Card&, const Bytes&, size_t le) {
    if (m_pending.empty())
        return Sw(0x69, 0x85);
    if (le > m_pending.size())
        return Sw(0x6C, static_cast<uint8_t>(m_pending.size()));
    Bytes out(m_pending.begin(), m_pending.begin() + static_cast<long>(le));
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(le));
    if (m_pending.empty())
        out.insert(out.end(), {0x90, 0x00});
    else
        out.insert(out.end(),
                   {0x61, static_cast<uint8_t>(std::min<size_t>(m_pending.size(), 255))});
    return out;
}

// GET CHALLENGE: 4 or 8 bytes.
Bytes ChipSim::GetChallenge(const Card&, const Bytes&, size_t le) {
    if (le != 4 && le != 8)
        return Sw(0x6C, 0x08);
    Bytes out;
    for (size_t i = 0; i < le; ++i) {
        m_challenge = m_challenge * 1103515245u + 12345u;
        out.push_back(static_cast<uint8_t>(m_challenge >> 16));
    }
    out.insert(out.end(), {0x90, 0x00});
    return out;
}

// READ BINARY of a 256-byte file: byte i holds i.
Bytes ChipSim::ReadBinary(const Card&, const Bytes& cmd, size_t le) {
    const size_t offset = static_cast<size_t>((cmd[2] & 0x7F) << 8 | cmd[3]);
    if (offset >= 256)
        return Sw(0x6B, 0x00);
    const size_t avail = 256 - offset;
    if (le > avail)
        return Sw(0x6C, static_cast<uint8_t>(avail));
    Bytes out;
    for (size_t i = 0; i < le; ++i)
        out.push_back(static_cast<uint8_t>(offset + i));
    out.insert(out.end(), {0x90, 0x00});
    return out;
}

Bytes ChipSim::MemoryCommand(Card& card, const Bytes& cmd) {
    if (card.memory.size() < 256)
        card.memory.resize(256);
    if (cmd.size() >= 3 && cmd[0] == 0x30) {
        const size_t addr = cmd[1];
        const size_t n = cmd[2] ? std::min<size_t>(cmd[2], 256 - addr) : 256 - addr;
        return Bytes(card.memory.begin() + static_cast<long>(addr),
                     card.memory.begin() + static_cast<long>(addr + n));
    }
    if (cmd.size() >= 3 && cmd[0] == 0x38)
        card.memory[cmd[1]] = cmd[2];
    return Bytes{};
}

} // namespace quillon::emu
