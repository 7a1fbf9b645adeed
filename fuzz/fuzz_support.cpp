#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>

#include "platform/clock.h"
#include "platform/serial_line.h"
#include "platform/system.h"
#include "readers/idc_driver.h"
#include "transport/hid/hid_transport.h"

using namespace quillon;

namespace fuzz {

namespace {

constexpr uint8_t STX = 0x02, ETX = 0x03, ENQ = 0x05, ACK = 0x06, DLE = 0x10;
constexpr uint8_t kModuleAddress = 0x46;
constexpr size_t kGuardBytes = 32;
constexpr uint8_t kGuardByte = 0xCD;

uint64_t g_now = 1000000;
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

// The library's pauses cost virtual time only.
void VirtualSleep(unsigned int uiMs) {
    g_now += uiMs;
}

void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

Bytes Slice(const Bytes& b, size_t uiFrom, size_t uiCount) {
    if (uiFrom >= b.size())
        return {};
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(uiFrom),
                 b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), uiFrom + uiCount)));
}

uint8_t Xor(const Bytes& b) {
    uint8_t x = 0;
    for (uint8_t v : b)
        x ^= v;
    return x;
}

uint16_t Crc16Xmodem(const Bytes& b) {
    uint16_t crc = 0;
    for (uint8_t v : b) {
        crc = static_cast<uint16_t>(crc ^ (v << 8));
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// A reply text: kind (mostly P or N), the echo of the command characters
// (sometimes other bytes), two status characters where the family has them,
// then data of a length the input chooses.
Bytes ReplyText(Input& in, const Bytes& echo, bool bStatus) {
    static const char* const kStatus[] = {"00", "01", "02", "03", "04", "10", "11", "19", "1E",
                                          "1G", "20", "23", "25", "30", "31", "40", "42", "46",
                                          "47", "4A", "50", "60", "70", "80", "88", "B0"};
    const uint8_t k = in.u8();
    Bytes t;
    switch (k & 3) {
    case 0:
    case 1:
        t.push_back('P');
        break;
    case 2:
        t.push_back('N');
        break;
    default:
        t.push_back(in.u8());
    }
    if (k & 0x80) {
        t.push_back(in.u8());
        t.push_back(in.u8());
    } else {
        t.push_back(echo.size() > 0 ? echo[0] : '0');
        t.push_back(echo.size() > 1 ? echo[1] : '0');
    }
    if (bStatus) {
        const uint8_t s = in.u8();
        if (s < 0xE0) {
            const char* st = kStatus[s % (sizeof kStatus / sizeof kStatus[0])];
            t.push_back(static_cast<uint8_t>(st[0]));
            t.push_back(static_cast<uint8_t>(st[1]));
        } else {
            t.push_back(in.u8());
            t.push_back(in.u8());
        }
    }
    size_t len = in.u8();
    if (len >= 0xC0)
        len = (len & 0x3F) << 8 | in.u8(); // up to 16383 bytes
    Append(t, in.Take(len));
    return t;
}

Bytes FrameA(const Bytes& text) {
    Bytes f{DLE, STX};
    for (uint8_t b : text) {
        f.push_back(b);
        if (b == DLE)
            f.push_back(DLE);
    }
    f.push_back(DLE);
    f.push_back(ETX);
    f.push_back(static_cast<uint8_t>(Xor(text) ^ ETX));
    return f;
}

// DLE STX text DLE ETX BCC: the text with doubled DLEs collapsed.
Bytes TextOfA(const Bytes& w) {
    Bytes t;
    for (size_t i = 2; i + 3 < w.size(); i += w[i] == DLE ? 2 : 1)
        t.push_back(w[i]);
    return t;
}

Bytes FrameM(const Bytes& text) {
    const size_t len = text.size() + 1;
    Bytes f{STX, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), kModuleAddress};
    Append(f, text);
    f.push_back(ETX);
    f.push_back(Xor(f));
    return f;
}

Bytes FrameC(const Bytes& text) {
    Bytes f{STX, static_cast<uint8_t>(text.size() >> 8), static_cast<uint8_t>(text.size())};
    Append(f, text);
    f.push_back(ETX);
    f.push_back(Xor(f));
    return f;
}

Bytes FrameB(const Bytes& payload) {
    Bytes f{0xF2, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    Append(f, payload);
    const uint16_t crc = Crc16Xmodem(f);
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc));
    return f;
}

// ------------------------------------------------------------ serial line

