#include "readers/chip_common.h"

#include <cstring>

namespace quillon {
namespace {

bool StartsWith(const uint8_t* pAnswer, uint32_t uiLen, const uint8_t (&abPattern)[3]) {
    return uiLen >= sizeof abPattern && std::memcmp(pAnswer, abPattern, sizeof abPattern) == 0;
}

} // namespace

uint32_t ChipTypeFromAnswer(uint32_t uiType, const uint8_t* pAnswer, uint32_t uiLen) {
    static const uint8_t kMemoryChip4[3] = {0xA2, 0x13, 0x10};
    static const uint8_t kMemoryChip5[3] = {0x92, 0x23, 0x10};
    uint32_t type = uiType;
    if (type == 0 || type == 1) {
        const int format = uiLen >= 2 ? pAnswer[1] >> 4 : -1; // high nibble of T0
        type = format == 0x6 ? 0 : format == 0xE ? 1 : kNoChip;
    }
    if (type >= 4) {
        if (StartsWith(pAnswer, uiLen, kMemoryChip4))
            type = 4;
        else if (StartsWith(pAnswer, uiLen, kMemoryChip5))
            type = 5;
    }
    return type;
}

uint32_t* TrackLength(tIdcTracks* pTracks, int iTrack) {
    uint32_t* const apLen[3] = {&pTracks->uiLen1, &pTracks->uiLen2, &pTracks->uiLen3};
    return apLen[iTrack];
}

bool TrackToWrite(uint32_t uiLen, const tTrackWriteRule& rule) {
    return rule.bSignedLengths ? static_cast<int32_t>(uiLen) >= 1 : uiLen >= 1;
}

uint32_t TrackWriteCommand(const tIdcTracks& tracks, int iTrack, const tTrackWriteRule& rule,
                           uint8_t (&acCommand)[kTrackCommandMax]) {
    const uint8_t* const apText[3] = {tracks.abTrack1, tracks.abTrack2, tracks.abTrack3};
    const uint32_t auiArea[3] = {sizeof tracks.abTrack1, sizeof tracks.abTrack2,
                                 sizeof tracks.abTrack3};
    const uint32_t auiLen[3] = {tracks.uiLen1, tracks.uiLen2, tracks.uiLen3};
    std::memset(acCommand, 0, sizeof acCommand);
    acCommand[0] = 'C';
    acCommand[1] = '7';
    acCommand[2] = static_cast<uint8_t>('1' + iTrack);
    uint32_t n = auiLen[iTrack];
    if (n > rule.auiMax[iTrack])
        n = rule.auiMax[iTrack];
    if (n > auiArea[iTrack]) // never beyond the track's area
        n = auiArea[iTrack];
    std::memcpy(acCommand + 3, apText[iTrack], n);
    // The command is the zero-terminated text: a zero byte ends it early.
    uint32_t len = 3;
    while (len < 3 + n && acCommand[len] != 0)
        ++len;
    return len;
}

} // namespace quillon
