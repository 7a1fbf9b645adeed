// What tells the serial and the USB family-A drivers apart, as data: each
// twin hands OFamilyAReader one constant tFamilyAProfile, and the operations
// read it where the two behave differently.
#pragma once

#include <cstdint>

#include "infra/result_codes.h"

namespace quillon {

// How an operation refuses a call without sending anything: the code the
// record receives with both flags 1 (Ok: the record is left as it was), and
// the operation's result.
struct tRefusalA {
    quillon::Code eCode;
    int iResult;
};

// One configuration key (section and key the same string). Its value, or
// iDefault when it is not configured, picks a command and a state; any other
// value sends nothing and is the state itself.
struct tConfigKeyA {
    enum CapRule : int {
        kCapNone,     // the capability record is not written
        kCapState,    // the capability field receives the state
        kCapAccepted, // the capability field receives 1, or 2 when the command failed
        kCapWhenSent, // the capability field receives the state when a command went out
    };
    struct tChoice {
        int iValue;
        const char* pCmd;
        uint16_t usState;
    };
    const char* pKey;
    int iDefault;
    tChoice aChoice[2];
    uint16_t usFailState; // the state when the command failed; 0: the outcome is not looked at
    CapRule eCap;
    int iCapField;
    int iStatusField; // -1: the status record is not written
};

struct tFamilyAProfile {
    const char* apResetCommand[3]; // Init modes 1 to 3
    // After a reset: field 1 = 3 on "P02", and the chip type back to none.
    bool bResetSetsState;
    // Configuration once the model is "Omron-V2XF" or "Omron-V2CF": the keys
    // in order, then "CUA032"; capability field 4 = 2 at the end when marked.
    const tConfigKeyA* pConfigKeys;
    uint32_t uiConfigKeys;
    bool bMarksConfigured;
    // GetStatus also judges the card state from the "C11" reply as a whole:
    // data not beginning "0000", the caller's field 10 on "P02", and sensors
    // 6 and 7 reporting a card at rest (field 1 = 1, code Positive).
    bool bStatusJudgesCardState;
    // AcceptCard modes outside 1 to 6 go out as three zero bytes instead of
    // being refused with tOtherEntryMode.
    bool bSendsOtherEntryModes;
    tRefusalA tOutOfRange;           // Init mode or ChipPower action outside the range
    tRefusalA tOtherEntryMode;       // AcceptCard mode outside 1 to 6
    tRefusalA tNoModuleEntry;        // AcceptCard mode 6 with no auxiliary module
    tRefusalA tNoChip;               // ChipIO with no chip activated
    tRefusalA tEmptyWrite;           // WriteTrack with no track to write
    tRefusalA tMemoryChipReset;      // chip reset of a memory chip (types 4 to 8)
    uint32_t uiChipPrepareTimeoutMs; // the "CC0" that prepares an activation
    bool bSwitchOffReportsType;      // switch-off hands the chip type 255 back
    bool bAnyCounter;                // ResetCount takes every counter number (else only 0)
    // RetainCard: the entry state and the counter move only after a
    // successful "C41" (else after a readable counter alone).
    bool bRetainFollowsC41;
    bool bRetainClearsFullCounter; // a counter read as 999 is cleared with "CQ1"
};

} // namespace quillon
