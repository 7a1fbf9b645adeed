// What tells the serial and the USB family-A drivers apart, as data: each
// twin hands OFamilyAReader one constant tFamilyAProfile, and the operations
// read it where the two behave differently. Both records are filled field
// by field, by name (family_a_profiles.cpp).
#pragma once

#include <cstdint>

#include "infra/result_codes.h"
#include "readers/reader_type.h"

namespace quillon {

// How an operation refuses a call without sending anything: the code the
// record receives with both flags 1 (Ok: the record is left as it was), and
// the operation's result.
struct tRefusalA {
    quillon::Code eCode = quillon::Code::BadArgument;
    int iResult = 1;
};

// One configuration key (section and key the same string). Its value, or
// the default when it is not configured, picks a command and a state; any
// other value sends nothing and is the state itself. Built by name:
//   ConfigKeyA("IntakeMode").When(0, "CSL0", 3).When(1, "CSL1", 1).FailState(4)
//       .CapAccepted(kCapIntake).StatusField(kStIntakeMode)
struct tConfigKeyA {
    enum CapRule : int {
        kCapNone,     // the capability record is not written
        kCapState,    // the capability field receives the state
        kCapAccepted, // the capability field receives 1, or 2 when the command failed
        kCapWhenSent, // the capability field receives the state when a command went out
    };
    struct tChoice {
        int iValue = 0;
        const char* pCmd = nullptr; // null: nothing is sent
        uint16_t usState = 0;
    };
    const char* pKey = nullptr;
    int iDefault = 0;
    tChoice aChoice[2] = {};
    uint16_t usFailState = 0; // the state when the command failed; 0: the outcome is not looked at
    CapRule eCap = kCapNone;
    int iCapField = 0;
    int iStatusField = -1; // -1: the status record is not written

    constexpr tConfigKeyA Default(int iValue) const {
        tConfigKeyA k = *this;
        k.iDefault = iValue;
        return k;
    }
    // The value iValue sends pCmd and sets the state usState (two at most).
    constexpr tConfigKeyA When(int iValue, const char* pCmd, uint16_t usState) const {
        tConfigKeyA k = *this;
        k.aChoice[k.aChoice[0].pCmd ? 1 : 0] = {iValue, pCmd, usState};
        return k;
    }
    constexpr tConfigKeyA FailState(uint16_t usState) const {
        tConfigKeyA k = *this;
        k.usFailState = usState;
        return k;
    }
    constexpr tConfigKeyA Cap(CapRule eRule, int iField) const {
        tConfigKeyA k = *this;
        k.eCap = eRule;
        k.iCapField = iField;
        return k;
    }
    constexpr tConfigKeyA CapState(int iField) const { return Cap(kCapState, iField); }
    constexpr tConfigKeyA CapAccepted(int iField) const { return Cap(kCapAccepted, iField); }
    constexpr tConfigKeyA CapWhenSent(int iField) const { return Cap(kCapWhenSent, iField); }
    constexpr tConfigKeyA StatusField(int iField) const {
        tConfigKeyA k = *this;
        k.iStatusField = iField;
        return k;
    }
};
constexpr tConfigKeyA ConfigKeyA(const char* pKey) {
    tConfigKeyA k;
    k.pKey = pKey;
    return k;
}

struct tFamilyAProfile {
    const char* apResetCommand[3] = {}; // Init modes 1 to 3
    // After a reset: field 1 = 3 on "P02", and the chip type back to none.
    bool bResetUpdatesCardAndChip = false;
    // Configuration once the model is "Omron-V2XF" or "Omron-V2CF": the keys
    // in order, then "CUA032"; capability field 4 = 2 at the end when marked.
    const tConfigKeyA* pConfigKeys = nullptr;
    uint32_t uiConfigKeys = 0;
    bool bMarksConfigured = false;
    // GetStatus also judges the card state from the "C11" reply as a whole:
    // data not beginning "0000", the caller's field 10 on "P02", and sensors
    // 6 and 7 reporting a card at rest (field 1 = 1, code Positive).
    bool bStatusJudgesCardState = false;
    // AcceptCard modes outside 1 to 6 go out as three zero bytes instead of
    // being refused with tOtherEntryMode.
    bool bSendsOtherEntryModes = false;
    tRefusalA tOutOfRange;               // Init mode or ChipPower action outside the range
    tRefusalA tOtherEntryMode;           // AcceptCard mode outside 1 to 6
    tRefusalA tNoModuleEntry;            // AcceptCard mode 6 with no auxiliary module
    tRefusalA tNoChip;                   // ChipIO with no chip activated
    tRefusalA tEmptyWrite;               // WriteTrack with no track to write
    tRefusalA tMemoryChipReset;          // chip reset of a memory chip (types 4 to 8)
    uint32_t uiChipPrepareTimeoutMs = 0; // the "CC0" that prepares an activation
    bool bSwitchOffReportsType = false;  // switch-off hands the chip type 255 back
    bool bResetsAnyCounter = false;      // ResetCount takes every counter number (else only 0)
    // RetainCard: the entry state and the counter move only once the card
    // was retained ("C41" succeeded); else after a readable counter alone.
    bool bRetainUpdatesOnlyWhenRetained = false;
    bool bRetainClearsFullCounter = false; // a counter read as 999 is cleared with "CQ1"
};

// The two twins' profiles.
const tFamilyAProfile& SerialProfileA();
const tFamilyAProfile& UsbProfileA();

} // namespace quillon
