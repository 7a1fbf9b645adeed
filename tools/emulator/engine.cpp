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

ReaderModel::ReaderModel(const Options& o) : opt_(o), card_(Card::Default()) {}

void ReaderModel::InsertCard(Millis now) {
    if (Present())
        return;
    pos_ = CardPosition::Gate;
    if (EntryEnabled()) {
        entryPending_ = true;
        entryDue_ = now + opt_.entryDelay;
        Advance(now);
    }
}

bool ReaderModel::RemoveCard() {
    if (pos_ != CardPosition::Gate)
        return false;
    pos_ = CardPosition::None;
    entryPending_ = false;
    return true;
}

void ReaderModel::PlaceCard(CardPosition p) {
    pos_ = p;
    entryPending_ = false;
    if (p != CardPosition::Inside)
        CardLeaves();
}

void ReaderModel::EnableEntry(int mode, Millis now) {
    entryMode_ = mode;
    if (!Present() && opt_.autoInsert)
        pos_ = CardPosition::Gate;
    if (pos_ == CardPosition::Gate && !entryPending_) {
        entryPending_ = true;
        entryDue_ = now + opt_.entryDelay;
    }
    Advance(now);
}

void ReaderModel::DisableEntry() {
    entryMode_ = 0;
    entryPending_ = false;
}

void ReaderModel::Advance(Millis now) {
    if (entryPending_ && opt_.entryDelay != kForever && now >= entryDue_)
        Enter();
}

bool ReaderModel::LetCardIn() {
    if (!entryPending_)
        return false;
    Enter();
    return Inside();
}

void ReaderModel::Enter() {
    entryPending_ = false;
    if (pos_ != CardPosition::Gate)
        return;
    pos_ = CardPosition::Inside;
    entryMode_ = 0;
    ++counters.cardsIn;
}

bool ReaderModel::Eject() {
    if (pos_ != CardPosition::Inside)
        return false;
    pos_ = CardPosition::Gate;
    ++counters.ejects;
    CardLeaves();
    return true;
}

bool ReaderModel::Retain() {
    if (!Present())
        return false;
    pos_ = CardPosition::Retained;
    entryPending_ = false;
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

Engine::Engine(const Options& o) : model_(o) {}

Bytes Engine::Feed(const uint8_t* p, size_t n, Millis now) {
    now_ = now;
    model_.Advance(now);
    if (n > 0 && now - lastByte_ >= kFrameGap)
        DropPartialFrame();
    if (n > 0)
        lastByte_ = now;
    Bytes out;
    for (size_t i = 0; i < n; ++i)
        OnByte(p[i], out);
    return out;
}

void Engine::ForceReply(const std::string& command, char kind, const std::string& status,
                        int times) {
    forced_.push_back({command, Forced{kind, status, times}});
}

bool Engine::TakeForced(const Bytes& text, Forced& f) {
    for (auto it = forced_.begin(); it != forced_.end(); ++it) {
        const std::string& key = it->first;
        if (text.size() < key.size() || !std::equal(key.begin(), key.end(), text.begin()))
            continue;
        f = it->second;
        Take(it->second.times);
        if (it->second.times == 0)
            forced_.erase(it);
        return true;
    }
    return false;
}

Engine::Admit Engine::AdmitFrame(Faults& f, const Bytes& text, bool module) {
    ++stats_.frames;
    if (Take(f.silent)) {
        ++stats_.ignored;
        return Admit::Ignore;
    }
    if (Take(f.refuse)) {
        ++stats_.refused;
        return Admit::Refuse;
    }
    log_.push_back(Received{now_, module, ToText(text)});
    return Take(f.noReply) ? Admit::AnswerNoReply : Admit::Answer;
}

void Engine::SendReply(Faults& f, Bytes frame, Bytes& out) {
    if (frame.empty())
        return;
    if (Take(f.corruptCheck))
        frame.back() ^= 0xFF;
    if (Take(f.dropByte))
        frame.erase(frame.begin() + static_cast<long>(frame.size() / 2));
    ++stats_.replies;
    out.insert(out.end(), frame.begin(), frame.end());
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
