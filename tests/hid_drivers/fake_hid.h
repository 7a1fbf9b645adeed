// A scripted USB reader: every HID driver built while a FakeHid lives gets a transport on
// it. Each report written is recorded and schedules the next scripted reply's reports.
//
// It queues input reports the way the system does: a report arrives at its time on the
// fake's virtual clock and stays queued until a read takes it or a drain drops it; nothing
// vanishes on a write, so a reply that comes after its read gave up is there for the next
// read. A read waits on the virtual clock: up to the next report's arrival, or, when none
// comes within its time-out, by the whole time-out.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include "hid/mock_hid_transport.h"
#include "infra/reader_comm.h"
#include "support/records.h"
#include "support/scripted_line.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"

using Texts = std::vector<std::string>;

struct FakeHid {
    // One input report, due delayMs after the write that it answers.
    struct Report {
        uint64_t delayMs;
        Bytes bytes;
    };
    using Reports = std::vector<Report>;

    uint16_t vid = 0x04A4, pid = 0x008B;
    size_t inLen = 64, outLen = 64;
    std::vector<std::pair<int, int>> opens;
    std::vector<Bytes> writes;
    std::vector<uint32_t> writeTimeouts;
    std::deque<Reports> replies;                    // the input reports for each write
    std::vector<std::pair<uint64_t, Bytes>> queue;  // arrival time, report; in order
    std::vector<std::pair<size_t, uint32_t>> reads; // buffer size and time-out
    std::vector<Bytes> taken, dropped;              // by reads, by drains
    int made = 0, alive = 0;
    VirtualClock clock;

    struct Transport : quillon::OHidTransport {
        FakeHid& s;
        bool open = false;
        explicit Transport(FakeHid& f) : s(f) { ++s.made, ++s.alive; }
        ~Transport() override { --s.alive; }
        bool bOpenDevice(uint16_t v, uint16_t p) override {
            s.opens.emplace_back(v, p);
            return open = v == s.vid && p == s.pid;
        }
        bool bWriteReport(const uint8_t* r, size_t n, uint32_t timeout) override {
            s.writeTimeouts.push_back(timeout);
            if (!open)
                return false;
            s.writes.emplace_back(r, r + std::min(n, s.outLen));
            s.writes.back().resize(s.outLen);
            if (!s.replies.empty()) {
                for (const Report& report : s.replies.front())
                    s.Arrive(s.clock.uiNow() + report.delayMs, report.bytes);
                s.replies.pop_front();
            }
            return true;
        }
        bool bReadReport(uint8_t* b, size_t n, uint32_t& count, uint32_t timeout) override {
            s.reads.emplace_back(n, timeout);
            count = 0;
            if (!open)
                return false;
            const uint64_t now = s.clock.uiNow();
            if (s.queue.empty() || s.queue.front().first > now + timeout) {
                s.clock.vAdvance(timeout);
                return false;
            }
            s.clock.vAdvance(std::max(now, s.queue.front().first) - now);
            Bytes report = s.queue.front().second;
            s.queue.erase(s.queue.begin());
            s.taken.push_back(report);
            report.resize(s.inLen);
            count = static_cast<uint32_t>(std::min(n, s.inLen));
            std::memcpy(b, report.data(), count);
            return true;
        }
        void vDrainInput() override {
            while (open && !s.queue.empty() && s.queue.front().first <= s.clock.uiNow()) {
                s.dropped.push_back(s.queue.front().second);
                s.queue.erase(s.queue.begin());
            }
        }
        size_t uiInputReportLength() const override { return open ? s.inLen : 0; }
        size_t uiOutputReportLength() const override { return open ? s.outLen : 0; }
        void vClose() override { open = false; }
    };
    ScopedHidTransportFactory use{
        [this] { return std::unique_ptr<quillon::OHidTransport>(new Transport(*this)); }};

    // Queues a report to arrive at time `at`, behind those due no later.
    void Arrive(uint64_t at, const Bytes& report) {
        const auto later =
            std::find_if(queue.begin(), queue.end(), [at](const auto& q) { return q.first > at; });
        queue.emplace(later, at, report);
    }
    // The input reports of a reply: report ID 0, the text's length (high byte first) and
    // the text, cut into reports of inLen bytes, all due delayMs after the write.
    Reports Cut(const std::string& text, uint64_t delayMs = 0) const {
        Reports out;
        const Bytes whole = Cat({B({0, int(text.size() >> 8), int(text.size() & 0xFF)}), B(text)});
        for (size_t at = 0; at < whole.size(); at += inLen)
            out.push_back({delayMs, Bytes(whole.begin() + at,
                                          whole.begin() + std::min(whole.size(), at + inLen))});
        return out;
    }
    // Answers the next write with the text's reports; an empty text: silence.
    void Answer(const std::string& text, uint64_t delayMs = 0) {
        replies.push_back(text.empty() ? Reports{} : Cut(text, delayMs));
    }
    Texts Sent() const {
        Texts out;
        for (const Bytes& w : writes)
            out.emplace_back(w.begin() + 3, w.begin() + 3 + (w[1] << 8 | w[2]));
        return out;
    }
};

inline tDevReturn Rec() {
    tDevReturn r;
    std::memset(&r, 7, sizeof r);
    return r;
}
inline bool Untouched(const tDevReturn& r) {
    const tDevReturn fresh = Rec();
    return std::memcmp(&r, &fresh, sizeof r) == 0;
}

// A HID driver opened on the fake device (the ids of CardReaderType 4 unless given).
template <class Driver> struct Rig {
    explicit Rig(const std::string& ini = "", uint16_t vid = 0x04A4, uint16_t pid = 0x008B)
        : env("[CARDREADER]\n" + ini) {
        hid.vid = vid, hid.pid = pid;
        tDevReturn r = Rec();
        Into(reader.SetCommPara(), r);
    }
    TestEnv env;
    FakeHid hid;
    quillon::OReaderComm comm{nullptr, "CARDREADER"};
    Driver reader{&comm};
};
