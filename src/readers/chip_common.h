// Steps that the command families A and B take alike with the card in the
// reader: which chip the answer to an activation shows, the ten activation
// tries, and writing the magnetic tracks one command a track. No I/O here:
// the family hands in what sends a command.
#pragma once

#include <cstdint>

#include "readers/idc_driver.h"

namespace quillon {

constexpr uint32_t kNoChip = 255; // no chip activated
constexpr uint32_t kActivationTries = 10;

// The kind of chip a chip type names: 0 and 1 processor chips, 2 and 3 the
// chips of the "Ce" commands, 4 to 8 memory chips; any other type (255 too)
// is no chip chosen.
enum class ChipKind { Processor, CeChip, Memory, None };
constexpr ChipKind KindOfChip(uint32_t uiType) {
    return uiType <= 1   ? ChipKind::Processor
           : uiType <= 3 ? ChipKind::CeChip
           : uiType <= 8 ? ChipKind::Memory
                         : ChipKind::None;
}

// What ChipPower's untyped arguments point to: the buffer for the answer to
// reset, its length, and the chip type (family B: the protocol number).
struct tChipPowerArgs {
    uint8_t* pAnswer;
    uint32_t* pAnswerLen;
    uint32_t* pType;
};
inline tChipPowerArgs ChipPowerArgs(uintptr_t uArg2, uintptr_t uArg3, void* pArg4) {
    return {reinterpret_cast<uint8_t*>(uArg2), reinterpret_cast<uint32_t*>(uArg3),
            static_cast<uint32_t*>(pArg4)};
}

// The chip type from uiType (the index of the activation try that answered,
// or what the caller passed in when the activation could not start) and the
// answer to reset pAnswer of uiLen bytes (ISO/IEC 7816-3: byte 0 the initial
// character, byte 1 the format byte T0):
// - type 0 or 1: the high nibble of T0 decides, 0x6 gives 0, 0xE gives 1,
//   anything else (an answer without T0 too) gives kNoChip;
// - then type 4 or more (kNoChip too): an answer beginning A2 13 10 gives 4,
//   else one beginning 92 23 10 gives 5, else the type stays.
// Only bytes of the answer count: a shorter answer matches no pattern.
uint32_t ChipTypeFromAnswer(uint32_t uiType, const uint8_t* pAnswer, uint32_t uiLen);

// The activation tries in their order until one answers: *pType holds the
// try's index while it runs; bTry(i) sends try i and tells whether the
// reader answered it positively. Returns the index that answered, or -1
// when none did (then *pType is kNoChip).
template <class Try> int RunActivationTries(uint32_t* pType, Try bTry) {
    for (uint32_t i = 0; i < kActivationTries; ++i) {
        *pType = i;
        if (bTry(i))
            return static_cast<int>(i);
    }
    *pType = kNoChip;
    return -1;
}

// How a family writes tracks: the most characters of each track it sends,
// and whether a length is read as a signed number (then one with its top bit
// set is below 1: nothing to write).
struct tTrackWriteRule {
    uint32_t auiMax[3];
    bool bSignedLengths;
};

enum class TracksWritten { Nothing, All, SomeFailed };

// The length field of track iTrack (0, 1, 2) and whether it asks for a write.
uint32_t* TrackLength(tIdcTracks* pTracks, int iTrack);
bool TrackToWrite(uint32_t uiLen, const tTrackWriteRule& rule);
constexpr uint32_t kTrackCommandMax = 3 + 108;
// The write command of track iTrack: "C71", "C72" or "C73" followed by at
// most rule.auiMax[iTrack] characters of its text, ending at the first zero
// byte. Returns its length.
uint32_t TrackWriteCommand(const tIdcTracks& tracks, int iTrack, const tTrackWriteRule& rule,
                           uint8_t (&acCommand)[kTrackCommandMax]);

// Writes each track whose length asks for it, in the order 1, 2, 3, each
// whatever the others' outcome. bWrite(command, length) sends one command
// and tells whether the reader took it; a track that failed gets length 0,
// so the caller sees which one. Nothing: no track asked for a write and
// nothing was sent.
template <class Write>
TracksWritten WriteTracks(tIdcTracks* pTracks, const tTrackWriteRule& rule, Write bWrite) {
    bool bAny = false;
    for (int i = 0; i < 3; ++i)
        bAny = bAny || TrackToWrite(*TrackLength(pTracks, i), rule);
    if (!bAny)
        return TracksWritten::Nothing;
    bool bFailed = false;
    for (int i = 0; i < 3; ++i) {
        if (!TrackToWrite(*TrackLength(pTracks, i), rule))
            continue;
        uint8_t acCommand[kTrackCommandMax];
        const uint32_t uiLen = TrackWriteCommand(*pTracks, i, rule, acCommand);
        if (!bWrite(static_cast<const uint8_t*>(acCommand), uiLen)) {
            *TrackLength(pTracks, i) = 0;
            bFailed = true;
        }
    }
    return bFailed ? TracksWritten::SomeFailed : TracksWritten::All;
}

} // namespace quillon
