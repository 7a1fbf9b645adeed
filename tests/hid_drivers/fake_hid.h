// A scripted USB reader: every HID driver built while a FakeHid lives gets a transport on
// it. Each report written is recorded and answered by the next scripted reply.
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
#include "support/scripted_line.h"
#include "support/test_env.h"

using Texts = std::vector<std::string>;

struct FakeHid {
    uint16_t vid = 0x04A4, pid = 0x008B;
    size_t inLen = 64, outLen = 64;
    std::vector<std::pair<int, int>> opens;
    std::vector<Bytes> writes;
    std::deque<std::deque<Bytes>> replies;          // the input reports for each write
    std::deque<Bytes> pending;                      // a read with none left times out
    std::vector<std::pair<size_t, uint32_t>> reads; // buffer size and time-out
    int made = 0, alive = 0;

    struct Transport : OHidTransport {
        FakeHid& s;
        bool open = false;
        explicit Transport(FakeHid& f) : s(f) { ++s.made, ++s.alive; }
        ~Transport() override { --s.alive; }
        bool bOpenDevice(uint16_t v, uint16_t p) override {
            s.opens.emplace_back(v, p);
            return open = v == s.vid && p == s.pid;
        }
        bool bWriteReport(const uint8_t* r, size_t n) override {
            if (!open)
                return false;
            s.writes.emplace_back(r, r + std::min(n, s.outLen));
            s.writes.back().resize(s.outLen);
            s.pending.clear();
            if (!s.replies.empty())
                s.pending.swap(s.replies.front()), s.replies.pop_front();
            return true;
        }
        bool bReadReport(uint8_t* b, size_t n, uint32_t& count, uint32_t timeout) override {
            s.reads.emplace_back(n, timeout);
            count = 0;
            if (!open || s.pending.empty())
                return false;
            s.pending.front().resize(s.inLen);
            count = static_cast<uint32_t>(std::min(n, s.inLen));
            std::memcpy(b, s.pending.front().data(), count);
            s.pending.pop_front();
            return true;
        }
        size_t uiInputReportLength() const override { return open ? s.inLen : 0; }
        size_t uiOutputReportLength() const override { return open ? s.outLen : 0; }
        void vClose() override { open = false; }
    };
    ScopedHidTransportFactory use{
        [this] { return std::unique_ptr<OHidTransport>(new Transport(*this)); }};

    // Answers the next write with report ID 0, the text's length (high byte first) and the
    // text, cut into input reports; an empty text: silence.
    void Answer(const std::string& text) {
        replies.emplace_back();
        const Bytes whole = Cat({B({0, int(text.size() >> 8), int(text.size() & 0xFF)}), B(text)});
        for (size_t at = 0; !text.empty() && at < whole.size(); at += inLen)
            replies.back().emplace_back(whole.begin() + at,
                                        whole.begin() + std::min(whole.size(), at + inLen));
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
        reader.SetCommPara(&r);
    }
    TestEnv env;
    FakeHid hid;
    OReaderComm comm{nullptr, "CARDREADER"};
    Driver reader{&comm};
};
