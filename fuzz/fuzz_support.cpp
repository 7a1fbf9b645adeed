#include "fuzz_support.h"

#include <fcntl.h>
#include <sanitizer/asan_interface.h> // the poisoning is nothing without ASan
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <memory>

#include "api/idc_manager.h"
#include "frames.h"
#include "platform/clock.h"
#include "platform/serial_line.h"
#include "platform/system.h"
#include "readers/idc_driver.h"
#include "support/records.h"
#include "support/virtual_clock.h"
#include "transport/hid/hid_transport.h"

using namespace quillon;

namespace fuzz {

namespace {

namespace ctl = quillon::emu::ctl;
constexpr size_t kGuardBytes = 32;
constexpr uint8_t kGuardByte = 0xCD;

Input* g_in = nullptr;
uint32_t g_largestTimeout = 0;
std::string g_dir;
std::string g_config;

// The working folder goes when the program ends (left behind if something
// else was written into it).
void RemoveWorkFolder() {
    unlink(g_config.c_str());
    unlink((g_dir + "/quillon-mutex-CARDREADER.lock").c_str());
    rmdir(g_dir.c_str());
}

void NoteTimeout(uint32_t uiMs) {
    g_largestTimeout = std::max(g_largestTimeout, uiMs);
}

// The library's clock, moved by the fakes and the library's pauses only.
VirtualClock& Clock() {
    static VirtualClock s_clock;
    return s_clock;
}

// The two command characters that a reply echoes ('0' where the command has
// none).
struct Echo {
    uint8_t ab[2] = {'0', '0'};
};

Echo EchoAt(const uint8_t* pData, size_t uiLen, size_t uiFrom) {
    Echo e;
    for (size_t i = 0; i < 2 && uiFrom + i < uiLen; ++i)
        e.ab[i] = pData[uiFrom + i];
    return e;
}

// Up to uiCount bytes of the input behind what `to` holds.
void AppendInput(Bytes& to, Input& in, size_t uiCount) {
    size_t got = 0;
    const uint8_t* p = in.pTake(uiCount, got);
    to.insert(to.end(), p, p + got);
}

// A reply text into t: kind (mostly P or N), the echo of the command
// characters (sometimes other bytes), two status characters where the family
// has them, then data of a length the input chooses.
void ReplyText(Input& in, const Echo& echo, bool bStatus, Bytes& t) {
    static const char* const kStatus[] = {"00", "01", "02", "03", "04", "10", "11", "19", "1E",
                                          "1G", "20", "23", "25", "30", "31", "40", "42", "46",
                                          "47", "4A", "50", "60", "70", "80", "88", "B0"};
    t.clear();
    const uint8_t k = in.u8();
    t.push_back((k & 3) < 2 ? 'P' : (k & 3) == 2 ? 'N' : in.u8());
    const bool bRawEcho = k & 0x80;
    t.push_back(bRawEcho ? in.u8() : echo.ab[0]);
    t.push_back(bRawEcho ? in.u8() : echo.ab[1]);
    if (bStatus) {
        const uint8_t s = in.u8();
        const char* st = s < 0xE0 ? kStatus[s % (sizeof kStatus / sizeof kStatus[0])] : nullptr;
        t.push_back(st ? st[0] : in.u8());
        t.push_back(st ? st[1] : in.u8());
    }
    size_t len = in.u8();
    if (len >= 0xC0)
        len = (len & 0x3F) << 8 | in.u8(); // up to 16383 bytes
    AppendInput(t, in, len);
}

// The reply text being built: one buffer for the process, so that a reply
// costs no allocation once it has grown.
Bytes g_text;

// DLE STX text DLE ETX BCC: the command characters, text bytes 1 and 2 with
// doubled DLEs collapsed.
Echo CommandOfA(const uint8_t* w, size_t n) {
    Echo e;
    size_t k = 0; // index in the text
    for (size_t i = 2; i + 3 < n && k < 3; i += w[i] == ctl::kDle ? 2 : 1, ++k)
        if (k >= 1)
            e.ab[k - 1] = w[i];
    return e;
}

// ------------------------------------------------------------ serial line

struct LineState {
    Bytes pending;      // readable now: from uiHead on
    size_t uiHead = 0;  //
    size_t uiChunk = 0; // at most this many bytes per read; 0: all
    Echo lastA, lastModule, lastC;
} g_line;

// Appends to out what a reader of the family that this write speaks to
// answers when it behaves: the acknowledgement to a frame, a reply frame to
// the request.
void ProperAnswer(const uint8_t* w, size_t n, Input& in, Bytes& out) {
    if (n >= 2 && w[0] == ctl::kDle && w[1] == ctl::kStx) { // family A frame
        g_line.lastA = CommandOfA(w, n);
        out.insert(out.end(), {ctl::kDle, ctl::kAck});
    } else if (n == 2 && w[0] == ctl::kDle && w[1] == ctl::kEnq) {
        ReplyText(in, g_line.lastA, true, g_text);
        emu::AppendFrameA(g_text.data(), g_text.size(), out);
    } else if (n >= 4 && w[0] == ctl::kStx && w[3] == ctl::kModuleAddr) { // auxiliary module frame
        g_line.lastModule = EchoAt(w, n, 4);
        out.insert(out.end(), {ctl::kAck, ctl::kModuleAddr});
    } else if (n == 2 && w[0] == ctl::kEnq && w[1] == ctl::kModuleAddr) {
        ReplyText(in, g_line.lastModule, false, g_text);
        emu::AppendFrameModule(g_text.data(), g_text.size(), out);
    } else if (n >= 3 && w[0] == ctl::kStx) { // family C frame
        g_line.lastC = EchoAt(w, n, 3);
        out.push_back(ctl::kAck);
    } else if (n == 1 && w[0] == ctl::kEnq) {
        ReplyText(in, g_line.lastC, false, g_text);
        emu::AppendFrameC(g_text.data(), g_text.size(), out);
    } else if (n >= 3 && w[0] == 0xF2) { // family B frame: ACK and the reply at once
        out.push_back(ctl::kAck);
        ReplyText(in, EchoAt(w, n, 4), true, g_text);
        emu::AppendFrameB(g_text.data(), g_text.size(), out);
    }
    // DLE EOT, the host's ACK, anything else: silence
}

// One selector byte per write: how the reader answers this time; the answer
// goes to out.
//   mode 0 silence, 1-3 as it should, 4 raw bytes, 5 as it should with one
//   byte changed, 6 as it should with garbage behind, 7 the write fails
//   (the line hung up; the next write may work again);
//   high bits: the answer drips in pieces of that many bytes.
// False: the write fails.
bool Answer(const uint8_t* w, size_t n, Input& in, Bytes& out) {
    const uint8_t sel = in.u8();
    g_line.uiChunk = sel >> 5;
    switch (sel & 7) {
    case 0:
        return true;
    case 4:
        AppendInput(out, in, in.u8());
        return true;
    case 7:
        return false;
    default:
        break;
    }
    const size_t at = out.size();
    ProperAnswer(w, n, in, out);
    const size_t len = out.size() - at;
    if ((sel & 7) == 5 && len > 0) {
        const uint8_t flip = static_cast<uint8_t>(in.u8() | 1);
        out[at + in.u16() % len] ^= flip;
    }
    if ((sel & 7) == 6)
        AppendInput(out, in, in.u8() % 16 + 1);
    return true;
}

class FuzzLine : public OSerialLine {
public:
    int iOpen(const tLineSettings&) override { return 0; }
    void vClose() override {}
    int iWrite(const uint8_t* pData, size_t uiLen) override {
        if (!g_in)
            return 0;
        return Answer(pData, uiLen, *g_in, g_line.pending) ? 0 : 1;
    }
    int iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t uiTimeoutMs) override {
        NoteTimeout(uiTimeoutMs);
        uiGot = 0;
        const size_t left = g_line.pending.size() - g_line.uiHead;
        if (left == 0 || uiWant == 0) {
            Clock().vAdvance(uiTimeoutMs); // the whole time-out passes
            return 1;
        }
        const size_t n = std::min({uiWant, left, g_line.uiChunk ? g_line.uiChunk : left});
        std::memcpy(pBuf, g_line.pending.data() + g_line.uiHead, n);
        g_line.uiHead += n;
        if (g_line.uiHead == g_line.pending.size())
            vPurgeInput();
        uiGot = n;
        Clock().vAdvance(1);
        return 0;
    }
    int iSetModemLine(ModemLine, bool) override { return 0; }
    void vPurgeInput() override {
        g_line.pending.clear();
        g_line.uiHead = 0;
    }
};

// ---------------------------------------------------------- HID transport

// Input reports not read yet, also late ones: slots uiHead .. uiTail-1 of a
// list whose reports keep their storage from input to input.
struct HidState {
    std::vector<Bytes> slots;
    size_t uiHead = 0, uiTail = 0;
    bool bPresent = true;
    size_t uiIn = 65, uiOut = 65;
} g_hid;

void DropReports() {
    g_hid.uiHead = g_hid.uiTail = 0;
}

// Queues a report of the device's input report length: the content cut or
// padded with zeros.
void QueueReport(const uint8_t* pContent, size_t uiLen) {
    if (g_hid.uiTail == g_hid.slots.size())
        g_hid.slots.emplace_back();
    Bytes& r = g_hid.slots[g_hid.uiTail++];
    r.assign(g_hid.uiIn, 0);
    if (const size_t n = std::min(uiLen, g_hid.uiIn))
        std::memcpy(r.data(), pContent, n);
}

void QueueInputReport(Input& in, size_t uiCount) {
    size_t got = 0;
    const uint8_t* p = in.pTake(uiCount, got);
    QueueReport(p, got);
}

// Queues the input reports a behaving reader sends for the output report w
// (the device's output report length, zero-padded).
void ProperReports(const uint8_t* w, size_t n, Input& in) {
    if (n < 3)
        return;
    ReplyText(in, EchoAt(w, n, 4), true, g_text); // command characters behind the "C"
    static Bytes s_msg;
    s_msg.assign(
        {w[0], static_cast<uint8_t>(g_text.size() >> 8), static_cast<uint8_t>(g_text.size())});
    s_msg.insert(s_msg.end(), g_text.begin(), g_text.end());
    if (w[0] == 0x04) { // family B: the message continues in reports 64 bytes apart
        for (size_t at = 0; at < s_msg.size(); at += 64)
            QueueReport(s_msg.data() + at, std::min<size_t>(64, s_msg.size() - at));
    } else { // family A: one report, cut where the report ends
        QueueReport(s_msg.data(), s_msg.size());
    }
}

class FuzzHid : public OHidTransport {
public:
    bool bOpenDevice(uint16_t, uint16_t) override {
        m_bOpen = g_hid.bPresent;
        return m_bOpen;
    }
    // Drops what is queued now; reports made by the next write come after it.
    void vDrainInput() override { DropReports(); }
    bool bWriteReport(const uint8_t* pReport, size_t uiBufSize, uint32_t uiTimeoutMs) override {
        NoteTimeout(uiTimeoutMs);
        if (!m_bOpen || !g_in)
            return false;
        // The report as the device takes it: its output report length.
        static Bytes s_w;
        s_w.assign(pReport, pReport + std::min(uiBufSize, g_hid.uiOut));
        s_w.resize(g_hid.uiOut, 0);
        Input& in = *g_in;
        const uint8_t sel = in.u8();
        const size_t first = g_hid.uiTail; // the reports of this write
        switch (sel & 7) {
        case 0:
            break;
        case 4:
            for (int k = in.u8() % 4; k >= 0; --k)
                QueueInputReport(in, in.u8());
            break;
        case 7:
            return false;
        default:
            ProperReports(s_w.data(), s_w.size(), in);
            if ((sel & 7) == 5 && g_hid.uiTail > first) {
                Bytes& r = g_hid.slots[first + in.u8() % (g_hid.uiTail - first)];
                if (!r.empty()) {
                    const uint8_t flip = static_cast<uint8_t>(in.u8() | 1);
                    r[in.u16() % r.size()] ^= flip;
                }
            }
            if ((sel & 7) == 6)
                QueueInputReport(in, in.u8());
        }
        return true;
    }
    bool bReadReport(uint8_t* pReport, size_t uiBufSize, uint32_t& uiCount,
                     uint32_t uiTimeoutMs) override {
        NoteTimeout(uiTimeoutMs);
        if (!m_bOpen)
            return false;
        if (g_hid.uiHead == g_hid.uiTail) {
            Clock().vAdvance(uiTimeoutMs);
            uiCount = 0;
            return false;
        }
        const Bytes& r = g_hid.slots[g_hid.uiHead++];
        const size_t n = std::min(uiBufSize, r.size());
        if (n)
            std::memcpy(pReport, r.data(), n);
        if (g_hid.uiHead == g_hid.uiTail)
            DropReports();
        uiCount = static_cast<uint32_t>(n);
        Clock().vAdvance(1);
        return true;
    }
    size_t uiInputReportLength() const override { return m_bOpen ? g_hid.uiIn : 0; }
    size_t uiOutputReportLength() const override { return m_bOpen ? g_hid.uiOut : 0; }
    void vClose() override { m_bOpen = false; }

private:
    bool m_bOpen = false;
};

constexpr int32_t kUntouched = -7;

// A small int (-1 .. 8) most of the time, now and then any 32-bit value.
int SmallInt(Input& in) {
    const uint8_t b = in.u8();
    if (b < 0xF0)
        return static_cast<int>(b % 10) - 1;
    return static_cast<int>(in.u32());
}

// Marks a length cell as not written yet.
constexpr uint32_t kLenMarker = 0xFEEDFACE;

// Fails when a length written to a caller's record exceeds its area.
void CheckLength(const char* pOp, const char* pWhat, uint32_t uiLen, uint32_t uiArea) {
    if (uiLen != kLenMarker && uiLen > uiArea && !bTolerated("length"))
        Fail("%s: %s %u written, the area holds %u", pOp, pWhat, uiLen, uiArea);
}

uint32_t* LenCell(Guarded& g, uint32_t uiValue) {
    uint32_t* p = g.As<uint32_t>();
    *p = uiValue;
    return p;
}

// The guard bytes lie in memory that ASan sees as poisoned: they are set and
// read around its checks (a write into them through the library's code stops
// the program before), set a word at a time (a byte loop would become a call
// of memset, which ASan checks).
constexpr uint64_t kGuardWord = 0x0101010101010101ull * kGuardByte;
static_assert(kGuardBytes % sizeof kGuardWord == 0, "guard of whole words");

__attribute__((no_sanitize_address)) void SetGuard(uint8_t* p) {
    for (size_t i = 0; i < kGuardBytes; i += sizeof kGuardWord)
        std::memcpy(p + i, &kGuardWord, sizeof kGuardWord);
}

// The ring the caller buffers come from (larger ones come from the heap): a
// buffer starts 16-aligned and is followed by a gap of kRingGap bytes whose
// first kGuardBytes are the guard bytes. Under ASan all of the ring but the
// buffers alive is poisoned, and a freed buffer stays unaddressable until the
// ring comes round; freeing costs no quarantine (ASan's heap holds on to
// every buffer freed, which costs a third of the time per input).
constexpr size_t kRingBytes = 256 * 1024;
constexpr size_t kRingGap = 128;
constexpr size_t kRingLargest = 16 * 1024;
alignas(64) uint8_t g_ring[kRingBytes];
size_t g_ringNext = kRingBytes; // the first buffer starts the ring
size_t g_ringAlive = 0;

// A place of uiSpan bytes in the ring, or null. The ring starts over only
// when none of its buffers is alive: the buffers alive lie below g_ringNext.
uint8_t* pFromRing(size_t uiSpan) {
    if (uiSpan > kRingLargest + kRingGap)
        return nullptr;
    if (g_ringNext + uiSpan > kRingBytes) {
        if (g_ringAlive > 0)
            return nullptr;
        static const bool s_poisoned = (ASAN_POISON_MEMORY_REGION(g_ring, kRingBytes), true);
        (void)s_poisoned;
        g_ringNext = kRingGap; // poisoned bytes before the first buffer too
    }
    ++g_ringAlive;
    g_ringNext += uiSpan;
    return g_ring + g_ringNext - uiSpan;
}

// The first guard byte that changed, kGuardBytes when none.
__attribute__((no_sanitize_address)) size_t uiGuardDamage(const uint8_t* p) {
    size_t i = 0;
    while (i < kGuardBytes && p[i] == kGuardByte)
        ++i;
    return i;
}

// A driver behind the device manager's argument checks and its record writer.
class ODriverCaller {
public:
    explicit ODriverCaller(OIdcDriver& driver) : m_d(driver) {}
    int Init(int iMode, tDevReturn* r) { return Into(m_d.Init(iMode), *r); }
    int GetStatus(tIdcStatus* p, tDevReturn* r) { return Into(p ? m_d.GetStatus(p) : No(), *r); }
    int AcceptCard(int iMode, tDevReturn* r) { return Into(m_d.AcceptCard(iMode), *r); }
    int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
               uint32_t* pReplyLen, tDevReturn* r) {
        if (!OIdcManager::bChipIOArgumentsGood(pCommand, iCommandLen, pReply, pReplyLen))
            return Into(No(), *r);
        return Into(m_d.ChipIO(iSelector, pCommand, iCommandLen, pReply, pReplyLen), *r);
    }
    int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4, tDevReturn* r) {
        return Into(pArg4 ? m_d.ChipPower(iAction, uArg2, uArg3, pArg4) : No(), *r);
    }
    int EjectCard(tDevReturn* r) { return Into(m_d.EjectCard(), *r); }
    int GetCapabilities(tIdcCaps* p, tDevReturn* r) {
        return Into(p ? m_d.GetCapabilities(p) : No(), *r);
    }
    int GetLifeInfo(tIdcLife* p, tDevReturn* r) { return Into(p ? m_d.GetLifeInfo(p) : No(), *r); }
    int ReadTrack(tIdcTracks* p, tDevReturn* r) { return Into(p ? m_d.ReadTrack(p) : No(), *r); }
    int Reset(tDevReturn* r) { return Into(m_d.Reset(), *r); }
    int ResetCount(int iCounter, tDevReturn* r) { return Into(m_d.ResetCount(iCounter), *r); }
    int RetainCard(uint32_t* p, tDevReturn* r) { return Into(p ? m_d.RetainCard(p) : No(), *r); }
    int ReleaseAntiFishing(tDevReturn* r) { return Into(m_d.ReleaseAntiFishing(), *r); }
    int WriteTrack(tIdcTracks* p, tDevReturn* r) { return Into(p ? m_d.WriteTrack(p) : No(), *r); }
    int SetCommPara(tDevReturn* r) { return Into(m_d.SetCommPara(), *r); }

