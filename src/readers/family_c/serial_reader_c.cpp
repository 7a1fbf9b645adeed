#include "readers/family_c/serial_reader_c.h"

#include <algorithm>
#include <cstring>

#include "infra/result_codes.h"
#include "platform/system.h"

using quillon::Code;

namespace {
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;

constexpr uint32_t kAckTimeoutMs = 2000;
constexpr unsigned kDtrPauseMs = 5;
constexpr unsigned kTrackPauseMs = 500;
constexpr uint32_t kStatusTimeoutMs = 10000;
constexpr uint32_t kMotionTimeoutMs = 20000;
constexpr uint32_t kChipTimeoutMs = 10000;

// Chip command areas: "93"/"94" texts are built in 1024 bytes, "C", "D" and
// ">05" texts in 256.
constexpr uint32_t kLongChipArea = 1024;
constexpr uint32_t kShortChipArea = 256;

// A reply frame: STX, length (2), kind, command echo (2), data, ETX, BCC.
// Data byte k stands at frame position kData + k.
constexpr uint32_t kData = 6;

// Number of reply data bytes in a frame of uiLen bytes.
uint32_t DataCount(uint32_t uiLen) {
    return uiLen > kData + 2 ? uiLen - kData - 2 : 0;
}

// The family's line, the configured port and modem-line choices kept.
void FamilyCLine(LineSettings& settings) {
    settings.uiBaud = 9600;
    settings.eDataBits = DataBits::Eight;
    settings.eParity = Parity::None;
    settings.eStopBits = StopBits::One;
}

static_assert(OReaderComm::kMaxWanted + 3 <= OSerialReaderC::kAreaSize,
              "the largest receivable frame fits the receive area");
static_assert(OSerialReaderC::kAreaSize <= IDC_CHIP_REPLY_MAX,
              "a chip reply never exceeds the caller's buffer");
} // namespace

OSerialReaderC::OSerialReaderC(OReaderComm* pComm) : OSerialReaderBase(pComm) {
    m_status.usField[kStChipType] = 255;
    m_status.usField[kStChipPower] = 0;
    m_caps.usField[6] = 99;
}

int OSerialReaderC::SetCommPara(tDevReturn* pRet) {
    return m_pComm->iOpenPort(pRet, &FamilyCLine);
}

// ---------------------------------------------------------------------------
// Command exchange

void OSerialReaderC::vPackFrame(uint8_t* pBuf, uint32_t* pLen) {
    const uint32_t n = *pLen & 0xFFFF;
    std::memmove(pBuf + 3, pBuf, n);
    pBuf[0] = kStx;
    pBuf[1] = static_cast<uint8_t>(n >> 8);
    pBuf[2] = static_cast<uint8_t>(n & 0xFF);
    pBuf[3 + n] = kEtx;
    uint8_t bcc = 0;
    for (uint32_t i = 0; i < 4 + n; ++i)
        bcc ^= pBuf[i];
    pBuf[4 + n] = bcc;
    *pLen = n + kFrameOverhead;
}

int OSerialReaderC::iCheckFrame(const uint8_t* pFrame, uint32_t uiLen) {
    if (!pFrame || uiLen < 2)
        return ToInt(Code::BrokenFrame);
    uint8_t bcc = 0;
    for (uint32_t i = 0; i + 1 < uiLen; ++i)
        bcc ^= pFrame[i];
    return bcc == pFrame[uiLen - 1] ? 0 : ToInt(Code::BrokenFrame);
}