struct LineState {
    std::deque<uint8_t> pending; // readable now
    size_t uiChunk = 0;          // at most this many bytes per read; 0: all
    Bytes lastA, lastModule, lastC;
} g_line;

// What a reader of the family that this write speaks to answers when it
// behaves: the acknowledgement to a frame, a reply frame to the request.
Bytes ProperAnswer(const Bytes& w, Input& in) {
    const size_t n = w.size();
    if (n >= 2 && w[0] == DLE && w[1] == STX) { // family A frame
        g_line.lastA = Slice(TextOfA(w), 1, 2);
        return {DLE, ACK};
    }
    if (n == 2 && w[0] == DLE && w[1] == ENQ)
        return FrameA(ReplyText(in, g_line.lastA, true));
    if (n >= 4 && w[0] == STX && w[3] == kModuleAddress) { // auxiliary module frame
        g_line.lastModule = Slice(w, 4, 2);
        return {ACK, kModuleAddress};
    }
    if (n == 2 && w[0] == ENQ && w[1] == kModuleAddress)
        return FrameM(ReplyText(in, g_line.lastModule, false));
    if (n >= 3 && w[0] == STX) { // family C frame
        g_line.lastC = Slice(w, 3, 2);
        return {ACK};
    }
    if (n == 1 && w[0] == ENQ)
        return FrameC(ReplyText(in, g_line.lastC, false));
    if (n >= 3 && w[0] == 0xF2) { // family B frame: ACK and the reply at once
        Bytes a{ACK};
        Append(a, FrameB(ReplyText(in, Slice(w, 4, 2), true)));
        return a;
    }
    return {}; // DLE EOT, the host's ACK, anything else: silence
}

// One selector byte per write: how the reader answers this time.
//   mode 0 silence, 1-3 as it should, 4 raw bytes, 5 as it should with one
//   byte changed, 6 as it should with garbage behind, 7 the write fails
//   (the line hung up; the next write may work again);
//   high bits: the answer drips in pieces of that many bytes.
Bytes Answer(const Bytes& w, Input& in, bool& bFailWrite) {
    const uint8_t sel = in.u8();
    g_line.uiChunk = sel >> 5;
    switch (sel & 7) {
    case 0:
        return {};
    case 4:
        return in.Take(in.u8());
    case 7:
        bFailWrite = true;
        return {};
    default:
        break;
    }
    Bytes a = ProperAnswer(w, in);
    if ((sel & 7) == 5 && !a.empty())
        a[in.u16() % a.size()] ^= static_cast<uint8_t>(in.u8() | 1);
    if ((sel & 7) == 6)
        Append(a, in.Take(in.u8() % 16 + 1));
    return a;
}

class FuzzLine : public OSerialLine {
public:
    int iOpen(const tLineSettings&) override { return 0; }
    void vClose() override {}
    int iWrite(const uint8_t* pData, size_t uiLen) override {
        if (!g_in)
            return 0;
        bool bFail = false;
        const Bytes a = Answer(Bytes(pData, pData + uiLen), *g_in, bFail);
        if (bFail)
            return 1;
        g_line.pending.insert(g_line.pending.end(), a.begin(), a.end());
        return 0;
    }
    int iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t uiTimeoutMs) override {
        NoteTimeout(uiTimeoutMs);
        uiGot = 0;
        if (g_line.pending.empty() || uiWant == 0) {
            g_now += uiTimeoutMs; // the whole time-out passes
            return 1;
        }
        size_t n = std::min(uiWant, g_line.pending.size());
        if (g_line.uiChunk)
            n = std::min(n, g_line.uiChunk);
        std::copy(g_line.pending.begin(), g_line.pending.begin() + static_cast<std::ptrdiff_t>(n),
                  pBuf);
        g_line.pending.erase(g_line.pending.begin(),
                             g_line.pending.begin() + static_cast<std::ptrdiff_t>(n));
        uiGot = n;
        g_now += 1;
        return 0;
    }
    int iSetModemLine(ModemLine, bool) override { return 0; }
    void vPurgeInput() override { g_line.pending.clear(); }
};

// ---------------------------------------------------------- HID transport

struct HidState {
    std::deque<Bytes> queued; // input reports not read yet, also late ones
    bool bPresent = true;
    size_t uiIn = 65, uiOut = 65;
} g_hid;

Bytes Report(const Bytes& content, size_t uiLen) {
    Bytes r = Slice(content, 0, uiLen);
    r.resize(uiLen, 0);
    return r;
}