private:
    static tDriverResult No() { return tDriverResult::BadArgument(); } // the manager refuses
    OIdcDriver& m_d;
};

// The same slots through the exports (the manager's checks, its lock and its
// trace included).
class OExports {
public:
    explicit OExports(Input& in) : m_in(in) {}
    int Init(int iMode, tDevReturn* r) { return IDC_Init(iMode, r); }
    int GetStatus(tIdcStatus* p, tDevReturn* r) { return IDC_GetStatus(p, r); }
    int AcceptCard(int iMode, tDevReturn* r) { return IDC_AcceptCard(iMode, r); }
    int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
               uint32_t* pReplyLen, tDevReturn* r) {
        return IDC_ChipIO(iSelector, pCommand, iCommandLen, pReply, pReplyLen, r);
    }
    int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4, tDevReturn* r) {
        return IDC_ChipPower(iAction, uArg2, uArg3, pArg4, r);
    }
    int EjectCard(tDevReturn* r) { return IDC_EjectCard(r); }
    int GetCapabilities(tIdcCaps* p, tDevReturn* r) { return IDC_GetCapabilities(p, r); }
    int GetLifeInfo(tIdcLife* p, tDevReturn* r) { return IDC_GetLifeInfo(p, r); }
    int ReadTrack(tIdcTracks* p, tDevReturn* r) { return IDC_ReadTrack(p, r); }
    int Reset(tDevReturn* r) { return IDC_Reset(r); }
    int ResetCount(int iCounter, tDevReturn* r) { return IDC_ResetCount(iCounter, r); }
    int RetainCard(uint32_t* p, tDevReturn* r) { return IDC_RetainCard(p, r); }
    int ReleaseAntiFishing(tDevReturn* r) { return IDC_ReleaseAntiFishing(r); }
    // One track of the record, in a buffer of exactly the length given (the
    // length may be anything; the buffer holds at most 4096 bytes).
    int WriteTrack(tIdcTracks* p, tDevReturn* r) {
        const int track = SmallInt(m_in);
        if (!p)
            return IDC_WriteTrack(track, nullptr, m_in.u8(), r);
        Guarded data(std::min<size_t>(p->uiLen1, 4096));
        std::memcpy(data.p(), p->abTrack1, std::min(data.uiSize(), sizeof p->abTrack1));
        const int res = IDC_WriteTrack(track, data.p(), p->uiLen1, r);
        data.vCheck("WriteTrack data");
        return res;
    }
    int SetCommPara(tDevReturn* r) { return IDC_SetCommPara(r); }

