// The serial and the USB family-A reader, where they differ.
#include "readers/family_a/commands_a.h"
#include "readers/family_a/family_a_profile.h"
#include "readers/reader_base.h"

namespace quillon {

namespace {
using Base = OReaderBase;

// Configuration keys of the serial reader, in the order they are applied.
constexpr tConfigKeyA kSerialKeys[] = {
    ConfigKeyA("ProtocolMode")
        .When(0, "CY105", 1)
        .When(1, "CY100", 2)
        .CapWhenSent(Base::kCapProtocol),
    ConfigKeyA("IntakeMode")
        .When(0, "CSL0", 3)
        .When(1, "CSL1", 1)
        .FailState(4)
        .CapAccepted(Base::kCapIntake)
        .StatusField(Base::kStIntakeMode),
    ConfigKeyA("ActMode")
        .When(0, "CSN1", 3)
        .When(1, "CSN2", 1)
        .FailState(4)
        .CapAccepted(Base::kCapActMode)
        .StatusField(Base::kStActMode),
    ConfigKeyA("MotorSpeed").Default(1).When(0, "CS70", 0).When(1, "CS71", 0),
};

// Configuration keys of the USB reader, in the order they are applied.
constexpr tConfigKeyA kUsbKeys[] = {
    ConfigKeyA("ProtocolMode").When(0, "CY105", 0).When(1, "CY100", 0),
    ConfigKeyA("IntakeMode")
        .Default(1)
        .When(1, "CSL1", 1)
        .When(2, "CSL0", 3)
        .FailState(4)
        .CapState(Base::kCapIntake)
        .StatusField(Base::kStIntakeMode),
    ConfigKeyA("ActMode")
        .Default(1)
        .When(1, "CSN2", 1)
        .When(2, "CSN1", 2)
        .FailState(3)
        .CapState(Base::kCapActMode)
        .StatusField(Base::kStActMode),
    // Which card dispenser stands in front of the reader, as configured.
    ConfigKeyA("DispenseCardDev").CapState(Base::kCapModule).StatusField(Base::kStModule),
};

tFamilyAProfile MakeSerialProfile() {
    tFamilyAProfile p;
    p.apResetCommand[0] = fama::kCmdResetEject;
    p.apResetCommand[1] = fama::kCmdResetRetain;
    p.apResetCommand[2] = fama::kCmdResetKeep;
    p.bResetUpdatesCardAndChip = true;
    p.pConfigKeys = kSerialKeys;
    p.uiConfigKeys = sizeof kSerialKeys / sizeof kSerialKeys[0];
    p.bMarksConfigured = true;
    p.bStatusJudgesCardState = true;
    p.bSendsOtherEntryModes = false;
    p.tOutOfRange = {Code::BadArgument, 1};
    p.tOtherEntryMode = {Code::BadArgument, 1};
    p.tNoModuleEntry = {Code::Unavailable, 1};
    p.tNoChip = {Code::Unavailable, 1};
    p.tEmptyWrite = {Code::BadArgument, 1};
    p.tMemoryChipReset = {Code::Unavailable, 1};
    p.uiChipPrepareTimeoutMs = fama::kChipPrepareTimeoutMs;
    p.bSwitchOffReportsType = true;
    p.bResetsAnyCounter = false;
    p.bRetainUpdatesOnlyWhenRetained = false;
    p.bRetainClearsFullCounter = true;
    return p;
}

// Where the USB reader differs, calls it does not take are answered with
// 0 or its own value and the record left as it was (refusal code Ok).
tFamilyAProfile MakeUsbProfile() {
    tFamilyAProfile p;
    p.apResetCommand[0] = fama::kCmdResetEject;
    p.apResetCommand[1] = fama::kCmdResetRetain;
    p.apResetCommand[2] = fama::kCmdResetKeepUsb;
    p.bResetUpdatesCardAndChip = false;
    p.pConfigKeys = kUsbKeys;
    p.uiConfigKeys = sizeof kUsbKeys / sizeof kUsbKeys[0];
    p.bMarksConfigured = false;
    p.bStatusJudgesCardState = false;
    p.bSendsOtherEntryModes = true;
    p.tOutOfRange = {Code::Ok, 0};
    p.tOtherEntryMode = {Code::Ok, 0}; // not used: other entry modes are sent
    p.tNoModuleEntry = {Code::Ok, 0};
    p.tNoChip = {Code::Ok, 0};
    p.tEmptyWrite = {Code::Ok, ToInt(Code::Refused)};
    p.tMemoryChipReset = {Code::Ok, 1};
    p.uiChipPrepareTimeoutMs = fama::kChipTimeoutMs;
    p.bSwitchOffReportsType = false;
    p.bResetsAnyCounter = true;
    p.bRetainUpdatesOnlyWhenRetained = true;
    p.bRetainClearsFullCounter = false;
    return p;
}
} // namespace

const tFamilyAProfile& SerialProfileA() {
    static const tFamilyAProfile kProfile = MakeSerialProfile();
    return kProfile;
}

const tFamilyAProfile& UsbProfileA() {
    static const tFamilyAProfile kProfile = MakeUsbProfile();
    return kProfile;
}

} // namespace quillon
