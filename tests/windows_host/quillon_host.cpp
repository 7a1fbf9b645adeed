// A host program's view of Quillon.dll: the library loaded by name, the
// exports found by name; a USB reader (type 6) that is not plugged in; then
// a card's visit to a family-A reader behind a COM port, with the records
// read as bytes at their documented offsets.
//
//   quillon_host COMn
//
// Under Wine, COMn is mapped to the pseudo-terminal of the family-A reader
// emulator (idc-emu --family a --auto-insert --entry-delay 20). Prints every
// step; exits 0 only when every step gave the expected result.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "quillon/idc.h"

namespace {

// The tracks of the emulator's card.
const char kTrack1[] = "%B4000001234567899^DOE/JOHN^30121010000000000000?";
const char kTrack2[] = ";4000001234567899=30121010000000000?";
const char kTrack3[] =
    ";014000001234567899=724724100000000000030300000010000000000000000000000000000?";

// tIdcStatus field 1 of family A: where the card is.
constexpr uint16_t kNoCard = 1;
constexpr uint16_t kCardInside = 3;

int g_failures = 0;

bool Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok)
        ++g_failures;
    return ok;
}

// A record the library has not written yet.
tDevReturn Untouched() {
    tDevReturn r;
    std::memset(&r, 0x5A, sizeof r);
    return r;
}

// An operation that fills no record (or must leave it alone).
bool Returns(const char* what, int result, int wantResult) {
    return Check(result == wantResult, std::string(what) + ": result " + std::to_string(result) +
                                           " (want " + std::to_string(wantResult) + ")");
}

// "Init: result 0, code 1201 (want 0, 1201)": result and record.
bool Step(const char* what, int result, const tDevReturn& r, int wantResult, int wantCode) {
    const std::string text = std::string(what) + ": result " + std::to_string(result) + ", code " +
                             std::to_string(r.iCode2) + " (want " + std::to_string(wantResult) +
                             ", " + std::to_string(wantCode) + ")";
    return Check(result == wantResult && r.iCode1 == wantCode && r.iCode2 == wantCode, text);
}

// A record's bytes and 16 more behind them, which the library must not write.
struct tGuarded {
    uint8_t ab[256 + 16];
    explicit tGuarded(size_t uiSize) : uiSize(uiSize) { std::memset(ab, 0x5A, sizeof ab); }
    const size_t uiSize;
    uint32_t uiAt(size_t uiOffset) const {
        uint32_t v;
        std::memcpy(&v, ab + uiOffset, sizeof v);
        return v;
    }
    // The text at a documented byte offset, of the length given.
    std::string sAt(size_t uiOffset, uint32_t uiLen, size_t uiArea) const {
        return std::string(reinterpret_cast<const char*>(ab + uiOffset),
                           uiLen <= uiArea ? uiLen : 0);
    }
    bool bGuardKept() const {
        for (size_t i = uiSize; i < uiSize + 16; ++i)
            if (ab[i] != 0x5A)
                return false;
        return true;
    }
};

// The configuration file the library reads (QUILLON_CONFIG), removed at the end.
class Config {
public:
    Config() {
        char temp[MAX_PATH] = {};
        ::GetTempPathA(sizeof temp, temp);
        m_path =
            std::string(temp) + "quillon-host-" + std::to_string(::GetCurrentProcessId()) + ".ini";
        _putenv_s("QUILLON_CONFIG", m_path.c_str());
    }
    ~Config() { ::DeleteFileA(m_path.c_str()); }
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    bool bWrite(const std::string& text) const {
        FILE* f = std::fopen(m_path.c_str(), "wb");
        if (!f)
            return false;
        const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        return std::fclose(f) == 0 && ok;
    }

private:
    std::string m_path;
};

struct Api {
    decltype(&IDC_SetCommPara) SetCommPara;
    decltype(&IDC_CloseComm) CloseComm;
    decltype(&IDC_Init) Init;
    decltype(&IDC_GetStatus) GetStatus;
    decltype(&IDC_AcceptCard) AcceptCard;
    decltype(&IDC_EjectCard) EjectCard;
    decltype(&IDC_GetCapabilities) GetCapabilities;
    decltype(&IDC_ReadTrack) ReadTrack;
};

template <class F> bool Take(HMODULE h, const char* name, F& f) {
    f = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(h, name)));
    return Check(f != nullptr, std::string("GetProcAddress(\"") + name + "\")");
}

// The exports used here, found by name as a host finds them. (Every export
// at its ordinal and nothing else: tools/check-dll-exports.sh, and the
// platform tests' QuillonDll.) Each is looked up, and each missing one named.
bool bFindExports(HMODULE h, Api& api) {
    return Take(h, "IDC_SetCommPara", api.SetCommPara) & Take(h, "IDC_CloseComm", api.CloseComm) &
           Take(h, "IDC_Init", api.Init) & Take(h, "IDC_GetStatus", api.GetStatus) &
           Take(h, "IDC_AcceptCard", api.AcceptCard) & Take(h, "IDC_EjectCard", api.EjectCard) &
           Take(h, "IDC_GetCapabilities", api.GetCapabilities) &
           Take(h, "IDC_ReadTrack", api.ReadTrack);
}