private:
    Input& m_in;
};

// A caller's out record of type T (null when bNull) around one call.
template <class T, class Call> int WithOut(const char* pName, bool bNull, Call call) {
    Guarded out(sizeof(T));
    const int res = call(bNull ? nullptr : out.As<T>());
    out.vCheck(pName);
    return res;
}

// One operation the input chooses, with arguments from the input.
template <class Caller> void RunStep(Caller& d, Input& in, const Limits& limits) {
    static const char* const kNames[16] = {
        "Init",       "GetStatus",       "AcceptCard",         "ChipIO",     "ChipPower",
        "EjectCard",  "GetCapabilities", "GetLifeInfo",        "ReadTrack",  "Reset",
        "ResetCount", "RetainCard",      "ReleaseAntiFishing", "WriteTrack", "SetCommPara",
        "GetStatus"};
    Guarded rec(sizeof(tDevReturn));
    tDevReturn* r = rec.As<tDevReturn>();
    FreshRecord(r);
    TakeLargestTimeout();
    const uint8_t op = in.u8();
    const char* name = kNames[op % 16];
    // Now and then a null pointer: for the out records only where the caller
    // reaches the driver directly (the exports); the manager refuses those
    // before any driver sees them.
    const bool bNullArg = (op & 0xE0) == 0xE0;
    const bool bNull = bNullArg && limits.bNullRecords;
    int res = 0;
    promises::TrackOp track = promises::TrackOp::None;
    switch (op % 16) {
    case 0:
        res = d.Init(SmallInt(in), r);
        break;
    case 1:
    case 15:
        res = WithOut<tIdcStatus>(name, bNull, [&](auto* p) { return d.GetStatus(p, r); });
        break;
    case 2:
        res = d.AcceptCard(SmallInt(in), r);
        break;
    case 3: {
        const uint8_t how = in.u8();
        int len = how < 0xF0 ? in.u16() % 1100 : static_cast<int>(in.u32());
        Guarded cmd(len > 0 && len <= 4096 ? static_cast<size_t>(len) : 1);
        in.vTakeInto(cmd.p(), cmd.uiSize());
        Guarded reply(IDC_CHIP_REPLY_MAX);
        Guarded replyLen(sizeof(uint32_t));
        uint32_t* pLen = LenCell(replyLen, kLenMarker);
        res = d.ChipIO(SmallInt(in), cmd.p(), len, bNullArg ? nullptr : reply.p(), pLen, r);
        cmd.vCheck(name);
        reply.vCheck(name);
        replyLen.vCheck(name);
        CheckLength(name, "reply length", *pLen, IDC_CHIP_REPLY_MAX);
        break;
    }
    case 4: {
        const int action = SmallInt(in);
        Guarded answer(IDC_CHIP_REPLY_MAX);
        Guarded answerLen(sizeof(uint32_t));
        Guarded type(sizeof(uint32_t));
        uint32_t* pLen = LenCell(answerLen, kLenMarker);
        LenCell(type, in.u8() % 12);
        const uint8_t nulls = bNullArg ? in.u8() & (bNull ? 7 : 3) : 0;
        res = d.ChipPower(action, nulls & 1 ? 0 : reinterpret_cast<uintptr_t>(answer.p()),
                          nulls & 2 ? 0 : reinterpret_cast<uintptr_t>(pLen),
                          nulls & 4 ? nullptr : type.p(), r);
        answer.vCheck(name);
        answerLen.vCheck(name);
        type.vCheck(name);
        CheckLength(name, "answer length", *pLen, IDC_CHIP_REPLY_MAX);
        break;
    }
    case 5:
        res = d.EjectCard(r);
        break;
    case 6:
        res = WithOut<tIdcCaps>(name, bNull, [&](auto* p) { return d.GetCapabilities(p, r); });
        break;
    case 7:
        res = WithOut<tIdcLife>(name, bNull, [&](auto* p) { return d.GetLifeInfo(p, r); });
        break;
    case 8: {
        track = promises::TrackOp::Read;
        Guarded tracks(sizeof(tIdcTracks));
        tIdcTracks* t = tracks.As<tIdcTracks>();
        t->uiLen1 = t->uiLen2 = t->uiLen3 = kLenMarker;
        res = d.ReadTrack(bNull ? nullptr : t, r);
        tracks.vCheck(name);
        if (!bTolerated("track-length")) {
            CheckLength(name, "track 1 length", t->uiLen1, sizeof t->abTrack1);
            CheckLength(name, "track 2 length", t->uiLen2, sizeof t->abTrack2);
            CheckLength(name, "track 3 length", t->uiLen3, sizeof t->abTrack3);
        }
        break;
    }
    case 9:
        res = d.Reset(r);
        break;
    case 10:
        res = d.ResetCount(SmallInt(in), r);
        break;
    case 11:
        res = WithOut<uint32_t>(name, bNull, [&](auto* p) { return d.RetainCard(p, r); });
        break;
    case 12:
        res = d.ReleaseAntiFishing(r);
        break;
    case 13: {
        track = promises::TrackOp::Write;
        Guarded tracks(sizeof(tIdcTracks));
        tIdcTracks* t = tracks.As<tIdcTracks>();
        in.vTakeInto(tracks.p() + offsetof(tIdcTracks, abTrack1),
                     sizeof t->abTrack1 + sizeof t->abTrack2 + sizeof t->abTrack3);
        uint32_t* lens[3] = {&t->uiLen1, &t->uiLen2, &t->uiLen3};
        for (uint32_t* l : lens) {
            const uint8_t b = in.u8();
            *l = b < 0xF0 ? b % 110 : in.u32();
        }
        res = d.WriteTrack(bNull ? nullptr : t, r);
        tracks.vCheck(name);
        break;
    }
    case 14:
        res = d.SetCommPara(r);
        break;
    }
    rec.vCheck(name);
    CheckOutcome(name, res, r, limits, track);
}

} // namespace

