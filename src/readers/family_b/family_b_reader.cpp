#include "readers/family_b/family_b_reader.h"
#include "readers/family_b/commands_b.h"

#include <cstdio>
#include <cstring>

#include "infra/result_codes.h"
#include "readers/chip_common.h"

namespace quillon {

namespace {
constexpr const char* kModelQ8 = "ICT3Q8-3A0179";
constexpr const char* kModelQ5 = "ICT3Q5-3A0188";

uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint32_t Be16(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 8) | p[1];
}
} // namespace

OFamilyBReader::OFamilyBReader(quillon::OReaderComm* pComm) : OReaderBase(pComm) {
    vCopyLibraryVersion();
    m_status.usField[kStChipType] = quillon::kNoChip;
    usCap(kCapCounterMax) = 99;
}

tDriverResult OFamilyBReader::tSingleCommand(const char* pText, uint32_t uiTimeoutMs) {
    tDriverResult out;
    tSmallReply reply;
    bSend(pText, reply, out, uiTimeoutMs);
    return tFinish(out);
}

bool OFamilyBReader::bTakeRetainCounter(const uint8_t* pData, uint32_t* pCounter) {
    const uint8_t tens = pData[0], ones = pData[1];
    if (tens < '0' || tens > '9' || ones < '0' || ones > '9')
        return false; // not two digits: the counter is not known
    const uint16_t count = static_cast<uint16_t>((tens - '0') * 10 + (ones - '0'));
    usCap(kCapRetainCount) = count;
    m_status.usField[kStRetainCount] = count;
    if (pCounter)
        *pCounter = count;
    return true;
}

// --------------------------------------------------------- initialisation

tDriverResult OFamilyBReader::Init(int iMode) {
    static const char* const kInitCommands[] = {"C0432400010011", "C0532400010011",
                                                "C0632400010011"};
    if (iMode < 1 || iMode > 3)
        return tDriverResult::BadArgument();
    const char* pInit = kInitCommands[iMode - 1];
    tDriverResult out;
    tSmallReply reply;
    bool ok = bSend(pInit, reply, out, famb::kResetTimeoutMs);
    if (!ok && out.eCode == Code::ResetAgain) // sent once more
        ok = bSend(pInit, reply, out, famb::kResetTimeoutMs);
    if (!ok)
        return tFinish(out);
    m_status.usField[kStChipType] = quillon::kNoChip;

    if (bSend(famb::kCmdReadRetainCounter, reply, out, famb::kQueryTimeoutMs) &&
        !bTakeRetainCounter(reply.abData, nullptr))
        out.eCode = Code::BrokenFrame; // no counter in it: a broken reply
    if (m_caps.acModelName[0] != '\0')
        return tFinish(out); // identified by an earlier Init

    if (!bSend(famb::kCmdFirmware, reply, out, famb::kQueryTimeoutMs))
        return tFinish(out);
    std::memcpy(m_caps.acFirmware, reply.abData, 8);
    if (std::memcmp(reply.abData, "2741", 4) == 0)
        quillon::CopyText(m_caps.acModelName, sizeof m_caps.acModelName, kModelQ8);
    if (std::memcmp(reply.abData, "05", 2) == 0) {
        quillon::CopyText(m_caps.acModelName, sizeof m_caps.acModelName, kModelQ5);
        return tFinish(out);
    }
    usCap(kCapIdentified) = 1;
    if (std::strcmp(m_caps.acModelName, kModelQ8) == 0)
        vApplyConfig(); // the caller's record keeps the outcome of "CA1"
    return tFinish(out);
}

// Mode state: 3 for mode 0, 1 for mode 1, 4 when the command failed, else
// the configured value. The capability field is 1, or 2 after a failure.
int OFamilyBReader::iApplyMode(const char* pKey, const char* pCmdMode0, const char* pCmdMode1,
                               uint16_t& usCapField) {
    int value = 0;
    if (m_pComm->iGetIntValue(pKey, pKey, value) == 1)
        value = 0;
    int state = value;
    bool failed = false;
    if (value == 0 || value == 1) {
        tDriverResult own;
        tSmallReply reply;
        failed = !bSend(value == 0 ? pCmdMode0 : pCmdMode1, reply, own, famb::kQueryTimeoutMs);
        state = value == 0 ? 3 : 1;
    }
    if (failed)
        state = 4;
    usCapField = failed ? 2 : 1;
    return state;
}

// The configuration of the "ICT3Q8-3A0179". Its outcomes stay out of the
// caller's record.
void OFamilyBReader::vApplyConfig() {
    m_status.usField[kStIntakeMode] = static_cast<uint16_t>(
        iApplyMode("IntakeMode", famb::kCmdIntakeMode0, famb::kCmdIntakeMode1, usCap(kCapIntake)));
    m_status.usField[kStActMode] = static_cast<uint16_t>(
        iApplyMode("ActMode", famb::kCmdActMode0, famb::kCmdActMode1, usCap(kCapActMode)));
    usCap(kCapModule) = 2;
    m_status.usField[kStModule] = 2;

    tDriverResult own;
    tSmallReply reply;
    if (bSend(famb::kCmdInfoAndDate, reply, own, famb::kQueryTimeoutMs)) {
        std::memcpy(m_caps.acInfo, reply.abData, 8);
        const uint8_t* d = reply.abData;
        std::snprintf(m_caps.acDate, sizeof m_caps.acDate, "200%c-%c%c-%c%c", d[1], d[2], d[3],
                      d[4], d[5]);
    }
    usCap(kCapConfigured) = 2;
}