// CardReaderType 6 with no such USB device present: the search through
// SetupAPI finds nothing, SetCommPara fails without touching the record, and
// commands are not sent.
void UsbReaderAbsent(const Api& api, const Config& config) {
    std::printf("-- USB reader (CardReaderType 6), not present\n");
    if (!Check(config.bWrite("[CARDREADER]\nPort=COM250\n[CardReaderType]\nCardReaderType=6\n"
                             "[USB]\nVID=4660\nPID=22136\n"),
               "configuration written"))
        return;
    tDevReturn r = Untouched();
    Returns("SetCommPara", api.SetCommPara(&r), 1);
    Check(r.iCode1 == 0x5A5A5A5A && r.iCode2 == 0x5A5A5A5A, "SetCommPara: record as passed");
    tIdcStatus st{};
    r = Untouched();
    Step("GetStatus", api.GetStatus(&st, &r), r, 1, 1223);
    Returns("CloseComm", api.CloseComm(), 0);
}

// Asks for the status until the card is inside, as a host does after
// enabling card entry.
bool bWaitUntilInside(const Api& api) {
    for (int i = 0; i < 200; ++i) {
        tIdcStatus st{};
        tDevReturn r = Untouched();
        if (api.GetStatus(&st, &r) == 0 && st.usField[1] == kCardInside)
            return true;
        ::Sleep(10);
    }
    return false;
}

// A card's visit to the family-A reader on the port: the port is opened
// once (by SetCommPara).
void CardVisit(const Api& api, const Config& config, const std::string& port) {
    std::printf("-- family-A reader (CardReaderType 1) on %s\n", port.c_str());
    if (!Check(
            config.bWrite("[CARDREADER]\nPort=" + port + "\n[CardReaderType]\nCardReaderType=1\n"),
            "configuration written"))
        return;
    tDevReturn r = Untouched();
    if (!Returns("SetCommPara", api.SetCommPara(&r), 0)) {
        api.CloseComm();
        return;
    }
    r = Untouched();
    Step("Init(1)", api.Init(1, &r), r, 0, 1201);

    tGuarded caps(176);
    r = Untouched();
    Returns("GetCapabilities", api.GetCapabilities(reinterpret_cast<tIdcCaps*>(caps.ab), &r), 0);
    Check(caps.sAt(80, 10, 32) == std::string("V1.0.1 b6", 10) && caps.bGuardKept(),
          "capabilities: version text at byte 80, nothing written past byte 176");

    tIdcStatus st{};
    r = Untouched();
    Step("GetStatus", api.GetStatus(&st, &r), r, 0, 1201);
    Check(st.usField[1] == kNoCard, "status: no card (" + std::to_string(st.usField[1]) + ")");

    r = Untouched();
    Step("AcceptCard(1)", api.AcceptCard(1, &r), r, 0, 1202);
    Check(bWaitUntilInside(api), "status: card inside");

    // Lengths at bytes 0, 4 and 8, the areas at 12, 92 and 133.
    tGuarded t(241);
    r = Untouched();
    Step("ReadTrack", api.ReadTrack(reinterpret_cast<tIdcTracks*>(t.ab), &r), r, 0, 1203);
    Check(t.sAt(12, t.uiAt(0), 80) == kTrack1, "track 1 at byte 12");
    Check(t.sAt(92, t.uiAt(4), 41) == kTrack2, "track 2 at byte 92");
    Check(t.sAt(133, t.uiAt(8), 108) == kTrack3, "track 3 at byte 133");
    Check(t.bGuardKept(), "tracks: nothing written past byte 241");

    r = Untouched();
    Step("EjectCard", api.EjectCard(&r), r, 0, 1202);
    Returns("CloseComm", api.CloseComm(), 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillon_host COMn\n");
        return 2;
    }
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&::FreeLibrary)> library(
        ::LoadLibraryA("Quillon.dll"), &::FreeLibrary);
    const DWORD loadError = ::GetLastError();
    if (!Check(library != nullptr, "LoadLibraryA(\"Quillon.dll\")")) {
        std::printf("error %lu\n", static_cast<unsigned long>(loadError));
        return 1;
    }
    Api api{};
    if (!bFindExports(library.get(), api))
        return 1;
    Config config;
    UsbReaderAbsent(api, config);
    CardVisit(api, config, argv[1]);
    std::printf("%s\n", g_failures == 0 ? "quillon_host: passed" : "quillon_host: FAILED");
    return g_failures == 0 ? 0 : 1;
}
