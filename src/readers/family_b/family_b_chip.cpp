// Family B's chip: activation by a fixed series of tries whose index (read
// together with the answer to reset) is the protocol number, re-activation,
// deactivation, and chip I/O by that protocol number.
#include "infra/result_codes.h"
#include "readers/chip_common.h"
#include "readers/family_b/commands_b.h"
#include "readers/family_b/family_b_reader.h"

namespace quillon {

namespace {
using famb::kChipTimeoutMs;
constexpr uint32_t kChipBlock = 1000;
constexpr uint32_t kProtocol0ApduMax = 261;
constexpr uint32_t kApduMax = OFamilyBReader::kCommandMax - 3; // behind the command characters
} // namespace

tDriverResult OFamilyBReader::ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3,
                                        void* pArg4) {
    const auto [pBuf, pBufLen, pProtocol] = quillon::ChipPowerArgs(uArg2, uArg3, pArg4);
    if (iAction < 1 || iAction > 3)
        return tDriverResult::BadArgument();
    if (iAction == 1)
        return tActivate(pBuf, pBufLen, pProtocol);
    if (iAction == 2)
        return tReactivate(pBuf, pBufLen, pProtocol);
    return tDeactivate(pProtocol);
}

tDriverResult OFamilyBReader::tActivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol) {
    static const char* const kAttempts[quillon::kActivationTries] = {
        "CI0", "CI0", "CI@", "CI0", "CR0", "CR0", "CR0", "CR0", "CU001", "CU001"};
    tDriverResult out;
    tLargeReply reply;
    if (!bSend(famb::kCmdContactsDown, reply, out, kChipTimeoutMs))
        return tFinish(out);
    const int attempt = quillon::RunActivationTries(
        pProtocol, [&](uint32_t i) { return bSend(kAttempts[i], reply, out, kChipTimeoutMs); });
    if (attempt < 0) {
        m_status.usField[kStChipType] = kNoChip;
        return tFinish(out);
    }
    const uint32_t protocol =
        quillon::ChipTypeFromAnswer(static_cast<uint32_t>(attempt), reply.abData, reply.uiLen);
    m_status.usField[kStChipType] = static_cast<uint16_t>(protocol);
    *pProtocol = protocol;
    if (pBuf)
        std::memcpy(pBuf, reply.abData, reply.uiLen);
    if (pBufLen)
        *pBufLen = pBuf ? reply.uiLen : 0;
    return tFinish(out);
}

tDriverResult OFamilyBReader::tReactivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol) {
    const uint16_t protocol = m_status.usField[kStChipType];
    *pProtocol = protocol;
    const char* pCommand = nullptr;
    switch (quillon::KindOfChip(protocol)) {
    case ChipKind::Processor:
        pCommand = famb::kCmdReactivateProcessor;
        break;
    case ChipKind::CeChip:
        pCommand = famb::kCmdReactivateCeChip;
        break;
    case ChipKind::Memory:
        return tDriverResult::Untouched(1); // no re-activation for these cards
    case ChipKind::None:
        return tDriverResult::Shown(Code::Unavailable, 1, 1);
    }
    tDriverResult out;
    tSmallReply reply;
    if (bSend(pCommand, reply, out, kChipTimeoutMs)) {
        if (pBuf)
            std::memcpy(pBuf, reply.abData, reply.uiLen);
        if (pBufLen)
            *pBufLen = pBuf ? reply.uiLen : 0;
    }
    return tFinish(out);
}

tDriverResult OFamilyBReader::tDeactivate(uint32_t* pProtocol) {
    const ChipKind kind = quillon::KindOfChip(m_status.usField[kStChipType]);
    const char* pCommand = kind == ChipKind::CeChip   ? famb::kCmdCeChipOff
                           : kind == ChipKind::Memory ? famb::kCmdMemoryChipOff
                                                      : famb::kCmdProcessorOff;
    tDriverResult out;
    tSmallReply reply;
    bSend(pCommand, reply, out, kChipTimeoutMs); // only "C@2" decides
    bSend(famb::kCmdContactsUp, reply, out, kChipTimeoutMs);
    m_status.usField[kStChipPower] = 2;
    m_status.usField[kStChipType] = kNoChip;
    *pProtocol = kNoChip;
    return tFinish(out);
}

bool OFamilyBReader::bSendApdu(const char* pPrefix, const uint8_t* pApdu, uint32_t uiApduLen,
                               tLargeReply& reply, tDriverResult& out) {
    uint8_t command[kCommandMax] = {};
    std::memcpy(command, pPrefix, 3);
    if (uiApduLen)
        std::memcpy(command + 3, pApdu, uiApduLen);
    return bSendBytes(command, uiApduLen + 3, reply, out, kChipTimeoutMs);
}