// The input reports a behaving reader sends for the output report w.
std::vector<Bytes> ProperReports(const Bytes& w, Input& in) {
    std::vector<Bytes> out;
    if (w.size() < 3)
        return out;
    const size_t n = static_cast<size_t>(w[1]) << 8 | w[2];
    const Bytes echo = Slice(w, 4, 2); // command characters behind the "C"
    const Bytes text = ReplyText(in, echo, true);
    Bytes msg{w[0], static_cast<uint8_t>(text.size() >> 8), static_cast<uint8_t>(text.size())};
    Append(msg, text);
    (void)n;
    if (w[0] == 0x04) { // family B: the message continues in reports 64 bytes apart
        for (size_t at = 0; at < msg.size(); at += 64)
            out.push_back(Report(Slice(msg, at, 64), g_hid.uiIn));
    } else { // family A: one report, cut where the report ends
        out.push_back(Report(msg, g_hid.uiIn));
    }
    return out;
}

class FuzzHid : public OHidTransport {
public:
    bool bOpenDevice(uint16_t, uint16_t) override {
        m_bOpen = g_hid.bPresent;
        return m_bOpen;
    }
    // Drops what is queued now; reports made by the next write come after it.
    void vDrainInput() override { g_hid.queued.clear(); }
    bool bWriteReport(const uint8_t* pReport, size_t uiBufSize, uint32_t uiTimeoutMs) override {
        NoteTimeout(uiTimeoutMs);
        if (!m_bOpen || !g_in)
            return false;
        Bytes w(pReport, pReport + std::min(uiBufSize, g_hid.uiOut));
        w.resize(g_hid.uiOut, 0);
        Input& in = *g_in;
        const uint8_t sel = in.u8();
        std::vector<Bytes> reports;
        switch (sel & 7) {
        case 0:
            break;
        case 4:
            for (int k = in.u8() % 4; k >= 0; --k)
                reports.push_back(Report(in.Take(in.u8()), g_hid.uiIn));
            break;
        case 7:
            return false;
        default:
            reports = ProperReports(w, in);
            if ((sel & 7) == 5 && !reports.empty()) {
                Bytes& r = reports[in.u8() % reports.size()];
                if (!r.empty())
                    r[in.u16() % r.size()] ^= static_cast<uint8_t>(in.u8() | 1);
            }
            if ((sel & 7) == 6)
                reports.push_back(Report(in.Take(in.u8()), g_hid.uiIn));
        }
        for (Bytes& r : reports)
            g_hid.queued.push_back(std::move(r));
        return true;
    }
    bool bReadReport(uint8_t* pReport, size_t uiBufSize, uint32_t& uiCount,
                     uint32_t uiTimeoutMs) override {
        NoteTimeout(uiTimeoutMs);
        if (!m_bOpen)
            return false;
        if (g_hid.queued.empty()) {
            g_now += uiTimeoutMs;
            uiCount = 0;
            return false;
        }
        const Bytes r = std::move(g_hid.queued.front());
        g_hid.queued.pop_front();
        const size_t n = std::min(uiBufSize, r.size());
        std::copy(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n), pReport);
        uiCount = static_cast<uint32_t>(n);
        g_now += 1;
        return true;
    }
    size_t uiInputReportLength() const override { return m_bOpen ? g_hid.uiIn : 0; }
    size_t uiOutputReportLength() const override { return m_bOpen ? g_hid.uiOut : 0; }
    void vClose() override { m_bOpen = false; }

private:
    bool m_bOpen = false;
};

bool IsSuccessClass(int iCode) {
    return iCode == 0 || (iCode >= 1201 && iCode <= 1210) || iCode == 1212 || iCode == 1213;
}

constexpr int32_t kUntouched = -7;

} // namespace

int SmallInt(Input& in) {
    const uint8_t b = in.u8();
    if (b < 0xF0)
        return static_cast<int>(b % 10) - 1; // -1 .. 8
    return static_cast<int>(in.u32());
}

namespace {
uint32_t* LenCell(Guarded& g, uint32_t uiValue) {
    uint32_t* p = g.As<uint32_t>();
    *p = uiValue;
    return p;
}
} // namespace

void CheckLength(const char* pOp, const char* pWhat, uint32_t uiLen, uint32_t uiArea) {
    if (uiLen != kLenMarker && uiLen > uiArea && !bTolerated("length"))
        Fail("%s: %s %u written, the area holds %u", pOp, pWhat, uiLen, uiArea);
}

