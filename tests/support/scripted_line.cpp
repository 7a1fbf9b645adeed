#include "support/scripted_line.h"

#include <algorithm>

#include "support/virtual_clock.h"

using namespace quillon;

Bytes B(std::initializer_list<int> bytes) {
    Bytes out;
    for (int b : bytes)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<Bytes> LineScript::Writes() const {
    std::vector<Bytes> out;
    for (const LineEvent& e : events)
        if (e.kind == LineEvent::Write)
            out.push_back(e.data);
    return out;
}

std::vector<uint32_t> LineScript::ValuesOf(LineEvent::Kind eKind) const {
    std::vector<uint32_t> out;
    for (const LineEvent& e : events)
        if (e.kind == eKind)
            out.push_back(e.uiValue);
    return out;
}

void LineScript::vClear() {
    events.clear();
    replies.clear();
    pending.clear();
    inFlight.clear();
}

void LineScript::vHangUp() {
    ++iHangUps;
    bGone = true;
    pending.clear();
    inFlight.clear();
}

uint64_t LineScript::uiNowMs() const {
    return pClock ? pClock->uiNow() : uiOwnNowMs;
}

void LineScript::vAdvance(uint64_t uiMs) {
    if (pClock)
        pClock->vAdvance(uiMs);
    else
        uiOwnNowMs += uiMs;
}

void LineScript::vSend(const Bytes& answer) {
    uint64_t at = uiNowMs() + uiReplyDelayMs;
    if (!inFlight.empty())
        at = std::max(at, inFlight.back().first + uiDripMs); // after what is still coming
    for (uint8_t b : answer) {
        inFlight.emplace_back(at, b);
        at += uiDripMs;
    }
}

void LineScript::vArrive() {
    const uint64_t now = uiNowMs();
    while (!inFlight.empty() && inFlight.front().first <= now) {
        pending.push_back(inFlight.front().second);
        inFlight.pop_front();
    }
}

int OScriptedLine::iOpen(const tLineSettings& settings) {
    std::lock_guard<std::mutex> lock(m_script->mutex);
    m_script->events.push_back({LineEvent::Open, {}, 0, 0});
    m_script->lastSettings = settings;
    if (m_script->bFailOpen || m_script->bGone)
        return 1;
    m_iConnection = m_script->iHangUps;
    ++m_script->iOpenCount;
    return 0;
}

void OScriptedLine::vClose() {
    std::lock_guard<std::mutex> lock(m_script->mutex);
    m_script->events.push_back({LineEvent::Close, {}, 0, 0});
}

int OScriptedLine::iWrite(const uint8_t* pData, size_t uiLen) {
    std::lock_guard<std::mutex> lock(m_script->mutex);
    Bytes sent(pData, pData + uiLen);
    m_script->events.push_back({LineEvent::Write, sent, 0, 0});
    if (bBroken())
        return kHungUp;
    if (m_script->bFailWrite)
        return 1;
    Bytes answer;
    if (m_script->responder) {
        answer = m_script->responder(sent);
    } else if (!m_script->replies.empty()) {
        answer = m_script->replies.front();
        m_script->replies.pop_front();
    }
    if (!bBroken()) // a responder may pull the plug: the bytes went out, no answer comes
        m_script->vSend(answer);
    return 0;
}

int OScriptedLine::iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t uiTimeoutMs) {
    std::lock_guard<std::mutex> lock(m_script->mutex);
    LineScript& s = *m_script;
    uiGot = 0;
    if (bBroken()) {
        s.events.push_back({LineEvent::Read, {}, uiTimeoutMs, uiWant});
        return kHungUp;
    }
    s.vArrive();
    if (s.pending.empty() && !s.inFlight.empty() &&
        s.inFlight.front().first <= s.uiNowMs() + uiTimeoutMs) {
        s.vAdvance(s.inFlight.front().first - s.uiNowMs()); // wait for the first byte
        s.vArrive();
    }
    if (s.pending.empty()) {
        s.vAdvance(uiTimeoutMs); // the whole time-out passes in silence
        s.events.push_back({LineEvent::Read, {}, uiTimeoutMs, uiWant});
        return 1;
    }
    const size_t n = std::min(uiWant, s.pending.size());
    Bytes got(s.pending.begin(), s.pending.begin() + static_cast<long>(n));
    std::copy(got.begin(), got.end(), pBuf);
    s.pending.erase(s.pending.begin(), s.pending.begin() + static_cast<long>(n));
    s.events.push_back({LineEvent::Read, got, uiTimeoutMs, uiWant});
    uiGot = n;
    return 0;
}

int OScriptedLine::iSetModemLine(ModemLine eLine, bool bRaise) {
    std::lock_guard<std::mutex> lock(m_script->mutex);
    const uint32_t uiCode = (eLine == ModemLine::Rts ? 3u : 5u) + (bRaise ? 0u : 1u);
    m_script->events.push_back({LineEvent::LineControl, {}, uiCode, 0});
    return bBroken() ? kHungUp : 0;
}

void OScriptedLine::vPurgeInput() {
    std::lock_guard<std::mutex> lock(m_script->mutex);
    m_script->events.push_back({LineEvent::Purge, {}, 0, 0});
    m_script->vArrive(); // what is still on its way arrives later
    m_script->pending.clear();
}

ScopedScriptedLine::ScopedScriptedLine() : m_script(std::make_shared<LineScript>()) {
    std::shared_ptr<LineScript> script = m_script;
    m_previous = OSerialLineFactory::fnReplace([script]() -> std::unique_ptr<OSerialLine> {
        return std::make_unique<OScriptedLine>(script);
    });
}

ScopedScriptedLine::~ScopedScriptedLine() {
    OSerialLineFactory::fnReplace(m_previous);
}
