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

// The state the service reports (Common.Status), as enums; the names
// below are the only texts of them (the wire and the metrics use these).
enum class DeviceState { Online, Offline, NoDevice, HardwareError };
enum class MediaState { Present, NotPresent, Entering, Jammed, Unknown };
enum class ChipState { Online, PoweredOff, NoCard, Unknown };
inline constexpr const char* kDeviceStateNames[] = {"online", "offline", "noDevice",
                                                    "hardwareError"};
inline constexpr const char* kMediaStateNames[] = {"present", "notPresent", "entering", "jammed",
                                                   "unknown"};
inline constexpr const char* kChipStateNames[] = {"online", "poweredOff", "noCard", "unknown"};
inline const char* Name(DeviceState e) {
    return kDeviceStateNames[static_cast<int>(e)];
}
inline const char* Name(MediaState e) {
    return kMediaStateNames[static_cast<int>(e)];
}
inline const char* Name(ChipState e) {
    return kChipStateNames[static_cast<int>(e)];
}

struct tDeviceState {
    DeviceState eDevice = DeviceState::Online;
    MediaState eMedia = MediaState::Unknown;
    ChipState eChip = ChipState::Unknown;
    bool operator==(const tDeviceState& o) const {
        return eDevice == o.eDevice && eMedia == o.eMedia && eChip == o.eChip;
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
    // The retain bin's marks from the configuration (0: not set) and its
    // replenishment status: "ok", "high" or "full".
    virtual void vOnRetainBin(int64_t iCapacity, int64_t iHighMark, const char* pStatus) {
        (void)iCapacity, (void)iHighMark, (void)pStatus;
    }
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