Bytes Input::Take(size_t uiCount) {
    const size_t n = std::min(uiCount, uiLeft());
    Bytes b(m_p + m_pos, m_p + m_pos + n);
    m_pos += n;
    return b;
}

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

bool bTolerated(const char* pCheck) {
    const char* env = getenv("QUILLON_FUZZ_TOLERATE");
    if (!env)
        return false;
    const std::string list = std::string(",") + env + ",";
    return list.find(std::string(",") + pCheck + ",") != std::string::npos;
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
    quillon::SetClockSource([] { return g_now; });
    quillon::SetSleepHook(&VirtualSleep);
    OSerialLineFactory::fnReplace([] { return std::unique_ptr<OSerialLine>(new FuzzLine); });
    OHidTransportFactory::fnReplace([] { return std::unique_ptr<OHidTransport>(new FuzzHid); });
}

void WriteConfig(const std::string& iniText) {
    std::ofstream out(g_config, std::ios::binary | std::ios::trunc);
    out << iniText;
}

std::string ConfigFromInput(Input& in, int iCardReaderType) {
    std::string ini = "[CARDREADER]\nPort=/dev/fuzz\n";
    ini += "[CardReaderType]\nCardReaderType=" + std::to_string(iCardReaderType) + "\n";
    static const char* const kKeys[] = {"ProtocolMode", "IntakeMode",      "ActMode",
                                        "MotorSpeed",   "DispenseCardDev", "Dtr"};
    const uint8_t present = in.u8();
    for (unsigned k = 0; k < sizeof kKeys / sizeof kKeys[0]; ++k) {
        if (!(present & (1u << k)))
            continue;
        const int value = (present & 0x80) ? static_cast<int>(in.u32()) : in.u8() % 4;
        ini += std::string("[") + kKeys[k] + "]\n" + kKeys[k] + "=" + std::to_string(value) + "\n";
    }
    ini += "[USB]\nVID=" + std::to_string(in.u16()) + "\nPID=" + std::to_string(in.u16()) + "\n";
    return ini;
}

