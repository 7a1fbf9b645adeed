// Family A: chip power (activation, reset, switch-off) and chip I/O.
#include <cstring>

#include "readers/chip_common.h"
#include "readers/family_a/commands_a.h"
#include "readers/family_a/family_a_reader.h"

namespace quillon {

namespace {
constexpr uint32_t kChipBlock = 360;   // command bytes in one "CF2" block
constexpr uint32_t kChipBuffer = 1024; // reply data of one chip command
static_assert(kChipBuffer <= IDC_CHIP_REPLY_MAX, "a chip reply always fits the caller's buffer");
// A reader that keeps answering "P21" with no data would continue forever.
constexpr int kMaxContinuations = IDC_CHIP_REPLY_MAX;
} // namespace

tDriverResult OFamilyAReader::ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3,
                                        void* pArg4) {
    const auto [pAnswer, pAnswerLen, pType] = ChipPowerArgs(uArg2, uArg3, pArg4);
    switch (iAction) {
    case 1:
        if (!pAnswer || !pAnswerLen)
            return tDriverResult::BadArgument();
        return tActivateChip(pAnswer, pAnswerLen, pType);
    case 2:
        if (!pAnswer || !pAnswerLen)
            return tDriverResult::BadArgument();
        return tResetChip(pAnswer, pAnswerLen);
    case 3:
        return tSwitchOffChip(pType);
    default:
        return tRefused(m_profile.tOutOfRange);
    }
}

tDriverResult OFamilyAReader::tActivateChip(uint8_t* pAnswer, uint32_t* pAnswerLen,
                                            uint32_t* pType) {
    // One try a chip kind, each on a cleared answer.
    static const char* const kTries[kActivationTries] = {"CC2",  "CC2",  "Ce11", "Ce11", "Cm20",
                                                         "Cm21", "Cm22", "Cm23", "Cm24", "Cm25"};
    uint8_t a[kChipBuffer] = {};
    uint32_t n = 0;
    tDriverResult o;
    if (!IsSuccess(eCommand(o, fama::kCmdPrepareChip, m_profile.uiChipPrepareTimeoutMs, a, sizeof a,
                            &n))) {
        // The type is decided on the caller's value and an empty answer.
        std::memset(a, 0, sizeof a);
        n = 0;
    } else if (RunActivationTries(pType, [&](uint32_t i) {
                   std::memset(a, 0, sizeof a);
                   return IsSuccess(eCommand(o, kTries[i], fama::kChipTimeoutMs, a, sizeof a, &n));
               }) < 0) {
        usStatus(kStChipType) = kNoChip;
        return tFinish(o);
    }
    *pType = ChipTypeFromAnswer(*pType, a, n);
    usStatus(kStChipType) = static_cast<uint16_t>(*pType);
    std::memcpy(pAnswer, a, n);
    *pAnswerLen = n;
    return tFinish(o);
}

tDriverResult OFamilyAReader::tResetChip(uint8_t* pAnswer, uint32_t* pAnswerLen) {
    const char* pCmd = nullptr;
    uint32_t skip = 0; // leading answer bytes that are not the chip's
    switch (KindOfChip(usStatus(kStChipType))) {
    case ChipKind::Processor:
        pCmd = fama::kCmdResetProcessorChip;
        skip = 1;
        break;
    case ChipKind::CeChip:
        pCmd = fama::kCmdResetCeChip;
        skip = 3;
        break;
    case ChipKind::Memory:
        return tRefused(m_profile.tMemoryChipReset);
    case ChipKind::None: // nothing to reset
        return tDriverResult::Shown(Code::Unavailable, 1, 1);
    }
    uint8_t a[kChipBuffer] = {};
    uint32_t n = 0;
    tDriverResult o;
    if (IsSuccess(eCommand(o, pCmd, fama::kChipTimeoutMs, a, sizeof a, &n))) {
        const uint32_t len = n > skip ? n - skip : 0;
        std::memcpy(pAnswer, a + skip, len);
        *pAnswerLen = len;
    }
    return tFinish(o);
}

tDriverResult OFamilyAReader::tSwitchOffChip(uint32_t* pType) {
    const ChipKind kind = KindOfChip(usStatus(kStChipType));
    const char* pCmd = kind == ChipKind::CeChip   ? fama::kCmdCeChipOff
                       : kind == ChipKind::Memory ? fama::kCmdMemoryChipOff
                                                  : fama::kCmdProcessorChipOff;
    tDriverResult o;
    eCommand(o, pCmd, fama::kChipTimeoutMs);
    usStatus(kStChipPower) = 2;
    usStatus(kStChipType) = kNoChip;
    if (m_profile.bSwitchOffReportsType)
        *pType = kNoChip;
    return tFinish(o);
}

