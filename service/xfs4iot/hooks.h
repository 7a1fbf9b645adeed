// Where the service tells an observer what it sees: commands done, library
// results, cards moving, connections, states. Every callback is empty here;
// an observer (counters, a technician's page) overrides what it needs.
// Callbacks run on the service's threads (network or reader worker), one at
// a time per thread but from both: an observer guards its own data, returns
// quickly and never calls back into the service.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::xfs {

enum class CardMove { Inserted, Ejected, Taken, Retained };

// The state the service reports (Common.Status).
struct tDeviceState {
    std::string sDevice = "online"; // online, offline, noDevice, hardwareError, ...
    std::string sMedia = "unknown"; // present, notPresent, entering, jammed, unknown
    std::string sChip = "unknown";  // online, poweredOff, noCard, unknown, ...
    bool operator==(const tDeviceState& o) const {
        return sDevice == o.sDevice && sMedia == o.sMedia && sChip == o.sChip;
    }
    bool operator!=(const tDeviceState& o) const { return !(*this == o); }
};

class OServiceEvents {
public:
    virtual ~OServiceEvents() = default;
    // A connection opened or closed; uiOpen: connections open now.
    virtual void vOnConnection(bool bOpened, size_t uiOpen) { (void)bOpened, (void)uiOpen; }
    // An acknowledge that refused a command (invalidMessage, ...).
    virtual void vOnRejected(const char* pStatus) { (void)pStatus; }
    // A command completed: its name, completion and error code (may be
    // empty), and how long it took from arrival.
    virtual void vOnCommandDone(const std::string& sName, const std::string& sCompletion,
                                const std::string& sErrorCode, int64_t iMicros) {
        (void)sName, (void)sCompletion, (void)sErrorCode, (void)iMicros;
    }
    // The worker starts a queued command (its name), or is done with it
    // (nullptr): the one command the reader runs now.
    virtual void vOnCommandRunning(const char* pName) { (void)pName; }
    // A library call returned: the function, its result and the code.
    virtual void vOnLibraryCall(const char* pFunction, int iResult, int iCode) {
        (void)pFunction, (void)iResult, (void)iCode;
    }
    // A track read: 1..3 and "data" or the track's status (dataMissing, ...).
    virtual void vOnTrack(int iTrack, const char* pStatus) { (void)iTrack, (void)pStatus; }
    virtual void vOnCard(CardMove eMove) { (void)eMove; }
    // The media state became jammed (from a command or the status).
    virtual void vOnJam() {}
    // A chip powered up, an APDU exchanged: "chipT0", "chipT1" or "memory".
    virtual void vOnChipPowerUp(const char* pProtocol) { (void)pProtocol; }
    virtual void vOnApdu(const char* pProtocol) { (void)pProtocol; }
    // The retain bin's count as last read from the reader.
    virtual void vOnRetainCount(int64_t iCount) { (void)iCount; }
    // The reader's eleven life counters as IDC_GetLifeInfo read them
    // (meaning per family: docs/operations.md).
    virtual void vOnLifeCounters(const uint32_t (&auiValues)[11]) { (void)auiValues; }
    // The reader opened: its family ("A", "B", "C" or ""), model, firmware
    // and the library's version text.
    virtual void vOnIdentity(const char* pFamily, const std::string& sModel,
                             const std::string& sFirmware, const std::string& sLibrary) {
        (void)pFamily, (void)sModel, (void)sFirmware, (void)sLibrary;
    }
    virtual void vOnStateChange(const tDeviceState& before, const tDeviceState& after) {
        (void)before, (void)after;
    }
};

} // namespace quillon::xfs