bool OFamilyBReader::bAppendChipReply(const tLargeReply& reply, uint8_t* pReply,
                                      uint32_t* pReplyLen) {
    const uint32_t room = IDC_CHIP_REPLY_MAX - *pReplyLen;
    const uint32_t n = reply.uiLen < room ? reply.uiLen : room;
    std::memcpy(pReply + *pReplyLen, reply.abData, n);
    *pReplyLen += n;
    return n == reply.uiLen;
}

tDriverResult OFamilyBReader::tContinueChipReply(uint8_t* pReply, uint32_t* pReplyLen,
                                                 tDriverResult& out) {
    // Every continuation either adds data (bounded by the caller's buffer) or
    // counts against this limit, so a reader that keeps asking cannot hang us.
    for (uint32_t k = 0; out.abText[2] == '5'; ++k) {
        if (k >= IDC_CHIP_REPLY_MAX) {
            out.eCode = Code::BrokenFrame;
            break;
        }
        tLargeReply reply;
        if (!bSend(famb::kCmdRestOfReply, reply, out, kChipTimeoutMs))
            break; // the data gathered so far stays
        if (!bAppendChipReply(reply, pReply, pReplyLen)) {
            out.eCode = Code::BrokenFrame; // what fitted stays
            break;
        }
    }
    return tFinish(out);
}

bool OFamilyBReader::bSendT1(const uint8_t* pCommand, uint32_t uiLen, tLargeReply& reply,
                             tDriverResult& out, bool& bRefused) {
    const uint32_t blocks = uiLen / kChipBlock;
    if (blocks == 0)
        return bSendApdu(famb::kCmdApduT1, pCommand, uiLen, reply, out);
    for (uint32_t b = 0; b < blocks; ++b) {
        if (!bSendApdu(famb::kCmdBlockT1, pCommand + b * kChipBlock, kChipBlock, reply, out))
            return false;
        if (out.abText[2] == '?') {
            bRefused = true;
            return false;
        }
    }
    return bSendApdu(famb::kCmdLastBlockT1, pCommand + blocks * kChipBlock, uiLen % kChipBlock,
                     reply, out);
}

tDriverResult OFamilyBReader::ChipIO(int, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                                     uint32_t* pReplyLen) {
    // Blocks would carry any length; a command longer than a chip reply's
    // area is refused unsent, before anything is read from the caller's buffer.
    if (iCommandLen > IDC_CHIP_REPLY_MAX)
        return tDriverResult::BadArgument();
    const uint32_t len = static_cast<uint32_t>(iCommandLen);
    const uint16_t protocol = m_status.usField[kStChipType];
    tDriverResult out;
    tLargeReply reply;
    switch (protocol) {
    case 0:
        if (len > kProtocol0ApduMax) // refused before anything is sent; the record says so
            return tDriverResult::BadArgument();
        if (!bSendApdu(famb::kCmdApduT0, pCommand, len, reply, out))
            return tFinish(out);
        break;
    case 1: {
        bool bRefused = false;
        if (!bSendT1(pCommand, len, reply, out, bRefused)) {
            tDriverResult failed = tFinish(out);
            if (bRefused)
                failed.iResult = 1; // the card refused a block; its code stays recorded
            return failed;
        }
        break;
    }
    case 2:
    case 3:
        return tDriverResult::Untouched(0); // nothing to exchange for these cards
    case 4:
    case 5:
    case 6:
    case 7:
    case 8: {
        if (len > kApduMax)
            return tDriverResult::BadArgument();
        const char* pPrefix = protocol <= 5   ? famb::kCmdMemoryChip45
                              : protocol <= 7 ? famb::kCmdMemoryChip67
                                              : famb::kCmdMemoryChip8;
        if (!bSendApdu(pPrefix, pCommand, len, reply, out))
            return tFinish(out);
        *pReplyLen = 0;
        bAppendChipReply(reply, pReply, pReplyLen);
        return tFinish(out); // no continuation for these cards
    }
    default:
        // No chip active, or a card ("CU001" second attempt) with no I/O command.
        return tDriverResult::Shown(Code::Unavailable, 1, 1);
    }
    *pReplyLen = 0;
    bAppendChipReply(reply, pReply, pReplyLen);
    return tContinueChipReply(pReply, pReplyLen, out);
}

} // namespace quillon