void Fail(const char* pFormat, ...) {
    std::fprintf(stderr, "\n*** broken promise: ");
    va_list args;
    va_start(args, pFormat);
    std::vfprintf(stderr, pFormat, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    RemoveWorkFolder(); // abort() skips the handlers of atexit
    abort();
}

bool bTolerated(const std::string& check) {
    // Read once: the list does not change while the program runs.
    static const char* const s_env = getenv("QUILLON_FUZZ_TOLERATE");
    static const std::string s_list = "," + std::string(s_env ? s_env : "") + ",";
    return s_env && s_list.find("," + check + ",") != std::string::npos;
}

void Setup() {
    static bool done = false;
    if (done)
        return;
    done = true;
    // A memory file system keeps the configuration writes (fsync, rename)
    // cheap; the named lock file goes there too.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string dir = base + "/quillon-fuzz-XXXXXX";
    if (!mkdtemp(&dir[0]))
        Fail("no working folder under %s", base.c_str());
    g_dir = dir;
    g_config = dir + "/Quillon.ini";
    atexit(RemoveWorkFolder);
    // The named lock file too: runs beside each other, and the tests of the
    // machine, do not wait for one another's lock (nor does a lock held
    // elsewhere turn into a failure the input did not cause).
    setenv("TMPDIR", dir.c_str(), 1);
    setenv("QUILLON_LOCK_DIR", dir.c_str(), 1);
    // The trace library stays loaded: every reader selection loads it and
    // every close unloads it, and a load and unload under ASan (mappings
    // read, relocations, shadow) cost more than the rest of an input.
    static ModuleHandle s_traceLibrary =
        LoadModule((ModuleFolderOf(reinterpret_cast<const void*>(&TraceLibraryFileName)) +
                    TraceLibraryFileName())
                       .c_str());
    (void)s_traceLibrary;
    setenv("QUILLON_CONFIG", g_config.c_str(), 1);
    Clock(); // installed as the library's clock
    quillon::SetSleepHook([](unsigned int uiMs) { Clock().vAdvance(uiMs); });
    OSerialLineFactory::fnReplace([] { return std::unique_ptr<OSerialLine>(new FuzzLine); });
    OHidTransportFactory::fnReplace([] { return std::unique_ptr<OHidTransport>(new FuzzHid); });
}

void WriteConfig(const void* pText, size_t uiLen) {
    // Plain system calls: a stream's buffer would cost more than the write.
    const int fd = open(g_config.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, pText, uiLen) != static_cast<ssize_t>(uiLen))
        Fail("cannot write %s", g_config.c_str());
    // A modification time of its own for every write: the file system's
    // clock moves in steps of milliseconds, and the same inode with the same
    // size in the same step would look unchanged to the library.
    static time_t s_stamp = 1000000000;
    const struct timespec times[2] = {{++s_stamp, 0}, {s_stamp, 0}};
    if (futimens(fd, times) != 0)
        Fail("cannot set the time of %s", g_config.c_str());
    close(fd);
}