int OSerialReaderC::iMapReplyCode(const uint8_t* pFrame, uint32_t uiLen) {
    if (!pFrame || uiLen < 4)
        return ToInt(Code::BrokenFrame);
    if (pFrame[3] == 'P')
        return 0;
    if (pFrame[3] != 'N')
        return ToInt(Code::BrokenFrame);
    if (DataCount(uiLen) == 0)
        return ToInt(Code::UnknownReply); // a negative reply without its error byte
    const uint8_t e = pFrame[kData];
    auto in = [e](int lo, int hi) { return e >= lo && e <= hi; };
    if (e == 0x00)
        return ToInt(Code::NotSupported);
    if (e == 0x01)
        return ToInt(Code::BadArgument);
    if (e == 0x02)
        return ToInt(Code::Refused);
    if (in(0x03, 0x04))
        return ToInt(Code::Unavailable);
    if (in(0x05, 0x07))
        return ToInt(Code::ResetAgain);
    if (e == 0x08)
        return ToInt(Code::ReplyN12);
    if (e == 0x0A)
        return ToInt(Code::ReplyN10);
    if (e == 0x0B)
        return ToInt(Code::ReplyN11);
    if (e == 0x0C)
        return ToInt(Code::ReplyN20);
    if (e == 0x0D)
        return ToInt(Code::ReplyN21);
    if (e == 0x0E)
        return ToInt(Code::ReplyBN19);
    if (e == 0x21 || e == 0x30)
        return ToInt(Code::ReplyBN61);
    if (in(0x22, 0x24) || in(0x31, 0x33))
        return ToInt(Code::ReplyBN63);
    if (e == 0x50)
        return ToInt(Code::ReplyN81);
    if (in(0x51, 0x53) || in(0x56, 0x6B) || in(0x70, 0x73))
        return ToInt(Code::ChipFailed);
    return ToInt(Code::UnknownReply);
}

int OSerialReaderC::iExecCommand(const uint8_t* pText, uint32_t uiTextLen, uint8_t* pReply,
                                 uint32_t* pReplyLen, tDevReturn* pRet, uint32_t uiTimeoutMs) {
    const uint32_t uiCapacity = (pReply && pReplyLen) ? *pReplyLen : 0;
    if (pReplyLen)
        *pReplyLen = 0;
    int iCode = 0;
    try {
        // A text whose frame would not fit the send area is refused unsent.
        if ((!pText && uiTextLen) || uiTextLen > kAreaSize - kFrameOverhead)
            throw ToInt(Code::BadArgument);

        m_pComm->iSetDtr(true);
        quillon::SleepMs(kDtrPauseMs);

        uint8_t send[kAreaSize];
        if (uiTextLen)
            std::memcpy(send, pText, uiTextLen);
        uint32_t uiFrameLen = uiTextLen;
        vPackFrame(send, &uiFrameLen);

        m_pComm->vDiscardInput(); // nothing stale may pass for this reply
        if (m_pComm->iWrite(send, uiFrameLen) != 0)
            throw ToInt(Code::CommFailed);

        uint8_t answer = 0;
        uint32_t n = 1;
        if (m_pComm->iReadReply(&answer, &n, kAckTimeoutMs) != 0 || n != 1)
            throw ToInt(Code::BadAck);
        if (answer != kAck)
            throw ToInt(Code::BadAck); // a first answer byte other than ACK: no ENQ, no reply read

        const uint8_t enq = kEnq;
        if (m_pComm->iWrite(&enq, 1) != 0)
            throw ToInt(Code::CommFailed);

        // Each wait may take the caller's time-out, the whole frame not much more.
        OReaderComm::OFrame replyFrame(m_pComm, uiTimeoutMs, kAreaSize);
        uint8_t recv[kAreaSize];
        n = 3;
        if (m_pComm->iReadReply(recv, &n, uiTimeoutMs) != 0 || n != 3)
            throw ToInt(Code::NoReply);
        const uint32_t uiRest = ((static_cast<uint32_t>(recv[1]) << 8) | recv[2]) + 2;
        if (uiRest > OReaderComm::kMaxWanted)
            throw ToInt(Code::NoReply); // longer than the receive buffer can ever hold
        n = uiRest;
        if (m_pComm->iReadReply(recv + 3, &n, uiTimeoutMs) != 0)
            throw ToInt(Code::NoReply);

        const uint32_t uiLen = 3 + n;
        const uint32_t uiCopy = std::min(uiLen, uiCapacity);
        if (uiCopy)
            std::memcpy(pReply, recv, uiCopy);
        if (pReplyLen)
            *pReplyLen = uiCopy;
        if (n < uiRest)
            throw ToInt(Code::NoReply); // part of the frame did not arrive
        if (iCheckFrame(recv, uiLen) != 0)
            throw ToInt(Code::BrokenFrame);

        m_pComm->iSetDtr(false);
        quillon::SleepMs(kDtrPauseMs);
        iCode = iMapReplyCode(recv, uiLen);
    } catch (int iFailure) {
        iCode = iFailure; // DTR stays raised
    }
    m_pComm->vReportResult(&iCode, pRet);
    return iCode;
}

