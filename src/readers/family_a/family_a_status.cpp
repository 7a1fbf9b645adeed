// Family A: status, card entry (through the auxiliary module too), eject
// and retain.
#include <cstring>

#include "readers/family_a/aux_module.h"
#include "readers/family_a/commands_a.h"
#include "readers/family_a/family_a_reader.h"

namespace quillon {

tDriverResult OFamilyAReader::GetStatus(tIdcStatus* pStatus) {
    *pStatus = m_status;
    tDriverResult o;
    vReadModuleSensors(pStatus, o);

    uint8_t d[256] = {};
    const Code c11 = eCommand(o, fama::kCmdSensors, fama::kStatusTimeoutMs, d, sizeof d);
    if (IsSuccess(c11))
        vDecodeSensors(d, c11, pStatus);

    if (!IsSuccess(eCommand(o, fama::kCmdStatus, fama::kStatusTimeoutMs)) &&
        o.eCode != Code::NoTrackData)
        pStatus->usField[kStEntry] = 3;
    return tFinish(o);
}

void OFamilyAReader::vDecodeSensors(const uint8_t* d, Code eCode, tIdcStatus* pStatus) {
    uint16_t* f = pStatus->usField;
    const bool bJudge = m_profile.bStatusJudgesCardState;
    if (bJudge && std::memcmp(d, "0000", 4) != 0) {
        f[kStState] = 3;
        f[kStEntry] = 3;
        usStatus(kStEntry) = 3;
    }
    switch (eCode) {
    case Code::Positive:
        f[kStState] = 1;
        break;
    case Code::ReplyP01:
        f[kStState] = 2;
        break;
    case Code::CardInside:
        f[kStState] = 3;
        if (bJudge)
            f[kStEntry] = 3;
        usStatus(kStEntry) = 3;
        break;
    default:
        break;
    }
    f[kStSensor6] = static_cast<uint16_t>(d[5] - '0');
    f[kStSensor5] = static_cast<uint16_t>(d[6] - '0');
    f[kStSensor7] = static_cast<uint16_t>(d[7] - '0');
    if (d[8] == '0')
        f[kStChipPower] = 2;
    else if (d[8] == '1')
        f[kStChipPower] = 1;
    if ((f[kStEntry] == 1 && f[kStSensor5] == 1 && f[kStSensor7] == 1 && f[kStSensor6] == 0) ||
        (f[kStEntry] == 2 && f[kStSensor7] == 1 && f[kStSensor6] == 0))
        f[kStEntry] = 3;
    // A card at rest: the reader state is 1 (the query's code would be
    // Positive too, but "C10" always follows and decides the record).
    if (bJudge && f[kStSensor7] == 0 && f[kStSensor6] == 1)
        f[kStState] = 1;
}

void OFamilyAReader::vReadModuleSensors(tIdcStatus* pStatus, tDriverResult& o) {
    if (!m_pModule || usCap(kCapModule) != 1)
        return;
    uint32_t bits = 0;
    o.eCode = m_pModule->eGetModuleStatus(&bits);
    if (IsSuccess(o.eCode)) {
        pStatus->usField[kStModuleSensor1] = (bits & 1) ? 3 : 1;
        pStatus->usField[kStModuleSensor2] = (bits & 2) ? 2 : 1;
        pStatus->usField[kStModuleSensor4] = (bits & 4) ? 2 : 1;
    } else {
        usStatus(kStModule) = 3;
        pStatus->usField[kStModule] = 3;
    }
}

tDriverResult OFamilyAReader::AcceptCard(int iMode) {
    static const char* const kEntryCommands[5] = {"C:2", "C:0", "C:1", "C40", "C:3"};
    if (iMode == 6)
        return tModuleEntry();
    if (iMode < 1 || iMode > 5)
        return tOtherEntryMode(iMode);
    tDriverResult o;
    if (IsSuccess(eCommand(o, kEntryCommands[iMode - 1], fama::kMotionTimeoutMs)))
        usStatus(kStEntry) = static_cast<uint16_t>(iMode);
    return tFinish(o);
}

tDriverResult OFamilyAReader::tOtherEntryMode(int iMode) {
    if (!m_profile.bSendsOtherEntryModes)
        return tRefused(m_profile.tOtherEntryMode);
    // An empty command of three zero bytes; the reader's answer decides.
    static const uint8_t kNoCommand[3] = {};
    tDriverResult o;
    if (IsSuccess(eSend(o, kNoCommand, sizeof kNoCommand, fama::kMotionTimeoutMs)))
        usStatus(kStEntry) = static_cast<uint16_t>(iMode);
    return tFinish(o);
}

tDriverResult OFamilyAReader::tModuleEntry() {
    if (!m_pModule)
        return tRefused(m_profile.tNoModuleEntry);
    tDriverResult o;
    const Code c10 = eCommand(o, fama::kCmdStatus, fama::kModuleEntryTimeoutMs);
    if (usStatus(kStModule) != 1 || c10 == Code::CardInside) {
        o.eCode = Code::Unavailable;
        return tFinish(o);
    }
    uint32_t bits = 0;
    o.eCode = m_pModule->eGetModuleStatus(&bits);
    if (IsSuccess(o.eCode)) {
        if ((bits & 4) || s_bModuleEntryDone) {
            uint8_t ident[128] = {};
            o.eCode = m_pModule->eInitModule(ident, sizeof ident);
            eCommand(o, fama::kCmdResetRetain, fama::kModuleEntryTimeoutMs);
        }
        if (bits & 1) {
            usStatus(kStModule) = 3;
            o.eCode = Code::Unavailable;
            return tFinish(o);
        }
    }
    s_bModuleEntryDone = true;
    o.eCode = m_pModule->eSetMode(1);
    return tFinish(o);
}

tDriverResult OFamilyAReader::EjectCard() {
    tDriverResult o;
    eCommand(o, fama::kCmdEject, fama::kMotionTimeoutMs);
    usStatus(kStEntry) = 3;
    return tFinish(o);
}

tDriverResult OFamilyAReader::RetainCard(uint32_t* pRetainCount) {
    tDriverResult o;
    const Code c41 = eCommand(o, fama::kCmdRetain, fama::kMotionTimeoutMs);
    tDriverResult own; // the counter's outcome never reaches the caller's record
    const int count = iReadRetainCounter(own);
    if (!(m_profile.bRetainUpdatesOnlyWhenRetained ? IsSuccess(c41) : count >= 0))
        return tFinish(o);
    usStatus(kStEntry) = 3;
    if (count >= 0) {
        vStoreRetainCounter(static_cast<uint16_t>(count));
        *pRetainCount = static_cast<uint32_t>(count);
        if (count == 999 && m_profile.bRetainClearsFullCounter) { // full: start it again
            ResetCount(0); // its outcome stays out of the caller's record
        }
    }
    return tFinish(o);
}

} // namespace quillon