void WriteConfigFromInput(Input& in, int iCardReaderType) {
    char ini[512];
    size_t len = 0;
    const auto add = [&](const char* pFormat, auto... args) {
        const int n = std::snprintf(ini + len, sizeof ini - len, pFormat, args...);
        if (n < 0 || static_cast<size_t>(n) >= sizeof ini - len)
            Fail("configuration text longer than %zu bytes", sizeof ini);
        len += static_cast<size_t>(n);
    };
    add("[CARDREADER]\nPort=/dev/fuzz\n[CardReaderType]\nCardReaderType=%d\n", iCardReaderType);
    static const char* const kKeys[] = {"ProtocolMode", "IntakeMode",      "ActMode",
                                        "MotorSpeed",   "DispenseCardDev", "Dtr"};
    const uint8_t present = in.u8();
    for (unsigned k = 0; k < sizeof kKeys / sizeof kKeys[0]; ++k) {
        if (!(present & (1u << k)))
            continue;
        const int value = (present & 0x80) ? static_cast<int>(in.u32()) : in.u8() % 4;
        add("[%s]\n%s=%d\n", kKeys[k], kKeys[k], value);
    }
    const unsigned vid = in.u16();
    const unsigned pid = in.u16();
    add("[USB]\nVID=%u\nPID=%u\n", vid, pid);
    WriteConfig(ini, len);
}

