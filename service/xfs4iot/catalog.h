// What the service offers: its commands, one row each with their message
// versions, error codes, payload check and handler; its events, the
// capabilities' interface list. Every
// message carries its own version (docs/xfs4iot.md lists them).
#pragma once

#include <string>

#include "codes.h"
#include "message.h"

namespace quillon::xfs {

// What a reader must do for a command to be offered: the library's feature
// bits of the reader (QUILLON_FEATURE_, the same values).
constexpr unsigned kNeedsTrackWrite = 0x1, kNeedsRetainCounter = 0x2;

// What the technician's page may send: nothing, anything of the command,
// or the command with its card going to the exit when its actions are allowed.
enum class PageUse { No, Yes, ToExitWithActions };

enum class Check { Ok, InvalidData, UnsupportedData };
struct tCheck {
    Check e = Check::Ok;
    std::string sWhy;
};

class OService;
struct tJob;
struct tResult;
// A command's payload checked (types and values) before anything runs.
using PayloadCheck = tCheck (*)(const Json& payload);
// A command's handler: at once under the service's lock on the caller's
// thread, or queued on the reader worker.
using CommandHandler = tResult (OService::*)(tJob& job);

// One row per command: all the service knows of it (catalog.cpp).
struct tCommandSpec {
    const char* pName;
    const char* pVersion;           // of the command message
    const char* pCompletionVersion; // of its completion
    bool bAtOnce;                   // answered on arrival, also while a command runs
    const char* const* pErrorCodes; // nullptr-terminated; nullptr: none
    unsigned uNeeds;                // what the reader must do for it to be offered
    PageUse ePage;
    PayloadCheck pCheck; // nullptr: any object
    CommandHandler pRun;
    bool bOffered(unsigned uFeatures) const { return (uNeeds & ~uFeatures) == 0; }
    // Types and values of the command's payload.
    tCheck CheckPayload(const Json& payload) const { return pCheck ? pCheck(payload) : tCheck(); }
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

// Track n (1..3): the most bytes it holds.
size_t TrackCapacity(int iTrack);

} // namespace quillon::xfs