int OSerialReaderC::iRefreshAfter(int iResult, const tDevReturn& outcome, tDevReturn* pRet) {
    tDevReturn status = *pRet;
    vRefreshStatus(&status);
    // A status read that fails after a successful command, or one that reads
    // a success code after a failed command, would contradict the result.
    if (quillon::IsSuccessCode(status.iCode2) == (iResult == 0)) {
        vCopyOutcome(pRet, status);
    } else {
        vCopyOutcome(pRet, outcome);
        m_pComm->vRecordOutcome(outcome);
    }
    return iResult;
}

int OSerialReaderC::iSend(const char* pCommand, uint8_t* pReply, uint32_t* pReplyLen,
                          tDevReturn* pRet, uint32_t uiTimeoutMs) {
    return iExecCommand(reinterpret_cast<const uint8_t*>(pCommand),
                        static_cast<uint32_t>(std::strlen(pCommand)), pReply, pReplyLen, pRet,
                        uiTimeoutMs);
}

// ---------------------------------------------------------------------------
// Operations

int OSerialReaderC::Init(int iMode, tDevReturn* pRet) {
    const char* pCommand = (iMode == 1 || iMode == 3) ? "00" : (iMode == 2 ? "02" : nullptr);
    if (!pCommand)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    uint8_t reply[256];
    uint32_t len = sizeof reply;
    int result = iSend(pCommand, reply, &len, pRet, kMotionTimeoutMs);

    m_caps.usField[0] = 3;
    for (int i = 1; i <= 4; ++i)
        m_caps.usField[i] = 2;
    m_caps.usField[6] = 99;
    m_status.usField[kStActMode] = 4;
    m_status.usField[kStIntakeMode] = 4;
    m_status.usField[kStChipType] = 255;
    m_status.usField[kStEntry] = 3;
    m_status.usField[kStModule] = 2;

    if (result == 0) {
        // Model name: data bytes 0..8; firmware identifier: data bytes 10..13.
        const uint32_t data = DataCount(len);
        std::memset(m_caps.acModelName, 0, sizeof m_caps.acModelName);
        std::memcpy(m_caps.acModelName, reply + kData, std::min<uint32_t>(9, data));
        std::memset(m_caps.acFirmware, 0, sizeof m_caps.acFirmware);
        if (data > 10)
            std::memcpy(m_caps.acFirmware, reply + kData + 10, std::min<uint32_t>(4, data - 10));
    }
    vCopyLibraryVersion();

    tDevReturn outcome = *pRet;
    iRefreshAfter(result, outcome, pRet);
    if (iMode == 1 && pRet->iCode2 != ToInt(Code::Positive)) {
        // A card is still inside: hand it back. The eject decides the result,
        // but never turns a failed initialisation into a success.
        const int iEject = EjectCard(pRet);
        if (result == 0) {
            result = iEject;
            outcome = *pRet;
        }
    }
    // A failed initialisation stays what this call and the next status
    // refresh report.
    return iRefreshAfter(result, outcome, pRet);
}