// ------------------------------------------------- status and card moves

tDriverResult OFamilyBReader::GetStatus(tIdcStatus* pStatus) {
    tDriverResult out;
    tSmallReply reply;
    if (!bSend(famb::kCmdStatus, reply, out, famb::kStatusTimeoutMs)) {
        pStatus->usField[kStEntry] = 3;
        return tFinish(out);
    }
    const uint8_t* d = reply.abData;
    if (d[1] & 0x07)
        m_status.usField[kStEntry] = 3; // stays from now on
    *pStatus = m_status;
    switch (out.eCode) {
    case Code::Positive:
        pStatus->usField[kStState] = 1;
        break;
    case Code::ReplyP01:
        pStatus->usField[kStState] = 2;
        break;
    case Code::CardInside:
        pStatus->usField[kStState] = 3;
        break;
    default:
        break;
    }
    if (d[0] & 0x01)
        pStatus->usField[kStSensor5] = 1;
    if (d[0] & 0x04)
        pStatus->usField[kStChipType] = 1;
    if (d[1] & 0x08)
        pStatus->usField[kStSensor6] = 1;
    if (d[1] & 0x10)
        pStatus->usField[kStSensor7] = 1;
    if (d[3] == 0x40)
        pStatus->usField[kStEntry] = 3;
    else if (d[3] == 'F')
        pStatus->usField[kStEntry] = 1;
    else if (d[3] == 'D')
        pStatus->usField[kStEntry] = 2;

    if (!bSend(famb::kCmdSensors, reply, out, famb::kStatusTimeoutMs))
        pStatus->usField[kStEntry] = 3;
    return tFinish(out);
}

tDriverResult OFamilyBReader::AcceptCard(int iMode) {
    static const char* const kAcceptCommands[] = {"C:2", "C:0", "C:1", "C40", "C22"};
    if (iMode < 1 || iMode > 5)
        return tDriverResult::BadArgument();
    return tSingleCommand(kAcceptCommands[iMode - 1], famb::kEntryTimeoutMs);
}

tDriverResult OFamilyBReader::EjectCard() {
    return tSingleCommand(famb::kCmdEject, famb::kMotionTimeoutMs);
}

// The caller's record tells "C31", or "CC101" when the reader asked for it;
// the counter read after them keeps its outcome to itself.
tDriverResult OFamilyBReader::RetainCard(uint32_t* pRetainCount) {
    tDriverResult out;
    tSmallReply reply;
    if (!bSend(famb::kCmdRetain, reply, out, famb::kMotionTimeoutMs) &&
        out.eCode == Code::RetainBusy)
        bSend(famb::kCmdRetainAgain, reply, out, famb::kStatusTimeoutMs);
    tDriverResult own;
    if (bSend(famb::kCmdReadRetainCounter, reply, own, famb::kQueryTimeoutMs))
        bTakeRetainCounter(reply.abData, pRetainCount);
    return tFinish(out);
}

// ------------------------------------------------ counters and life info

tDriverResult OFamilyBReader::GetLifeInfo(tIdcLife* pLife) {
    tDriverResult out;
    tSmallReply reply;
    if (!bSend(famb::kCmdLifeCounters, reply, out, famb::kStatusTimeoutMs))
        return tFinish(out);
    const uint8_t* d = reply.abData; // zero-filled: a short reply counts as zeros
    uint32_t* v = pLife->uiValue;
    v[0] = Be32(d + 0);
    v[1] = Be32(d + 4);
    v[2] = Be32(d + 8);
    v[3] = Be32(d + 16);
    v[4] = Be32(d + 32);
    v[5] = Be32(d + 48);
    v[6] = Be16(d + 64);
    v[7] = Be16(d + 66);
    v[8] = Be16(d + 68);
    v[9] = Be32(d + 132);
    v[10] = Be32(d + 124);
    return tFinish(out);
}

tDriverResult OFamilyBReader::ResetCount(int) {
    tDriverResult out;
    tSmallReply reply;
    if (bSend(famb::kCmdClearRetainCounter, reply, out, famb::kQueryTimeoutMs)) {
        usCap(kCapRetainCount) = 0;
        m_status.usField[kStRetainCount] = 0;
    }
    return tFinish(out);
}

tDriverResult OFamilyBReader::ReleaseAntiFishing() {
    return tSingleCommand(famb::kCmdReleaseAntiFishing, famb::kQueryTimeoutMs);
}

} // namespace quillon
