// Family A's commands, by what they ask of the reader, and the time-outs
// their replies get. Commands that come in series (card entry, chip
// activation) stand in tables where they are used.
#pragma once

#include <cstdint>

namespace quillon {
namespace fama {

// Reset (Init modes 1 to 3; the third differs between the twins).
constexpr const char* kCmdResetEject = "C00";
constexpr const char* kCmdResetRetain = "C01";
constexpr const char* kCmdResetKeep = "C02";
constexpr const char* kCmdResetKeepUsb = "C07";
constexpr const char* kCmdIdentify = "CV0";      // model identifier, version at data 52..53
constexpr const char* kCmdReaderInfo = "CUA032"; // the reader's information text
constexpr const char* kCmdReadRetainCounter = "CQ0";
constexpr const char* kCmdClearRetainCounter = "CQ1";
constexpr const char* kCmdLifeCounters = "CM0";
// Status and card moves.
constexpr const char* kCmdStatus = "C10";
constexpr const char* kCmdSensors = "C11";
constexpr const char* kCmdEject = "C30";
constexpr const char* kCmdRetain = "C41";
constexpr const char* kCmdReadTracks = "C6a7";
// Chip.
constexpr const char* kCmdPrepareChip = "CC0";
constexpr const char* kCmdResetProcessorChip = "CE10";
constexpr const char* kCmdResetCeChip = "Ce411";
constexpr const char* kCmdProcessorChipOff = "CC6";
constexpr const char* kCmdCeChipOff = "Ce21";
constexpr const char* kCmdMemoryChipOff = "Cm6";
constexpr const char* kCmdApduT0 = "CF0";      // prefix of a whole T=0 command
constexpr const char* kCmdMemoryChip = "Cm7";  // prefix of a memory-chip command
constexpr const char* kCmdBlockT1 = "CF2";     // prefix of a T=1 block that more follow
constexpr const char* kCmdLastBlockT1 = "CF1"; // prefix of the last T=1 block
constexpr const char* kCmdRestOfReply = "CF3"; // the rest of a reply that said "P21"

// Reply time-outs.
constexpr uint32_t kResetTimeoutMs = 30000;
constexpr uint32_t kMotionTimeoutMs = 30000;
constexpr uint32_t kModuleEntryTimeoutMs = 20000;
constexpr uint32_t kQueryTimeoutMs = 10000; // identification, counters, configuration
constexpr uint32_t kStatusTimeoutMs = 5000; // status, sensors, life counters
constexpr uint32_t kTrackReadTimeoutMs = 15000;
constexpr uint32_t kTrackWriteTimeoutMs = 20000;
constexpr uint32_t kChipTimeoutMs = 10000;
constexpr uint32_t kChipPrepareTimeoutMs = 20000; // the serial reader's "CC0"

// The auxiliary module's commands and time-outs.
constexpr const char* kModuleInit = "01";
constexpr const char* kModuleIdentify = "00";
constexpr const char* kModuleFeed = "P1";  // mode 1: feed a card into the reader
constexpr const char* kModuleStock = "S0"; // mode 2
constexpr const char* kModuleIdle = "P0";  // mode 0 and any other
constexpr const char* kModuleStatus = "Q0";
constexpr uint32_t kModuleInitTimeoutMs = 5000;
constexpr uint32_t kModuleModeTimeoutMs = 10000;
constexpr uint32_t kModuleStatusTimeoutMs = 2000;

} // namespace fama
} // namespace quillon