int OSerialReaderC::GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) {
    const tDevReturn kept = m_pComm->tLastOutcome();

    uint8_t reply[256];
    uint32_t len = sizeof reply;
    int result = iSend("10", reply, &len, pRet, kStatusTimeoutMs);

    tIdcStatus unused;
    tIdcStatus* pOut = pStatus ? pStatus : &unused;
    if (pOut != &m_status)
        std::memcpy(pOut, &m_status, sizeof m_status);

    if (result == 0 && DataCount(len) > 0) {
        // Status byte -> code and fields 1, 6, 7, 10 (-1: kept).
        struct Row {
            uint8_t byState;
            Code eCode;
            int f1, f6, f7, f10;
        };
        static const Row kRows[] = {
            {'0', Code::StateC0, 4, 0, 1, -1},   {'1', Code::ReplyP01, 2, 1, 1, -1},
            {'2', Code::CardInside, 3, 0, 0, 3}, {'4', Code::CardInside, 3, 0, 0, 3},
            {'3', Code::ReplyP11, 3, -1, -1, 3}, {'5', Code::Positive, 1, 0, 0, -1},
            {'6', Code::StateC6, 2, 1, -1, -1},
        };
        int iCode = 0; // any other state: the reply's own code
        for (const Row& row : kRows) {
            if (row.byState != reply[kData])
                continue;
            iCode = ToInt(row.eCode);
            const int values[] = {row.f1, row.f6, row.f7, row.f10};
            const int fields[] = {kStState, kStSensor6, kStSensor7, kStEntry};
            for (int i = 0; i < 4; ++i)
                if (values[i] >= 0)
                    pOut->usField[fields[i]] = static_cast<uint16_t>(values[i]);
            if (row.f10 >= 0)
                m_status.usField[kStEntry] = static_cast<uint16_t>(row.f10);
        }
        iSetRecord(pRet, iCode, 0, 0);
        if (!quillon::IsSuccessCode(iCode))
            result = 1; // state "6" (StateC6) is no success, whatever its class fields say
    }

    // The previous operation's failure is reported again, unless the reader
    // did not answer at all.
    if (kept.iErrFlag2 != 0 && pRet->iCode2 != ToInt(Code::BadAck)) {
        vCopyOutcome(pRet, kept);
        m_pComm->vRecordOutcome(kept);
        return 1;
    }
    return result;
}

int OSerialReaderC::AcceptCard(int iMode, tDevReturn* pRet) {
    static const char* const kCommands[] = {"25", "24", "23", "30", "22"};
    if (iMode < 1 || iMode > 5)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    uint8_t reply[256];
    uint32_t len = sizeof reply;
    const int result = iSend(kCommands[iMode - 1], reply, &len, pRet, kMotionTimeoutMs);
    if (result == 0)
        m_status.usField[kStEntry] = static_cast<uint16_t>(iMode <= 2 ? iMode : 3);
    return iRefreshAfter(result, pRet);
}

