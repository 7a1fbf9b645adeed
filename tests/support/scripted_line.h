// A scripted serial line for tests. It records every byte sent, every read
// (count wanted and time-out asked for), every line-control call and purge,
// and answers from a script. It is as hostile as a real line: an answer
// arrives some virtual milliseconds after the write that caused it and may
// drip in one byte at a time; a read that gets nothing costs its whole
// time-out; the line can hang up (every read and write of the connection
// fails, opening fails) and come back (a new opening works). Time runs on
// the VirtualClock given in pClock, or on the script's own counter.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "emulator/frames.h"
#include "platform/serial_line.h"

class VirtualClock;

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> bytes);
Bytes B(const std::string& text);
Bytes Cat(std::initializer_list<Bytes> parts);
using quillon::emu::Hex; // "10 02 43"

struct LineEvent {
    enum Kind { Open, Close, Write, Read, Purge, LineControl } kind;
    Bytes data; // Write: bytes sent; Read: bytes delivered
    // Read: time-out asked; LineControl: 3 RTS raised, 4 RTS cleared, 5 DTR
    // raised, 6 DTR cleared.
    uint32_t uiValue = 0;
    size_t uiWanted = 0; // Read: count wanted
};

struct LineScript {
    // Each write takes the next entry (an empty one answers nothing) and sends
    // its bytes on their way, unless a responder is set, which then answers.
    std::deque<Bytes> replies;
    std::function<Bytes(const Bytes& written)> responder;
    Bytes pending; // readable now
    bool bFailOpen = false;
    bool bFailWrite = false;

    // Timing of the answers to writes: the first byte arrives uiReplyDelayMs
    // after the write (never at once unless set to 0), each further byte
    // uiDripMs after the one before it.
    uint32_t uiReplyDelayMs = 1;
    uint32_t uiDripMs = 0;
    VirtualClock* pClock = nullptr; // the library's clock, advanced by the line

    std::vector<LineEvent> events;
    quillon::tLineSettings lastSettings{};
    int iOpenCount = 0;
    std::mutex mutex;

    // Queue the answer to the next write.
    void vOnWrite(const Bytes& answer) { replies.push_back(answer); }
    void vFeed(const Bytes& bytes) { pending.insert(pending.end(), bytes.begin(), bytes.end()); }
    // The device goes away: every connection opened so far fails from now on
    // (as on EIO), bytes on their way are lost, and opening fails until
    // vComeBack. May be called from a responder.
    void vHangUp();
    void vComeBack() { bGone = false; }

    std::vector<Bytes> Writes() const;
    // Reads' time-outs (reads that got nothing included), line-control functions.
    std::vector<uint32_t> ReadTimeouts() const { return ValuesOf(LineEvent::Read); }
    std::vector<uint32_t> LineControls() const { return ValuesOf(LineEvent::LineControl); }
    int Purges() const { return static_cast<int>(ValuesOf(LineEvent::Purge).size()); }
    void vClear();

    // The line's time in ms (the clock's when one is given).
    uint64_t uiNowMs() const;
    void vAdvance(uint64_t uiMs);
    // Bytes on their way and when each arrives.
    std::deque<std::pair<uint64_t, uint8_t>> inFlight;
    // Sends the answer to a write on its way.
    void vSend(const Bytes& answer);
    // Moves the bytes whose time has come to pending.
    void vArrive();

private:
    friend class OScriptedLine;
    std::vector<uint32_t> ValuesOf(LineEvent::Kind eKind) const;
    bool bGone = false;
    int iHangUps = 0;
    uint64_t uiOwnNowMs = 0;
};

class OScriptedLine : public quillon::OSerialLine {
public:
    explicit OScriptedLine(std::shared_ptr<LineScript> script)
        : m_script(std::move(script)), m_iConnection(m_script->iHangUps) {}
    int iOpen(const quillon::tLineSettings& settings) override;
    void vClose() override;
    int iWrite(const uint8_t* pData, size_t uiLen) override;
    int iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t uiTimeoutMs) override;
    int iSetModemLine(quillon::ModemLine eLine, bool bRaise) override;
    void vPurgeInput() override;

private:
    // The device hung up since this connection was opened.
    bool bBroken() const { return m_iConnection != m_script->iHangUps; }

    std::shared_ptr<LineScript> m_script;
    int m_iConnection; // the script's hang-up count when opened
};

// Puts a scripted line under every connection made while it lives.
class ScopedScriptedLine {
public:
    ScopedScriptedLine();
    ~ScopedScriptedLine();
    LineScript& operator*() { return *m_script; }
    LineScript* operator->() { return m_script.get(); }
    std::shared_ptr<LineScript> script() { return m_script; }

private:
    std::shared_ptr<LineScript> m_script;
    quillon::SerialLineFactory m_previous;
};
