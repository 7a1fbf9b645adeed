// Family A: Init, the model identification, the configuration and the
// auxiliary module's probe.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "readers/chip_common.h"
#include "readers/family_a/aux_module.h"
#include "readers/family_a/commands_a.h"
#include "readers/family_a/family_a_reader.h"

namespace quillon {

namespace {

struct tModel {
    const char* pId;
    const char* pName;
};
const tModel kModels[] = {
    {"HBU-NA053", "Omron-051"},  {"HBU-NA120", "Omron-V2XF"}, {"HBU-NA139", "Omron-V2XF"},
    {"HBU-NA092", "Omron-V2AF"}, {"HBU-NA211", "Omron-V2CF"},
};
const char* const kOtherModel = "Omron-074";
} // namespace

tDriverResult OFamilyAReader::Init(int iMode) {
    if (iMode < 1 || iMode > 3)
        return tRefused(m_profile.tOutOfRange);
    const char* pReset = m_profile.apResetCommand[iMode - 1];
    usStatus(kStEntry) = 3;
    tDriverResult o;
    Code code = eCommand(o, pReset, fama::kResetTimeoutMs);
    if (code == Code::ResetAgain || code == Code::ResetAgain2) // the reader asks for it again
        code = eCommand(o, pReset, fama::kResetTimeoutMs);
    if (!IsSuccess(code))
        return tFinish(o);
    if (m_profile.bResetUpdatesCardAndChip && code == Code::CardInside)
        usStatus(kStState) = 3;
    vProbeModule(o);
    if (m_profile.bResetUpdatesCardAndChip)
        usStatus(kStChipType) = kNoChip;

    const int count = iReadRetainCounter(o);
    if (count >= 0)
        vStoreRetainCounter(static_cast<uint16_t>(count));
    if (m_caps.acModelName[0] != '\0')
        return tFinish(o); // identified by an earlier Init

    uint8_t d[256] = {};
    if (IsSuccess(eCommand(o, fama::kCmdIdentify, fama::kQueryTimeoutMs, d, sizeof d)))
        vIdentify(d);
    return tFinish(o);
}

void OFamilyAReader::vIdentify(const uint8_t* d) {
    const char* pName = kOtherModel;
    for (const tModel& m : kModels) {
        if (std::memcmp(d, m.pId, 9) == 0) {
            pName = m.pName;
            break;
        }
    }
    std::memset(m_caps.acModelName, 0, sizeof m_caps.acModelName);
    CopyText(m_caps.acModelName, sizeof m_caps.acModelName, pName);
    usCap(kCapIdentified) = 1;
    // The reader's version characters stand at data bytes 52 and 53.
    m_caps.acFirmware[0] = static_cast<char>(d[52]);
    m_caps.acFirmware[1] = static_cast<char>(d[53]);
    if (std::strcmp(pName, "Omron-V2XF") == 0 || std::strcmp(pName, "Omron-V2CF") == 0)
        vApplyConfig();
}

void OFamilyAReader::vApplyConfig() {
    // An outcome of its own: nothing of the configuration reaches Init's record.
    tDriverResult own;
    for (uint32_t i = 0; i < m_profile.uiConfigKeys; ++i)
        vApplyKey(m_profile.pConfigKeys[i], own);
    vReadReaderInfo(own);
    if (m_profile.bMarksConfigured)
        usCap(kCapConfigured) = 2;
}

void OFamilyAReader::vApplyKey(const tConfigKeyA& k, tDriverResult& own) {
    int value = k.iDefault;
    if (m_pComm->iGetIntValue(k.pKey, k.pKey, value) != 0)
        value = k.iDefault;
    uint16_t state = static_cast<uint16_t>(value);
    bool sent = false, failed = false;
    for (const tConfigKeyA::tChoice& c : k.aChoice) {
        if (c.pCmd && c.iValue == value) {
            sent = true;
            failed = !IsSuccess(eCommand(own, c.pCmd, fama::kQueryTimeoutMs));
            state = c.usState;
            break;
        }
    }
    if (failed && k.usFailState)
        state = k.usFailState;
    switch (k.eCap) {
    case tConfigKeyA::kCapState:
        usCap(k.iCapField) = state;
        break;
    case tConfigKeyA::kCapAccepted:
        usCap(k.iCapField) = failed ? 2 : 1;
        break;
    case tConfigKeyA::kCapWhenSent:
        if (sent)
            usCap(k.iCapField) = state;
        break;
    case tConfigKeyA::kCapNone:
        break;
    }
    if (k.iStatusField >= 0)
        usStatus(k.iStatusField) = state;
}

void OFamilyAReader::vReadReaderInfo(tDriverResult& own) {
    uint8_t d[256] = {};
    uint32_t n = 0;
    if (IsSuccess(eCommand(own, fama::kCmdReaderInfo, fama::kQueryTimeoutMs, d, sizeof d, &n))) {
        std::memset(m_caps.acInfo, 0, sizeof m_caps.acInfo);
        std::memcpy(m_caps.acInfo, d, std::min<uint32_t>(n, sizeof m_caps.acInfo - 1));
    }
}

// ------------------------------------------------------ auxiliary module

void OFamilyAReader::vProbeModule(tDriverResult& o) {
    if (!m_pModule || usCap(kCapModule) == 2)
        return; // found absent once: never probed again
    uint8_t ident[128] = {};
    // The module's code stays the operation's until "CQ0" follows.
    o.eCode = m_pModule->eInitModule(ident, sizeof ident);
    if (IsSuccess(o.eCode)) {
        usCap(kCapModule) = 1;
        usStatus(kStModule) = 1;
    } else if (o.eCode == Code::BadAck) {
        usCap(kCapModule) = 2;
        usStatus(kStModule) = 2;
    } else {
        usCap(kCapModule) = 1;
        usStatus(kStModule) = (o.eCode == Code::ReplyN4A && usStatus(kStState) == 3) ? 1 : 3;
    }
    char* pVersion = m_caps.acFirmware;
    const size_t len = strnlen(pVersion, sizeof m_caps.acFirmware - 1);
    if (len < 5)
        std::snprintf(pVersion + len, sizeof m_caps.acFirmware - len, "  + %.11s",
                      reinterpret_cast<const char*>(ident));
}

} // namespace quillon