void Begin(Input& in) {
    g_in = &in;
    g_line.pending.clear();
    g_line.uiHead = g_line.uiChunk = 0;
    g_line.lastA = g_line.lastModule = g_line.lastC = Echo();
    DropReports();
    // The device's report lengths: the usual 65 or something odd.
    static const size_t kLengths[] = {65, 65, 65, 64, 9, 33, 129, 513, 1025, 0};
    const uint8_t dev = in.u8();
    g_hid.bPresent = (dev & 0x80) == 0;
    g_hid.uiIn = kLengths[(dev & 0x0F) % 10];
    g_hid.uiOut = kLengths[((dev >> 4) & 0x07) % 10];
    g_largestTimeout = 0;
}

uint32_t TakeLargestTimeout() {
    const uint32_t t = g_largestTimeout;
    g_largestTimeout = 0;
    return t;
}

Guarded::Guarded(size_t uiSize, uint8_t byFill)
    : m_p(pFromRing((uiSize + kRingGap + 15) & ~static_cast<size_t>(15))), m_size(uiSize) {
    if (m_p) {
        ASAN_UNPOISON_MEMORY_REGION(m_p, uiSize);
    } else {
        m_p = new uint8_t[uiSize + kGuardBytes];
        ASAN_POISON_MEMORY_REGION(m_p + uiSize, kGuardBytes);
    }
    SetGuard(m_p + uiSize);
    std::memset(m_p, byFill, uiSize);
}

