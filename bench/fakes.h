// The readers the benchmarks talk to without any wire: an in-memory serial
// line whose far end is a reader emulator's engine (it answers at once), and
// a HID transport that answers each command with reports prepared in
// advance. Neither allocates once warmed up; the engine's own allocations
// are not counted as the library's.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine.h"
#include "platform/serial_line.h"
#include "transport/hid/hid_transport.h"

namespace bench {

// What crossed the in-memory line since the last Reset.
struct LineCount {
    uint64_t uiSent = 0;
    uint64_t uiDelivered = 0;
    uint64_t uiReads = 0;
};

// Every serial line made while this lives is an in-memory line on the
// engine. The engine lives here, so the card and the counters survive the
// library's reopening of the port. The engine's own work is not the
// library's: a benchmark records one pass of its loop (vRecord ... vReplay)
// and the timed loop is then answered from the recording, each write
// checked against the one recorded in its place (a write that differs goes
// to the engine and is counted as a miss).
class InMemoryReader {
public:
    explicit InMemoryReader(quillon::emu::Family family);
    ~InMemoryReader();
    InMemoryReader(const InMemoryReader&) = delete;
    InMemoryReader& operator=(const InMemoryReader&) = delete;

    quillon::emu::Engine& Engine() { return *m_engine; }
    LineCount& Count() { return m_count; }

    // Called by the line.
    void vWrite(const uint8_t* p, size_t n);
    size_t uiRead(uint8_t* p, size_t n);
    void vPurge() { m_head = m_tail = 0; }

    void vRecord();
    void vReplay();
    uint64_t uiReplayMisses() const { return m_misses; }

private:
    struct Step {
        quillon::emu::Bytes in, out;
    };
    void vQueue(const uint8_t* p, size_t n);

    std::unique_ptr<quillon::emu::Engine> m_engine;
    enum class Mode { Live, Record, Replay } m_mode = Mode::Live;
    std::vector<Step> m_steps;
    size_t m_next = 0;
    uint64_t m_misses = 0;
    std::array<uint8_t, 8192> m_pending{};
    size_t m_head = 0, m_tail = 0;
    int64_t m_now = 0;
    LineCount m_count;
    quillon::SerialLineFactory m_previous;
};

// A USB reader: every HID transport made while this lives answers a command
// whose two command characters (after the "C") are known with the reply text
// registered for them, cut into input reports of uiReportLen bytes (report
// ID 0, reply length high byte first, then the text).
class FakeHidReader {
public:
    explicit FakeHidReader(size_t uiReportLen);
    ~FakeHidReader();
    FakeHidReader(const FakeHidReader&) = delete;
    FakeHidReader& operator=(const FakeHidReader&) = delete;

    void vAnswer(const std::string& command, const std::string& replyText);

    // Called by the transport.
    void vWrite(const uint8_t* pReport);
    bool bRead(uint8_t* p, size_t n, uint32_t& count);
    void vDrain() { m_next = m_count = 0; }
    size_t uiReportLen() const { return m_reportLen; }

private:
    struct Reply {
        char acCommand[2];
        uint32_t uiReports;
        std::array<uint8_t, 2048> bytes;
    };
    size_t m_reportLen;
    std::array<Reply, 8> m_replies{};
    size_t m_used = 0;
    const Reply* m_pQueued = nullptr;
    uint32_t m_next = 0, m_count = 0;
    quillon::HidTransportFactory m_previous;
};

} // namespace bench
