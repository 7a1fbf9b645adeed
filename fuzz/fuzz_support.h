// What every fuzz target shares: a cursor over the fuzzer's bytes, a reader
// on the serial line and one behind a HID transport that answer from those
// bytes, a clock that only the fakes move, and the checks that an operation
// kept its promises to the caller.
//
// The reader fakes are hostile the way real lines are: a reply may come well
// formed, corrupted, cut short, with garbage behind it, byte by byte, or not
// at all; a write may fail; HID reports that nobody read stay queued for the
// next command. A read that finds nothing answers at once and moves the
// clock by the time-out asked for, so no input ever waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "infra/reader_comm.h"
#include "quillon/idc.h"
#include "readers/idc_driver.h"
#include "support/promises.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Reads the fuzzer's bytes front to back; past the end everything is 0.
class Input {
public:
    Input(const uint8_t* pData, size_t uiSize) : m_p(pData), m_n(uiSize) {}
    bool bEmpty() const { return m_pos >= m_n; }
    size_t uiLeft() const { return bEmpty() ? 0 : m_n - m_pos; }
    uint8_t u8() { return bEmpty() ? 0 : m_p[m_pos++]; }
    // Big-endian, the first byte read first.
    uint16_t u16() {
        const uint8_t hi = u8();
        return static_cast<uint16_t>(hi << 8 | u8());
    }
    uint32_t u32() {
        const uint32_t hi = u16();
        return hi << 16 | u16();
    }
    // Up to uiCount bytes (fewer when the input ends), in place: valid as
    // long as the fuzzer's bytes; how many goes to uiGot.
    const uint8_t* pTake(size_t uiCount, size_t& uiGot) {
        const uint8_t* p = m_p + m_pos;
        uiGot = uiCount < uiLeft() ? uiCount : uiLeft();
        m_pos += uiGot;
        return p;
    }
    // The same bytes copied to pTo.
    void vTakeInto(uint8_t* pTo, size_t uiCount) {
        size_t n = 0;
        if (const uint8_t* p = pTake(uiCount, n); n)
            std::memcpy(pTo, p, n);
    }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_pos = 0;
};

// Stops the program with a message naming the broken promise (libFuzzer
// then keeps the input).
[[noreturn]] void Fail(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));

// Once per process: a private folder on a memory file system with the
// configuration file that QUILLON_CONFIG names, the virtual clock, sleeps that
// only move that clock, and the fake line and HID transport as the
// library's factories.
void Setup();
// Writes the configuration file (INI text). Every write gives the file a
// modification time of its own, so that the library, which re-reads the file
// when its stamp changed, sees a rewrite of the same size at once.
void WriteConfig(const void* pText, size_t uiLen);
// Writes a configuration for a reader of this type on the fake line, the
// family's keys taken from the input (missing, or a small or odd value).
void WriteConfigFromInput(Input& in, int iCardReaderType);

// Starts a new input: the fakes answer from it, drop what an earlier input
// left queued, and forget the largest time-out seen.
void Begin(Input& in);

// The largest time-out the library asked the line or the HID transport for
// since the last call, and resets it.
uint32_t TakeLargestTimeout();

// A caller's buffer of uiSize bytes followed by guard bytes: ASan sees the
// exact size (the guard bytes are poisoned), a plain build checks that the
// guard bytes kept their value. The buffers come from a ring that ASan sees
// poisoned but for the buffers alive, so that a freed one stays
// unaddressable until the ring comes round.
class Guarded {
public:
    explicit Guarded(size_t uiSize, uint8_t byFill = 0xA5);
    ~Guarded();
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    uint8_t* p() { return m_p; }
    size_t uiSize() const { return m_size; }
    template <class T> T* As() { return reinterpret_cast<T*>(m_p); }
    // Fails when a byte behind the buffer changed.
    void vCheck(const char* pWhat) const;

private:
    uint8_t* m_p;
    size_t m_size;
};

// The family limits that the checks use.
struct Limits {
    const char* pName;
    uint32_t uiMaxTimeoutMs;   // the largest per-command time-out of the family
    bool bNullRecords = false; // out records may be null (calls through the exports)
};

// Checks the promises of one finished operation (support/promises.h: the
// record, and the result beside it) and that no read asked for a time-out
// beyond the family's largest. pRecord was filled by FreshRecord() before the
// call.
void CheckOutcome(const char* pOp, int iResult, const tDevReturn* pRecord, const Limits& limits,
                  promises::TrackOp eTrack = promises::TrackOp::None);
// A record with marker values, so that an untouched one can be told apart.
void FreshRecord(tDevReturn* pRecord);

// Runs the driver operations the input chooses (up to 64) after its
// SetCommPara, with arguments from the input, on caller buffers with guard
// bytes, checking each outcome. The driver is reached as the device manager
// reaches it: the manager's argument checks first, its record writer after.
void RunDriver(quillon::OIdcDriver& driver, Input& in, const Limits& limits);
// One operation the input chooses, the same way, through the IDC_ exports
// (null out records too when limits say so).
void RunExportStep(Input& in, const Limits& limits);

// The whole of a driver's fuzz target: the configuration of iCardReaderType
// (0: 4 or 5, as the input's first byte says), the fakes, the driver on a
// communication object of its own, RunDriver.
template <class Driver>
int DriverTarget(const uint8_t* pData, size_t uiSize, int iCardReaderType, const Limits& limits) {
    Setup();
    Input in(pData, uiSize);
    WriteConfigFromInput(in, iCardReaderType ? iCardReaderType : (in.u8() & 1 ? 5 : 4));
    Begin(in);
    quillon::OReaderComm comm(nullptr, "CARDREADER");
    Driver reader(&comm);
    RunDriver(reader, in, limits);
    return 0;
}
// The libFuzzer entry point of a driver's target.
#define QUILLON_FUZZ_DRIVER(Driver, iCardReaderType, pName, uiMaxTimeoutMs)                        \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {                   \
        return fuzz::DriverTarget<Driver>(pData, uiSize, iCardReaderType,                          \
                                          fuzz::Limits{pName, uiMaxTimeoutMs});                    \
    }

// Whether a check is switched off for the moment: QUILLON_FUZZ_TOLERATE
// lists check names (comma-separated) of faults known and being fixed, so
// that a long run can look past them. Empty in CI.
bool bTolerated(const std::string& check);

} // namespace fuzz