Guarded::~Guarded() {
    if (m_p < g_ring || m_p >= g_ring + kRingBytes) {
        delete[] m_p;
        return;
    }
    ASAN_POISON_MEMORY_REGION(m_p, m_size);
    --g_ringAlive;
}

void Guarded::vCheck(const char* pWhat) const {
    const size_t i = uiGuardDamage(m_p + m_size);
    if (i < kGuardBytes)
        Fail("%s: byte %zu behind a caller's buffer of %zu bytes was written", pWhat, i, m_size);
}

void FreshRecord(tDevReturn* pRecord) {
    *pRecord = Record(kUntouched);
}

void CheckOutcome(const char* pOp, int iResult, const tDevReturn* r, const Limits& limits,
                  promises::TrackOp eTrack) {
    const uint32_t timeout = TakeLargestTimeout();
    if (timeout > limits.uiMaxTimeoutMs && !bTolerated("timeout"))
        Fail("%s (%s): a read asked for %u ms, the family's longest command time-out is %u ms", pOp,
             limits.pName, timeout, limits.uiMaxTimeoutMs);
    const bool touched = r->iCode1 != kUntouched || r->iCode2 != kUntouched ||
                         r->iErrFlag1 != kUntouched || r->iErrFlag2 != kUntouched;
    if (const char* broken = touched ? promises::RecordBroken(*r) : nullptr)
        Fail("%s: record %d, %d, %d, %d: %s", pOp, r->iCode1, r->iCode2, r->iErrFlag1, r->iErrFlag2,
             broken);
    // A track code as the result: the record keeps what the last exchange
    // wrote (family A's 1249 comes with the reader's positive code), or is
    // not written at all.
    if (const char* broken = promises::ResultBroken(iResult, *r, touched, eTrack)) {
        const bool tolerated = (iResult == 0 || iResult == 1) &&
                               (bTolerated("result") || bTolerated(std::string("result:") + pOp));
        if (!tolerated)
            Fail("%s: result %d, record code %d: %s", pOp, iResult, r->iCode2, broken);
    }
}

void RunDriver(OIdcDriver& driver, Input& in, const Limits& limits) {
    ODriverCaller d(driver);
    tDevReturn r;
    FreshRecord(&r);
    CheckOutcome("SetCommPara", d.SetCommPara(&r), &r, limits);
    for (int step = 0; step < 64 && !in.bEmpty(); ++step)
        RunStep(d, in, limits);
}

void RunExportStep(Input& in, const Limits& limits) {
    OExports exports(in);
    RunStep(exports, in, limits);
}

} // namespace fuzz