tDriverResult OFamilyAReader::ChipIO(int, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                                     uint32_t* pReplyLen) {
    const uint16_t type = usStatus(kStChipType);
    if (type == 0)
        return tChipCommand(fama::kCmdApduT0, pCommand, iCommandLen, 1024, pReply, pReplyLen);
    if (type == 1)
        return tChipBlocks(pCommand, iCommandLen, pReply, pReplyLen);
    if (type == 2 || type == 3)
        return tDriverResult::Untouched(0); // this chip kind has no exchange command
    if (type >= 4 && type <= 9)
        return tChipCommand(fama::kCmdMemoryChip, pCommand, iCommandLen, 256, pReply, pReplyLen);
    return tRefused(m_profile.tNoChip);
}

tDriverResult OFamilyAReader::tChipCommand(const char* pPrefix, const uint8_t* pCommand,
                                           int iCommandLen, uint32_t uiBufSize, uint8_t* pReply,
                                           uint32_t* pReplyLen) {
    uint8_t cmd[1024] = {};
    if (uiBufSize > sizeof cmd || 3 + static_cast<uint32_t>(iCommandLen) > uiBufSize)
        return tDriverResult::BadArgument();
    std::memcpy(cmd, pPrefix, 3);
    if (iCommandLen > 0)
        std::memcpy(cmd + 3, pCommand, static_cast<size_t>(iCommandLen));
    uint8_t d[kChipBuffer] = {};
    uint32_t n = 0;
    tDriverResult o;
    if (IsSuccess(eSend(o, cmd, 3 + static_cast<uint32_t>(iCommandLen), fama::kChipTimeoutMs, d,
                        sizeof d, &n))) {
        std::memcpy(pReply, d, n);
        *pReplyLen = n;
    }
    return tFinish(o);
}

tDriverResult OFamilyAReader::tChipBlocks(const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                                          uint32_t* pReplyLen) {
    // Blocks would carry any length; a command longer than a chip reply's area is refused unsent,
    // before anything is read from a buffer the caller may not have.
    if (iCommandLen > IDC_CHIP_REPLY_MAX)
        return tDriverResult::BadArgument();
    const uint32_t total = static_cast<uint32_t>(iCommandLen);
    uint8_t cmd[3 + kChipBlock];
    uint8_t d[kChipBuffer];
    uint32_t n = 0;
    tDriverResult o;
    auto send = [&](const char* pPrefix, const uint8_t* pData, uint32_t uiLen) {
        std::memcpy(cmd, pPrefix, 3);
        if (uiLen)
            std::memcpy(cmd + 3, pData, uiLen);
        std::memset(d, 0, sizeof d);
        return IsSuccess(eSend(o, cmd, 3 + uiLen, fama::kChipTimeoutMs, d, sizeof d, &n));
    };

    uint32_t pos = 0;
    for (; total - pos >= kChipBlock; pos += kChipBlock) {
        if (!send(fama::kCmdBlockT1, pCommand + pos, kChipBlock))
            return tFinish(o);
    }
    if (!send(fama::kCmdLastBlockT1, pCommand + pos, total - pos))
        return tFinish(o);
    std::memcpy(pReply, d, n);
    uint32_t len = n;
    *pReplyLen = len;

    // "P21": more of the reply follows; the last byte received is not data.
    for (int round = 0; o.eCode == Code::MoreData; ++round) {
        if (len > 0)
            --len;
        *pReplyLen = len;
        if (round == kMaxContinuations) {
            o.eCode = Code::NoReply;
            break;
        }
        if (!send(fama::kCmdRestOfReply, nullptr, 0))
            break;
        if (n > IDC_CHIP_REPLY_MAX - len) {
            // Keep what fits the caller's buffer; the rest is lost: NoReply.
            std::memcpy(pReply + len, d, IDC_CHIP_REPLY_MAX - len);
            *pReplyLen = IDC_CHIP_REPLY_MAX;
            o.eCode = Code::NoReply;
            break;
        }
        std::memcpy(pReply + len, d, n);
        len += n;
        *pReplyLen = len;
    }
    return tFinish(o);
}

} // namespace quillon
