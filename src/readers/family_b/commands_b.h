// Family B's commands, by what they ask of the reader, and the time-outs
// their replies get. Commands that come in series (initialisation, card
// entry, chip activation) stand in tables where they are used.
#pragma once

#include <cstdint>

namespace quillon {
namespace famb {

constexpr const char* kCmdReadRetainCounter = "CC0"; // two digits
constexpr const char* kCmdClearRetainCounter = "CC100";
constexpr const char* kCmdRetainAgain = "CC101"; // after "N50": retaining refused until then
constexpr const char* kCmdFirmware = "CA1";      // the firmware identifier tells the model
constexpr const char* kCmdIntakeMode0 = "C:X0";
constexpr const char* kCmdIntakeMode1 = "C:X1";
constexpr const char* kCmdActMode0 = "Cc90";
constexpr const char* kCmdActMode1 = "Cc91";
constexpr const char* kCmdInfoAndDate = "Ce2";
constexpr const char* kCmdStatus = "C13";
constexpr const char* kCmdSensors = "C11";
constexpr const char* kCmdEject = "C30";
constexpr const char* kCmdRetain = "C31";
constexpr const char* kCmdLifeCounters = "CfA";
constexpr const char* kCmdReleaseAntiFishing = "Cc:1";
// Tracks.
constexpr const char* kCmdReadAllTracks = "C65"; // track 1 '~' track 2 '~' track 3
constexpr const char* kCmdTrackFlags = "C67";    // which tracks hold data
constexpr const char* kCmdReadTrack1 = "C61";
constexpr const char* kCmdReadTrack2 = "C62";
constexpr const char* kCmdReadTrack3 = "C63";
constexpr const char* kCmdReadTrack2Raw = "CD2";
constexpr const char* kCmdReadTrack2Other = "CD:";
// Chip.
constexpr const char* kCmdContactsDown = "C@0";
constexpr const char* kCmdContactsUp = "C@2";
constexpr const char* kCmdReactivateProcessor = "CI8";
constexpr const char* kCmdReactivateCeChip = "CIH";
constexpr const char* kCmdProcessorOff = "CI1";
constexpr const char* kCmdCeChipOff = "Ce21";
constexpr const char* kCmdMemoryChipOff = "CR1";
constexpr const char* kCmdApduT0 = "CI3";       // prefix of a T=0 command
constexpr const char* kCmdApduT1 = "CI4";       // prefix of a T=1 command in one block
constexpr const char* kCmdBlockT1 = "CI5";      // prefix of a T=1 block that more follow
constexpr const char* kCmdLastBlockT1 = "CI6";  // prefix of the last T=1 block
constexpr const char* kCmdRestOfReply = "CI7";  // more of a chip reply ("5" in the echo)
constexpr const char* kCmdMemoryChip45 = "CR3"; // memory-chip command prefixes by chip type
constexpr const char* kCmdMemoryChip67 = "CR4";
constexpr const char* kCmdMemoryChip8 = "CU3";

// Reply time-outs.
constexpr uint32_t kResetTimeoutMs = 30000;
constexpr uint32_t kEntryTimeoutMs = 30000;
constexpr uint32_t kMotionTimeoutMs = 20000; // eject, retain
constexpr uint32_t kQueryTimeoutMs = 10000;  // counters, identification, configuration
constexpr uint32_t kStatusTimeoutMs = 5000;  // status, sensors, life counters, "CC101"
constexpr uint32_t kTrackReadTimeoutMs = 15000;
constexpr uint32_t kTrackWriteTimeoutMs = 20000;
constexpr uint32_t kChipTimeoutMs = 10000;

} // namespace famb
} // namespace quillon
