#include "engine.h"

#include <algorithm>

#include "family_a.h"
#include "family_b.h"
#include "family_c.h"

namespace quillon::emu {

namespace {
// Uses up one application of a fault count; false when none is left.
bool Take(int& n) {
    if (n == 0)
        return false;
    if (n > 0)
        --n;
    return true;
}
} // namespace

const char* Name(CardPosition p) {
    switch (p) {
    case CardPosition::None:
        return "none";
    case CardPosition::Gate:
        return "gate";
    case CardPosition::Inside:
        return "inside";
    case CardPosition::Retained:
        return "retained";
    }
    return "?";
}

std::string Digits(uint64_t value, int width) {
    std::string s(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i) {
        s[static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return s;
}

// --- card mechanics -----------------------------------------------------------

ReaderModel::ReaderModel(const Options& o) : m_opt(o), m_card(Card::Default()) {}

void ReaderModel::InsertCard(Millis now) {
    if (Present())
        return;
    m_pos = CardPosition::Gate;
    if (EntryEnabled()) {
        m_entryPending = true;
        m_entryDue = now + m_opt.entryDelay;
        Advance(now);
    }
}

bool ReaderModel::RemoveCard() {
    if (m_pos != CardPosition::Gate)
        return false;
    m_pos = CardPosition::None;
    m_entryPending = false;
    return true;
}

void ReaderModel::PlaceCard(CardPosition p) {
    m_pos = p;
    m_entryPending = false;
    if (p != CardPosition::Inside)
        CardLeaves();
}

void ReaderModel::EnableEntry(int mode, Millis now) {
    m_entryMode = mode;
    if (!Present() && m_opt.autoInsert)
        m_pos = CardPosition::Gate;
    if (m_pos == CardPosition::Gate && !m_entryPending) {
        m_entryPending = true;
        m_entryDue = now + m_opt.entryDelay;
    }
    Advance(now);
}

void ReaderModel::DisableEntry() {
    m_entryMode = 0;
    m_entryPending = false;
}

void ReaderModel::Advance(Millis now) {
    if (m_entryPending && m_opt.entryDelay != kForever && now >= m_entryDue)
        Enter();
}

bool ReaderModel::LetCardIn() {
    if (!m_entryPending)
        return false;
    Enter();
    return Inside();
}

void ReaderModel::Enter() {
    m_entryPending = false;
    if (m_pos != CardPosition::Gate)
        return;
    m_pos = CardPosition::Inside;
    m_entryMode = 0;
    ++counters.cardsIn;
}

bool ReaderModel::Eject() {
    if (m_pos != CardPosition::Inside)
        return false;
    m_pos = CardPosition::Gate;
    ++counters.ejects;
    CardLeaves();
    return true;
}

bool ReaderModel::Retain() {
    if (!Present())
        return false;
    m_pos = CardPosition::Retained;
    m_entryPending = false;
    ++counters.retains;
    ++counters.retainBin;
    CardLeaves();
    return true;
}

void ReaderModel::CardLeaves() {
    contacts = false;
    ChipOff();
}

// --- engine -------------------------------------------------------------------

Engine::Engine(const Options& o) : m_model(o) {}

Bytes Engine::Feed(const uint8_t* p, size_t n, Millis now) {
    m_now = now;
    m_model.Advance(now);
    if (n > 0 && now - m_lastByte >= kFrameGap)
        DropPartialFrame();
    if (n > 0)
        m_lastByte = now;
    Bytes out;
    for (size_t i = 0; i < n; ++i)
        OnByte(p[i], out);
    return out;
}

void Engine::ForceReply(const std::string& command, char kind, const std::string& status,
                        int times) {
    m_forced.push_back({command, Forced{kind, status, times}});
}

bool Engine::TakeForced(const Bytes& text, Forced& f) {
    for (auto it = m_forced.begin(); it != m_forced.end(); ++it) {
        const std::string& key = it->first;
        if (text.size() < key.size() || !std::equal(key.begin(), key.end(), text.begin()))
            continue;
        f = it->second;
        Take(it->second.times);
        if (it->second.times == 0)
            m_forced.erase(it);
        return true;
    }
    return false;
}

Engine::Admit Engine::AdmitFrame(Faults& f, const Bytes& text, bool module) {
    ++m_stats.frames;
    if (Take(f.silent)) {
        ++m_stats.ignored;
        return Admit::Ignore;
    }
    if (Take(f.refuse)) {
        ++m_stats.refused;
        return Admit::Refuse;
    }
    m_log.push_back(Received{m_now, module, ToText(text)});
    return Take(f.noReply) ? Admit::AnswerNoReply : Admit::Answer;
}

void Engine::SendReply(Faults& f, Bytes frame, Bytes& out) {
    if (frame.empty())
        return;
    if (Take(f.corruptCheck))
        frame.back() ^= 0xFF;
    if (Take(f.dropByte))
        frame.erase(frame.begin() + static_cast<long>(frame.size() / 2));
    ++m_stats.replies;
    out.insert(out.end(), frame.begin(), frame.end());
}

void Engine::SendPending(Faults& f, Bytes& pending, Bytes& out) {
    if (!pending.empty())
        SendReply(f, pending, out);
    else
        ++m_stats.outOfTurn;
    pending.clear();
}

Bytes Engine::EchoReply(const Bytes& cmd, char kind, const Bytes& data) {
    Bytes r{static_cast<uint8_t>(kind)};
    r.push_back(cmd.size() > 0 ? cmd[0] : ' ');
    r.push_back(cmd.size() > 1 ? cmd[1] : ' ');
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

LengthFrame::Got LengthFrame::Feed(uint8_t b, size_t uiMinLen, size_t uiMaxLen) {
    m_bytes.push_back(b);
    if (m_bytes.size() == 3) {
        const size_t n = static_cast<size_t>(m_bytes[1] << 8 | m_bytes[2]);
        if (n < uiMinLen || n > uiMaxLen)
            return Got::BadLength;
        m_need = n + 5;
    }
    return m_bytes.size() > 3 && m_bytes.size() == m_need ? Got::Whole : Got::More;
}

std::unique_ptr<Engine> MakeEngine(Family f, const Options& o) {
    switch (f) {
    case Family::A:
        return std::make_unique<FamilyA>(o);
    case Family::B:
        return std::make_unique<FamilyB>(o);
    case Family::C:
        return std::make_unique<FamilyC>(o);
    }
    return nullptr;
}

} // namespace quillon::emu