int OSerialReaderC::ChipIO(int, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                           uint32_t* pReplyLen, tDevReturn* pRet) {
    const uint16_t type = m_status.usField[kStChipType];
    const char* pPrefix = nullptr;
    switch (type) {
    case 0:
        pPrefix = "93";
        break;
    case 1:
        pPrefix = "94";
        break;
    case 4:
        pPrefix = "C";
        break;
    case 6:
        pPrefix = "D";
        break;
    case 8:
        pPrefix = ">05";
        break;
    default:
        return iSetRecord(pRet, ToInt(Code::Unavailable), 1, 1); // no chip powered
    }
    if (iCommandLen < 0 || (!pCommand && iCommandLen > 0) || !pReply || !pReplyLen)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    const bool bLong = type == 0 || type == 1;
    const uint32_t n = static_cast<uint32_t>(iCommandLen);
    const uint32_t uiPrefix = static_cast<uint32_t>(std::strlen(pPrefix)) + (bLong ? 2 : 0);
    const uint32_t uiArea = bLong ? kLongChipArea : kShortChipArea;
    // Refused unsent when it does not fit its command area or the send area.
    if (n > uiArea - uiPrefix || uiPrefix + n > kAreaSize - kFrameOverhead)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    uint8_t text[kLongChipArea];
    std::memcpy(text, pPrefix, std::strlen(pPrefix));
    if (bLong) {
        text[2] = static_cast<uint8_t>(n >> 8);
        text[3] = static_cast<uint8_t>(n & 0xFF);
    }
    if (n)
        std::memcpy(text + uiPrefix, pCommand, n);

    uint8_t reply[kAreaSize];
    uint32_t len = sizeof reply;
    if (iExecCommand(text, uiPrefix + n, reply, &len, pRet, kChipTimeoutMs) != 0)
        return 1;

    const uint32_t data = DataCount(len);
    uint32_t uiOut = 0;
    if (bLong) {
        // Data bytes 0-1: response length (high byte first); response from byte 2.
        if (data >= 2) {
            const uint32_t declared = (static_cast<uint32_t>(reply[kData]) << 8) | reply[kData + 1];
            uiOut = std::min({declared, kLongChipArea, data - 2});
            std::memcpy(pReply, reply + kData + 2, uiOut);
        }
    } else {
        uiOut = data;
        std::memcpy(pReply, reply + kData, uiOut);
    }
    *pReplyLen = uiOut;

    return iRefreshAfter(0, pRet);
}

int OSerialReaderC::ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                              tDevReturn* pRet) {
    uint8_t* pAtr = reinterpret_cast<uint8_t*>(uArg2);
    uint32_t* pAtrLen = reinterpret_cast<uint32_t*>(uArg3);
    uint32_t* pType = static_cast<uint32_t*>(pArg4);
    auto vSetType = [pType](uint32_t t) {
        if (pType)
            *pType = t;
    };

    uint8_t reply[kAreaSize];
    uint32_t len = sizeof reply;

    if (iAction == 3) {
        iSend("91", reply, &len, pRet, kChipTimeoutMs); // its result does not count
        len = sizeof reply;
        const int result = iRefreshAfter(iSend("30", reply, &len, pRet, kChipTimeoutMs), pRet);
        vChipOff();
        vSetType(255);
        return result;
    }
    if (iAction != 1 && iAction != 2)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    int result = iSend("40", reply, &len, pRet, kChipTimeoutMs);
    if (result == 0) {
        len = sizeof reply;
        result = iSend("31", reply, &len, pRet, kChipTimeoutMs);
    }
    if (result != 0) {
        vSetType(255);
        vChipOff();
        return 1;
    }

    // Data byte 0 of "31" names the chip.
    const uint8_t kind = DataCount(len) > 0 ? reply[kData] : 0;
    uint16_t type = 255;
    const char* pActivate = nullptr;
    if (kind >= '0' && kind <= '6') {
        type = 8;
    } else if (kind == ';') {
        type = 4, pActivate = "C0";
    } else if (kind == '<') {
        type = 6, pActivate = "D0";
    } else if (kind == '=') {
        type = 0, pActivate = "90";
    } else if (kind == '>') {
        type = 1, pActivate = "90";
    } else {
        iSetRecord(pRet, ToInt(Code::ChipFailed), 1, 1);
        vSetType(255);
        vChipOff();
        return 1;
    }
    vSetType(type);

    if (pActivate) {
        len = sizeof reply;
        if (iSend(pActivate, reply, &len, pRet, kChipTimeoutMs) != 0)
            return iRefreshAfter(1, pRet);
    }
    m_status.usField[kStChipType] = type;
    m_status.usField[kStChipPower] = 1;
    if (type != 0 && type != 1)
        return 0;

    // Answer to reset: (data byte 0) - 1 bytes from data byte 2, no more than arrived.
    const uint32_t data = DataCount(len);
    uint32_t uiAtr = 0;
    if (pAtr && data > 2 && reply[kData] > 0)
        uiAtr = std::min<uint32_t>(reply[kData] - 1u, data - 2);
    if (uiAtr)
        std::memcpy(pAtr, reply + kData + 2, uiAtr);
    if (pAtrLen)
        *pAtrLen = uiAtr;
    return iRefreshAfter(0, pRet);
}

