// What the service offers: its commands with their message versions and
// error codes, its events, the capabilities' interface list, and the check
// of each command's payload (types and values) before anything runs. Every
// message carries its own version (docs/xfs4iot.md lists them).
#pragma once

#include <string>

#include "codes.h"
#include "message.h"

namespace quillon::xfs {

enum class CommandId {
    Status,
    Capabilities,
    SetVersions,
    Cancel,
    ReadRawData,
    WriteRawData,
    Move,
    Reset,
    ChipPower,
    ChipIO,
    GetStorage,
    SetStorage,
    QueryIfmIdentifier,
    StartExchange,
    EndExchange,
    SetTransactionState,
    GetTransactionState,
    GetServices, // the publisher's only command
};

// What a reader must do for a command to be offered: the library's feature
// bits of the reader (QUILLON_FEATURE_, the same values).
constexpr unsigned kNeedsTrackWrite = 0x1, kNeedsRetainCounter = 0x2;

struct tCommandSpec {
    CommandId eId;
    const char* pName;
    const char* pVersion;           // of the command message
    const char* pCompletionVersion; // of its completion
    bool bAtOnce;                   // answered on arrival, also while a command runs
    const char* const* pErrorCodes; // nullptr-terminated; nullptr: none
    unsigned uNeeds;                // what the reader must do for it to be offered
    bool bOffered(unsigned uFeatures) const { return (uNeeds & ~uFeatures) == 0; }
};

// A service command by name (nullptr: not one of ours). The publisher's
// command is found with bPublisher only.
const tCommandSpec* FindCommand(const std::string& sName, bool bPublisher);

// The version of a completion the service sends for a command it does not
// offer (or not on this endpoint): the standard's for the commands of its
// interfaces, else nullptr.
const char* ForeignCompletionVersion(const std::string& sName);

// The major number of a version ("3.0" -> 3); 0 when it is none.
int MajorOf(const std::string& sVersion);

struct tEventSpec {
    const char* pName;
    const char* pVersion;
};
extern const tEventSpec kInsertCardEvent, kMediaInsertedEvent, kMediaRemovedEvent,
    kMediaDetectedEvent, kInvalidMediaEvent, kStatusChangedEvent, kErrorEvent,
    kStorageThresholdEvent, kStorageChangedEvent;
const tEventSpec* FindEvent(const std::string& sName);

// The one storage unit: the retain bin.
constexpr const char* kRetainUnit = "unit1";
// Commands a connection may have queued or running at a time.
constexpr int kMaxQueuedPerConnection = 32;

// "interfaces" of Common.Capabilities: the commands offered for the family
// and the events the service sends, keyed by their full names.
Json InterfacesJson(unsigned uFeatures);

enum class Check { Ok, InvalidData, UnsupportedData };
struct tCheck {
    Check e = Check::Ok;
    std::string sWhy;
};
// Types and values of a command's payload.
tCheck CheckPayload(CommandId eId, const Json& payload);

// Track n (1..3): the most bytes it holds.
size_t TrackCapacity(int iTrack);

} // namespace quillon::xfs