void Begin(Input& in) {
    g_in = &in;
    g_line.pending.clear();
    g_line.uiChunk = 0;
    g_line.lastA.clear();
    g_line.lastModule.clear();
    g_line.lastC.clear();
    g_hid.queued.clear();
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
    : m_p(new uint8_t[uiSize + kGuardBytes]), m_size(uiSize) {
    std::memset(m_p, byFill, uiSize);
    std::memset(m_p + uiSize, kGuardByte, kGuardBytes);
}

Guarded::~Guarded() {
    delete[] m_p;
}

void Guarded::vCheck(const char* pWhat) const {
    for (size_t i = 0; i < kGuardBytes; ++i)
        if (m_p[m_size + i] != kGuardByte)
            Fail("%s: byte %zu behind a caller's buffer of %zu bytes was written", pWhat, i,
                 m_size);
}

void FreshRecord(tDevReturn* pRecord) {
    pRecord->iCode1 = pRecord->iCode2 = kUntouched;
    pRecord->iErrFlag1 = pRecord->iErrFlag2 = kUntouched;
    std::memset(pRecord->acReplyText, 'x', sizeof pRecord->acReplyText);
}

void CheckOutcome(const char* pOp, int iResult, const tDevReturn* r, const Limits& limits,
                  bool bTrackOp) {
    const uint32_t timeout = TakeLargestTimeout();
    if (timeout > limits.uiMaxTimeoutMs && !bTolerated("timeout"))
        Fail("%s (%s): a read asked for %u ms, the family's longest command time-out is %u ms", pOp,
             limits.pName, timeout, limits.uiMaxTimeoutMs);
    const bool touched = r->iCode1 != kUntouched || r->iCode2 != kUntouched ||
                         r->iErrFlag1 != kUntouched || r->iErrFlag2 != kUntouched;
    if (touched) {
        if (r->iCode1 != r->iCode2 || r->iErrFlag1 != r->iErrFlag2)
            Fail("%s: record %d, %d, %d, %d: codes or flags differ", pOp, r->iCode1, r->iCode2,
                 r->iErrFlag1, r->iErrFlag2);
        if (!(r->iCode2 == 0 || (r->iCode2 >= 1201 && r->iCode2 <= 1299)))
            Fail("%s: record code %d is no library code", pOp, r->iCode2);
        if (r->iErrFlag2 != 0 && r->iErrFlag2 != 1)
            Fail("%s: record flag %d", pOp, r->iErrFlag2);
        if (r->iErrFlag2 == 1 && IsSuccessClass(r->iCode2))
            Fail("%s: record flag 1 with the success code %d", pOp, r->iCode2);
    }
    const bool tolerated =
        bTolerated("result") || bTolerated(("result:" + std::string(pOp)).c_str());
    if (iResult == 0) {
        if (touched && !IsSuccessClass(r->iCode2) && !tolerated)
            Fail("%s: result 0 with the failure code %d in the record", pOp, r->iCode2);
    } else if (iResult == 1) {
        if (touched && IsSuccessClass(r->iCode2) && !tolerated)
            Fail("%s: result 1 with the success code %d in the record", pOp, r->iCode2);
    } else if (bTrackOp && (iResult == 1249 || iResult == 1251 || iResult == 1268)) {
        // A track code as the result: the record keeps what the last
        // exchange wrote (family A's 1249 comes with the reader's positive
        // code), or is not written at all.
    } else {
        Fail("%s: result %d", pOp, iResult);
    }
}

void RunDriver(OIdcDriver& d, Input& in, const Limits& limits) {
    for (int step = 0; step < 64 && !in.bEmpty(); ++step)
        RunStep(d, in, limits);
}

void RunStep(OIdcDriver& d, Input& in, const Limits& limits) {
    {
        Guarded rec(sizeof(tDevReturn));
        tDevReturn* r = rec.As<tDevReturn>();
        FreshRecord(r);
        TakeLargestTimeout();
        const uint8_t op = in.u8();
        // Now and then a null pointer: for the out records only where the
        // caller reaches the driver directly (the exports); the manager
        // refuses those before any driver sees them.
        const bool bNullArg = (op & 0xE0) == 0xE0;
        const bool bNull = bNullArg && limits.bNullRecords;
        int res = 0;
        const char* name = "";
        bool track = false;
        switch (op % 16) {
        case 0:
            name = "Init";
            res = d.Init(SmallInt(in), r);
            break;
        case 1:
        case 15: {
            name = "GetStatus";
            Guarded st(sizeof(tIdcStatus));
            res = d.GetStatus(bNull ? nullptr : st.As<tIdcStatus>(), r);
            st.vCheck(name);
            break;
        }
        case 2:
            name = "AcceptCard";
            res = d.AcceptCard(SmallInt(in), r);
            break;
        case 3: {
            name = "ChipIO";
            const uint8_t how = in.u8();
            int len = how < 0xF0 ? in.u16() % 1100 : static_cast<int>(in.u32());
            Guarded cmd(len > 0 && len <= 4096 ? static_cast<size_t>(len) : 1);
            const Bytes bytes = in.Take(cmd.uiSize());
            std::copy(bytes.begin(), bytes.end(), cmd.p());
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
            name = "ChipPower";
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
            name = "EjectCard";
            res = d.EjectCard(r);
            break;
        case 6: {
            name = "GetCapabilities";
            Guarded caps(sizeof(tIdcCaps));
            res = d.GetCapabilities(bNull ? nullptr : caps.As<tIdcCaps>(), r);
            caps.vCheck(name);
            break;
        }
        case 7: {
            name = "GetLifeInfo";
            Guarded life(sizeof(tIdcLife));
            res = d.GetLifeInfo(bNull ? nullptr : life.As<tIdcLife>(), r);
            life.vCheck(name);
            break;
        }
        case 8: {
            name = "ReadTrack";
            track = true;
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
            name = "Reset";
            res = d.Reset(r);
            break;
        case 10:
            name = "ResetCount";
            res = d.ResetCount(SmallInt(in), r);
            break;
        case 11: {
            name = "RetainCard";
            Guarded count(sizeof(uint32_t));
            res = d.RetainCard(bNull ? nullptr : count.As<uint32_t>(), r);
            count.vCheck(name);
            break;
        }
        case 12:
            name = "ReleaseAntiFishing";
            res = d.ReleaseAntiFishing(r);
            break;
        case 13: {
            name = "WriteTrack";
            track = true;
            Guarded tracks(sizeof(tIdcTracks));
            tIdcTracks* t = tracks.As<tIdcTracks>();
            const Bytes data =
                in.Take(sizeof t->abTrack1 + sizeof t->abTrack2 + sizeof t->abTrack3);
            std::copy(data.begin(), data.end(), tracks.p() + offsetof(tIdcTracks, abTrack1));
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
            name = "SetCommPara";
            res = d.SetCommPara(r);
            break;
        }
        rec.vCheck(name);
        CheckOutcome(name, res, r, limits, track);
    }
}

} // namespace fuzz