int OSerialReaderC::EjectCard(tDevReturn* pRet) {
    uint8_t reply[256];
    uint32_t len = sizeof reply;
    iSend("79", reply, &len, pRet, kMotionTimeoutMs); // its result does not count
    len = sizeof reply;
    const int result = iRefreshAfter(iSend("32", reply, &len, pRet, kMotionTimeoutMs), pRet);
    m_status.usField[kStEntry] = 3;
    vChipOff();
    return result;
}

int OSerialReaderC::RetainCard(uint32_t*, tDevReturn* pRet) {
    uint8_t reply[256];
    uint32_t len = sizeof reply;
    iSend("79", reply, &len, pRet, kMotionTimeoutMs); // its result does not count
    len = sizeof reply;
    return iRefreshAfter(iSend("35", reply, &len, pRet, kMotionTimeoutMs), pRet);
}

int OSerialReaderC::ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    quillon::SleepMs(kTrackPauseMs);

    tIdcTracks tracks;
    std::memset(&tracks, 0, sizeof tracks);
    uint8_t reply[512];
    uint32_t len = sizeof reply;
    if (iSend("76", reply, &len, pRet, kStatusTimeoutMs) == 0) {
        // Data bytes 1, 3, 5: lengths; the texts follow one another from data byte 6.
        const uint8_t* data = reply + kData;
        const uint32_t avail = DataCount(len);
        uint32_t* lengths[3] = {&tracks.uiLen1, &tracks.uiLen2, &tracks.uiLen3};
        uint8_t* areas[3] = {tracks.abTrack1, tracks.abTrack2, tracks.abTrack3};
        const uint32_t sizes[3] = {sizeof tracks.abTrack1, sizeof tracks.abTrack2,
                                   sizeof tracks.abTrack3};
        uint32_t pos = 6;
        for (int i = 0; i < 3; ++i) {
            const uint32_t at = static_cast<uint32_t>(2 * i + 1);
            uint32_t n = at < avail ? data[at] : 0;
            n = std::min({n, sizes[i], avail > pos ? avail - pos : 0u});
            std::memcpy(areas[i], data + pos, n);
            *lengths[i] = n;
            pos += n;
        }
    }

    vRefreshStatus(pRet);
    const int noted = pRet->iCode2;
    const bool bAny = tracks.uiLen1 || tracks.uiLen2 || tracks.uiLen3;
    if (bAny && noted == ToInt(Code::CardInside)) {
        if (pTracks)
            *pTracks = tracks;
        return 0;
    }

    len = sizeof reply;
    iSend("79", reply, &len, pRet, kStatusTimeoutMs);
    if (pTracks)
        std::memset(pTracks, 0, sizeof *pTracks);
    return iSetRecord(pRet,
                      noted == ToInt(Code::CardInside) ? ToInt(Code::NoTrackData)
                                                       : ToInt(Code::Unavailable),
                      0, 1);
}

int OSerialReaderC::GetLifeInfo(tIdcLife*, tDevReturn* pRet) {
    return iNotSupported(pRet);
}
int OSerialReaderC::ResetCount(int, tDevReturn* pRet) {
    return iNotSupported(pRet);
}
int OSerialReaderC::WriteTrack(tIdcTracks*, tDevReturn* pRet) {
    return iNotSupported(pRet);
}
int OSerialReaderC::ReleaseAntiFishing(tDevReturn* pRet) {
    return iNotSupported(pRet);
}
