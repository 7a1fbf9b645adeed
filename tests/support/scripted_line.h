// A scripted serial line for tests. It records every byte sent, every read
// (count wanted and time-out asked for), every line-control call and purge,
// and answers from a script: "nothing arrived" comes back at once.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dev_base.h"
#include "platform/serial_line.h"

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> bytes);
Bytes B(const std::string& text);
Bytes Cat(std::initializer_list<Bytes> parts);
std::string Hex(const Bytes& bytes);

struct LineEvent {
    enum Kind { Open, Close, Write, Read, Purge, LineControl } kind;
    Bytes data;             // Write: bytes sent; Read: bytes delivered
    uint32_t uiValue = 0;   // Read: time-out asked; LineControl: function
    size_t uiWanted = 0;    // Read: count wanted
};

struct LineScript {
    // Each write takes the next entry (an empty one answers nothing) and makes
    // its bytes readable, unless a responder is set, which then answers.
    std::deque<Bytes> replies;
    std::function<Bytes(const Bytes& written)> responder;
    Bytes pending; // readable now
    bool bFailOpen = false;
    bool bFailWrite = false;

    std::vector<LineEvent> events;
    tCommCfg2 lastCfg{};
    int iOpenCount = 0;
    std::mutex mutex;

    // Queue the answer to the next write.
    void vOnWrite(const Bytes& answer) { replies.push_back(answer); }
    void vFeed(const Bytes& bytes) { pending.insert(pending.end(), bytes.begin(), bytes.end()); }

    std::vector<Bytes> Writes() const;
    std::vector<uint32_t> ReadTimeouts() const; // reads that got nothing included
    std::vector<uint32_t> LineControls() const;
    int Purges() const;
    void vClear();
};

class OScriptedLine : public OSerialLine {
public:
    explicit OScriptedLine(std::shared_ptr<LineScript> script) : m_script(std::move(script)) {}
    int iOpen(const tCommCfg2& cfg) override;
    void vClose() override;
    int iWrite(const uint8_t* pData, size_t uiLen) override;
    int iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t uiTimeoutMs) override;
    int iLineControl(uint32_t uiFunc) override;
    void vPurgeInput() override;

private:
    std::shared_ptr<LineScript> m_script;
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
    SerialLineFactory m_previous;
};
