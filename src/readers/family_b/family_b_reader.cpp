#include "readers/family_b/family_b_reader.h"

#include <cstdio>
#include <cstring>

#include "infra/result_codes.h"

using quillon::Code;

namespace {
// Capability fields (u16 index = byte offset / 2).
constexpr int kCapIdentified = 0;  // offset 0
constexpr int kCapIntake = 1;      // offset 2
constexpr int kCapActMode = 2;     // offset 4
constexpr int kCapConfigured = 3;  // offset 6
constexpr int kCapConfigured2 = 4; // offset 8
constexpr int kCapLimit = 6;       // offset 12
constexpr int kCapRetain = 7;      // offset 14

constexpr uint16_t kNoProtocol = 255;
constexpr uint32_t kChipTimeoutMs = 10000;
constexpr uint32_t kChipBlock = 1000;
constexpr uint32_t kProtocol0ApduMax = 261;

constexpr const char* kModelQ8 = "ICT3Q8-3A0179";
constexpr const char* kModelQ5 = "ICT3Q5-3A0188";

// Positive replies "00", "01", "02".
constexpr Code kPositiveMap[3] = {Code::Positive, Code::ReplyP01, Code::CardInside};

constexpr Code kNone = Code::UnknownReply; // a status the map does not know
// Negative replies by the two status digits; kNone where the map has none.
constexpr Code kNegativeMap[7][10] = {
    {Code::NotSupported, Code::Unavailable, Code::Unavailable, Code::ReplyBN03, Code::Refused,
     Code::ReplyBN05, Code::ReplyBN06, kNone, kNone, kNone},
    {Code::ReplyN10, Code::ReplyN11, Code::ReplyN12, Code::ReplyN20, Code::ReplyN21, Code::ReplyN33,
     Code::ReplyN32, Code::ReplyN15, Code::ReplyBN18, Code::ReplyBN19},
    {Code::ReplyN42, Code::NothingRead, Code::ReplyN55, Code::ReplyN45, Code::NoTrackData,
     Code::ReplyBN25, Code::ReplyN40, Code::ReplyN41, Code::ReplyN43, Code::ReplyBN25},
    {Code::ResetAgain, Code::ReplyBN31, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone},
    {Code::ReplyN60, Code::ReplyN81, kNone, Code::ReplyBN43, kNone, Code::ReplyBN45, kNone, kNone,
     Code::ReplyBN48, kNone},
    {Code::RetainBusy, Code::ReplyN13, kNone, Code::TrackDataWithError, Code::ReplyN1G,
     Code::ReplyN1E, kNone, kNone, kNone, kNone},
    {Code::ReplyN82, Code::ReplyBN61, Code::ChipFailed, Code::ReplyBN63, Code::ReplyBN63,
     Code::ReplyBN65, Code::ReplyBN66, kNone, kNone, Code::ReplyBN66},
};

uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint32_t Be16(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 8) | p[1];
}
uint32_t Min(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}
} // namespace

OFamilyBReader::OFamilyBReader(OReaderComm* pComm) : OReaderBase(pComm) {
    vCopyLibraryVersion();
    m_status.usField[kStChipType] = kNoProtocol;
    m_caps.usField[kCapLimit] = 99;
}

// ---------------------------------------------------------------- replies

int OFamilyBReader::iMapReplyCode(uint8_t byKind, uint16_t usStatus) {
    const int first = usStatus >> 8;
    const int second = usStatus & 0xFF;
    if (byKind == 'P') {
        if (first == '0' && second >= '0' && second <= '2')
            return ToInt(kPositiveMap[second - '0']);
        return ToInt(Code::UnknownReply);
    }
    if (byKind != 'N')
        return ToInt(Code::UnknownReply);
    if (first == 'B' && second == '0')
        return ToInt(Code::ReplyBNB0);
    if (first < '0' || first > '6' || second < '0' || second > '9')
        return ToInt(Code::UnknownReply);
    return ToInt(kNegativeMap[first - '0'][second - '0']);
}

int OFamilyBReader::iTakeReply(const uint8_t* pPayload, uint32_t uiPayloadLen, uint8_t* pData,
                               uint32_t uiDataSize, uint32_t* pDataLen, tDevReturn* pRet) {
    const uint32_t n = Min(uiPayloadLen - kReplyHeader, pData ? uiDataSize : 0);
    if (n)
        std::memcpy(pData, pPayload + kReplyHeader, n);
    if (pDataLen)
        *pDataLen = n;
    std::memcpy(pRet->acReplyText, pPayload, kReplyHeader);
    return iMapReplyCode(pPayload[0], static_cast<uint16_t>((pPayload[3] << 8) | pPayload[4]));
}

int OFamilyBReader::iSendText(const char* pText, uint8_t* pData, uint32_t uiDataSize,
                              uint32_t* pDataLen, tDevReturn* pRet, uint32_t uiTimeoutMs) {
    std::memset(pData, 0, uiDataSize);
    *pDataLen = 0;
    return iExecCommand(reinterpret_cast<const uint8_t*>(pText),
                        static_cast<uint32_t>(std::strlen(pText)), pData, uiDataSize, pDataLen,
                        pRet, uiTimeoutMs);
}

int OFamilyBReader::iSendApdu(const char* pPrefix, const uint8_t* pApdu, uint32_t uiApduLen,
                              tLargeReply& reply, tDevReturn* pRet) {
    if (uiApduLen > kCommandMax - 3)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    uint8_t command[kCommandMax] = {};
    std::memcpy(command, pPrefix, 3);
    if (uiApduLen)
        std::memcpy(command + 3, pApdu, uiApduLen);
    std::memset(&reply, 0, sizeof reply);
    return iExecCommand(command, uiApduLen + 3, reply.abData, sizeof reply.abData, &reply.uiLen,
                        pRet, kChipTimeoutMs);
}

bool OFamilyBReader::bTakeRetainCounter(const uint8_t* pData, uint32_t* pCounter) {
    const uint8_t tens = pData[0], ones = pData[1];
    if (tens < '0' || tens > '9' || ones < '0' || ones > '9')
        return false; // not two digits: the counter is not known
    const uint16_t count = static_cast<uint16_t>((tens - '0') * 10 + (ones - '0'));
    m_caps.usField[kCapRetain] = count;
    m_status.usField[kStRetainCount] = count;
    if (pCounter)
        *pCounter = count;
    return true;
}

// --------------------------------------------------------- initialisation

int OFamilyBReader::Init(int iMode, tDevReturn* pRet) {
    static const char* const kInitCommands[] = {"C0432400010011", "C0532400010011",
                                                "C0632400010011"};
    if (iMode < 1 || iMode > 3)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    const char* pInit = kInitCommands[iMode - 1];
    tSmallReply reply;
    int result = iSend(pInit, reply, pRet, 30000);
    if (result != 0 && pRet->iCode2 == ToInt(Code::ResetAgain)) // sent once more
        result = iSend(pInit, reply, pRet, 30000);
    if (result != 0)
        return result;
    m_status.usField[kStChipType] = kNoProtocol;

    result = iSend("CC0", reply, pRet, 10000);
    if (result == 0 && !bTakeRetainCounter(reply.abData, nullptr))
        result = iReport(ToInt(Code::BrokenFrame), pRet); // no counter in it: a broken reply
    if (m_caps.acModelName[0] != '\0')
        return result; // identified by an earlier Init

    result = iSend("CA1", reply, pRet, 10000);
    if (result != 0)
        return result;
    std::memcpy(m_caps.acFirmware, reply.abData, 8);
    if (std::memcmp(reply.abData, "2741", 4) == 0)
        quillon::CopyText(m_caps.acModelName, sizeof m_caps.acModelName, kModelQ8);
    if (std::memcmp(reply.abData, "05", 2) == 0) {
        quillon::CopyText(m_caps.acModelName, sizeof m_caps.acModelName, kModelQ5);
        return result;
    }
    m_caps.usField[kCapIdentified] = 1;
    if (std::strcmp(m_caps.acModelName, kModelQ8) == 0)
        vApplyConfig();
    return result;
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
        tDevReturn own;
        std::memset(&own, 0, sizeof own);
        tSmallReply reply;
        failed = iSend(value == 0 ? pCmdMode0 : pCmdMode1, reply, &own, 10000) != 0;
        state = value == 0 ? 3 : 1;
    }
    if (failed)
        state = 4;
    usCapField = failed ? 2 : 1;
    return state;
}

// The configuration of the "ICT3Q8-3A0179": its commands use a record of
// their own, so the caller's record keeps the outcome of "CA1".
void OFamilyBReader::vApplyConfig() {
    m_status.usField[kStIntakeMode] =
        static_cast<uint16_t>(iApplyMode("IntakeMode", "C:X0", "C:X1", m_caps.usField[kCapIntake]));
    m_status.usField[kStActMode] =
        static_cast<uint16_t>(iApplyMode("ActMode", "Cc90", "Cc91", m_caps.usField[kCapActMode]));
    m_caps.usField[kCapConfigured] = 2;
    m_status.usField[kStModule] = 2;

    tDevReturn own;
    std::memset(&own, 0, sizeof own);
    tSmallReply reply;
    if (iSend("Ce2", reply, &own, 10000) == 0) {
        std::memcpy(m_caps.acInfo, reply.abData, 8);
        const uint8_t* d = reply.abData;
        std::snprintf(m_caps.acDate, sizeof m_caps.acDate, "200%c-%c%c-%c%c", d[1], d[2], d[3],
                      d[4], d[5]);
    }
    m_caps.usField[kCapConfigured2] = 2;
}

// ------------------------------------------------- status and card moves

int OFamilyBReader::GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) {
    tSmallReply reply;
    int result = iSend("C13", reply, pRet, 5000);
    if (result != 0) {
        pStatus->usField[kStEntry] = 3;
        return result;
    }
    const uint8_t* d = reply.abData;
    if (d[1] & 0x07)
        m_status.usField[kStEntry] = 3; // stays from now on
    *pStatus = m_status;
    switch (pRet->iCode2) {
    case ToInt(Code::Positive):
        pStatus->usField[kStState] = 1;
        break;
    case ToInt(Code::ReplyP01):
        pStatus->usField[kStState] = 2;
        break;
    case ToInt(Code::CardInside):
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

    result = iSend("C11", reply, pRet, 5000);
    if (result != 0)
        pStatus->usField[kStEntry] = 3;
    return result;
}

int OFamilyBReader::AcceptCard(int iMode, tDevReturn* pRet) {
    static const char* const kAcceptCommands[] = {"C:2", "C:0", "C:1", "C40", "C22"};
    if (iMode < 1 || iMode > 5)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    tSmallReply reply;
    return iSend(kAcceptCommands[iMode - 1], reply, pRet, 30000);
}

int OFamilyBReader::EjectCard(tDevReturn* pRet) {
    tSmallReply reply;
    return iSend("C30", reply, pRet, 20000);
}

int OFamilyBReader::RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) {
    tSmallReply reply;
    int result = iSend("C31", reply, pRet, 20000);
    if (result != 0 && pRet->iCode2 == ToInt(Code::RetainBusy))
        result = iSend("CC101", reply, pRet, 5000);
    tDevReturn own;
    std::memset(&own, 0, sizeof own);
    if (iSend("CC0", reply, &own, 10000) == 0)
        bTakeRetainCounter(reply.abData, pRetainCount);
    return result;
}

// ------------------------------------------------------------------ tracks

int OFamilyBReader::ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    struct tArea {
        uint32_t* pLen;
        uint8_t* pText;
        uint32_t uiMax;
    };
    const tArea area[3] = {{&pTracks->uiLen1, pTracks->abTrack1, 79},
                           {&pTracks->uiLen2, pTracks->abTrack2, 40},
                           {&pTracks->uiLen3, pTracks->abTrack3, 107}};
    bool read[3] = {false, false, false};
    bool flag[3] = {false, false, false};
    for (const tArea& a : area)
        *a.pLen = 0;
    tSmallReply reply;
    auto take = [&](int i) {
        const uint32_t n = Min(reply.uiLen, area[i].uiMax);
        std::memcpy(area[i].pText, reply.abData, n);
        *area[i].pLen = n;
        return n;
    };
    // The last command of this read the reader answered positively, with the
    // record it left.
    tDevReturn good{};
    bool bGood = false;
    auto send = [&](const char* pText) {
        const int result = iSend(pText, reply, pRet, 15000);
        if (result == 0) {
            good = *pRet;
            bGood = true;
        }
        return result;
    };

    // All three at once: track 1 '~' track 2 '~' track 3.
    if (send("C65") == 0) {
        uint32_t pos = 0;
        for (int i = 0; i < 3; ++i) {
            uint32_t n = 0;
            while (pos + n < reply.uiLen && n < area[i].uiMax &&
                   (i == 2 || reply.abData[pos + n] != '~'))
                ++n;
            if (n)
                std::memcpy(area[i].pText, reply.abData + pos, n);
            *area[i].pLen = n;
            read[i] = n > 0;
            pos += n + 1; // the separator's position is skipped whatever it holds
        }
    }
    if (send("C67") == 0)
        for (int i = 0; i < 3; ++i)
            flag[i] = reply.abData[i] == '1';

    if (!read[0] && flag[0] && send("C61") == 0) {
        take(0);
        read[0] = true;
    }
    if (!read[1]) {
        if (flag[1]) {
            // 'N' "53" still carries the track's data.
            if (send("C62") == 0 || pRet->iCode2 == ToInt(Code::TrackDataWithError))
                read[1] = take(1) > 0;
        } else if (send("CD2") == 0 || pRet->iCode2 == ToInt(Code::TrackDataWithError) ||
                   send("CD:") == 0) {
            take(1);
            read[1] = true;
        }
    }
    if (!read[2] && flag[2] && send("C63") == 0) {
        take(2);
        read[2] = true;
    }
    if (!read[0] && !read[1] && !read[2])
        return ToInt(Code::NothingRead);
    // Tracks were read, so the result is 0. A command sent after them that
    // failed, or the 'N' "53" reply a track was taken from, must not leave a
    // failure code beside it: the record then tells the last positive answer
    // of this read (0 when the reader gave none).
    if (!quillon::IsSuccessCode(pRet->iCode2)) {
        if (bGood)
            *pRet = good;
        else
            iSetRecord(pRet, ToInt(Code::Ok), 0, 0);
    }
    return 0;
}

int OFamilyBReader::WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    uint32_t* const pLen[3] = {&pTracks->uiLen1, &pTracks->uiLen2, &pTracks->uiLen3};
    const uint8_t* const pText[3] = {pTracks->abTrack1, pTracks->abTrack2, pTracks->abTrack3};
    const uint32_t kMax[3] = {79, 40, 107};
    if (*pLen[0] == 0 && *pLen[1] == 0 && *pLen[2] == 0)
        return ToInt(Code::Refused);
    bool failed = false;
    tDevReturn failure{}; // the record of the last write that failed
    for (int i = 0; i < 3; ++i) {
        if (*pLen[i] == 0)
            continue;
        char command[3 + 107 + 1] = {'C', '7', static_cast<char>('1' + i)};
        std::memcpy(command + 3, pText[i], Min(*pLen[i], kMax[i]));
        // The command is the zero-terminated text: a zero byte ends it early.
        tSmallReply reply;
        std::memset(&reply, 0, sizeof reply);
        if (iExecCommand(reinterpret_cast<const uint8_t*>(command),
                         static_cast<uint32_t>(strnlen(command, sizeof command)), reply.abData,
                         sizeof reply.abData, &reply.uiLen, pRet, 20000) != 0) {
            *pLen[i] = 0;
            failed = true;
            failure = *pRet;
        }
    }
    // A later track written well must not leave its success code beside the
    // result 1: the record then tells the last write that failed.
    if (failed && quillon::IsSuccessCode(pRet->iCode2))
        *pRet = failure;
    return failed ? 1 : 0;
}

// -------------------------------------------------------------------- chip

int OFamilyBReader::ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                              tDevReturn* pRet) {
    uint8_t* pBuf = reinterpret_cast<uint8_t*>(uArg2);
    uint32_t* pBufLen = reinterpret_cast<uint32_t*>(uArg3);
    uint32_t* pProtocol = static_cast<uint32_t*>(pArg4);
    switch (iAction) {
    case 1:
        return iActivate(pBuf, pBufLen, pProtocol, pRet);
    case 2:
        return iReactivate(pBuf, pBufLen, pProtocol, pRet);
    case 3:
        return iDeactivate(pProtocol, pRet);
    default:
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    }
}

int OFamilyBReader::iActivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol,
                              tDevReturn* pRet) {
    static const char* const kAttempts[10] = {"CI0", "CI0", "CI@", "CI0",   "CR0",
                                              "CR0", "CR0", "CR0", "CU001", "CU001"};
    tLargeReply reply;
    int result = iSend("C@0", reply, pRet, kChipTimeoutMs);
    if (result != 0)
        return result;
    int p = -1;
    for (int i = 0; i < 10 && p < 0; ++i) {
        *pProtocol = static_cast<uint32_t>(i);
        result = iSend(kAttempts[i], reply, pRet, kChipTimeoutMs);
        if (result == 0)
            p = i;
    }
    if (p < 0) {
        *pProtocol = kNoProtocol;
        m_status.usField[kStChipType] = kNoProtocol;
        return result;
    }
    const uint8_t* d = reply.abData;
    if (p == 0 || p == 1) {
        const int high = d[1] >> 4;
        p = high == 0x6 ? 0 : high == 0xE ? 1 : kNoProtocol;
    }
    if (p >= 4) {
        if (d[0] == 0xA2 && d[1] == 0x13 && d[2] == 0x10)
            p = 4;
        else if (d[0] == 0x92 && d[1] == 0x23 && d[2] == 0x10)
            p = 5;
    }
    m_status.usField[kStChipType] = static_cast<uint16_t>(p);
    *pProtocol = static_cast<uint32_t>(p);
    if (pBuf)
        std::memcpy(pBuf, reply.abData, reply.uiLen);
    if (pBufLen)
        *pBufLen = pBuf ? reply.uiLen : 0;
    return 0;
}

int OFamilyBReader::iReactivate(uint8_t* pBuf, uint32_t* pBufLen, uint32_t* pProtocol,
                                tDevReturn* pRet) {
    const uint16_t protocol = m_status.usField[kStChipType];
    *pProtocol = protocol;
    const char* pCommand = nullptr;
    if (protocol <= 1)
        pCommand = "CI8";
    else if (protocol <= 3)
        pCommand = "CIH";
    else if (protocol <= 8)
        return 1; // no re-activation for these cards; the record is left alone
    else
        return iSetRecord(pRet, ToInt(Code::Unavailable), 1, 1);
    tSmallReply reply;
    const int result = iSend(pCommand, reply, pRet, kChipTimeoutMs);
    if (result == 0) {
        if (pBuf)
            std::memcpy(pBuf, reply.abData, reply.uiLen);
        if (pBufLen)
            *pBufLen = pBuf ? reply.uiLen : 0;
    }
    return result;
}

int OFamilyBReader::iDeactivate(uint32_t* pProtocol, tDevReturn* pRet) {
    const uint16_t protocol = m_status.usField[kStChipType];
    const char* pCommand = "CI1";
    if (protocol == 2 || protocol == 3)
        pCommand = "Ce21";
    else if (protocol >= 4 && protocol <= 8)
        pCommand = "CR1";
    tSmallReply reply;
    iSend(pCommand, reply, pRet, kChipTimeoutMs); // only "C@2" decides
    const int result = iSend("C@2", reply, pRet, kChipTimeoutMs);
    m_status.usField[kStChipPower] = 2;
    m_status.usField[kStChipType] = kNoProtocol;
    *pProtocol = kNoProtocol;
    return result;
}

bool OFamilyBReader::bAppendChipReply(const tLargeReply& reply, uint8_t* pReply,
                                      uint32_t* pReplyLen) {
    const uint32_t room = IDC_CHIP_REPLY_MAX - *pReplyLen;
    const uint32_t n = Min(reply.uiLen, room);
    std::memcpy(pReply + *pReplyLen, reply.abData, n);
    *pReplyLen += n;
    return n == reply.uiLen;
}

int OFamilyBReader::iContinueChipReply(uint8_t* pReply, uint32_t* pReplyLen, tDevReturn* pRet) {
    // Every continuation either adds data (bounded by the caller's buffer) or
    // counts against this limit, so a reader that keeps asking cannot hang us.
    for (uint32_t k = 0; pRet->acReplyText[2] == '5'; ++k) {
        if (k >= IDC_CHIP_REPLY_MAX)
            return iReport(ToInt(Code::BrokenFrame), pRet);
        tLargeReply reply;
        if (iSend("CI7", reply, pRet, kChipTimeoutMs) != 0)
            return 1;
        if (!bAppendChipReply(reply, pReply, pReplyLen))
            return iReport(ToInt(Code::BrokenFrame), pRet); // what fitted stays
    }
    return 0;
}

int OFamilyBReader::ChipIO(int, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                           uint32_t* pReplyLen, tDevReturn* pRet) {
    if (iCommandLen < 0 || (!pCommand && iCommandLen > 0) || !pReply || !pReplyLen)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    const uint32_t len = static_cast<uint32_t>(iCommandLen);
    const uint16_t protocol = m_status.usField[kStChipType];
    tLargeReply reply;
    switch (protocol) {
    case 0:
        if (len > kProtocol0ApduMax)
            return 1; // refused before anything is sent; the record is left alone
        if (iSendApdu("CI3", pCommand, len, reply, pRet) != 0)
            return 1;
        break;
    case 1: {
        const uint32_t blocks = len / kChipBlock;
        if (blocks == 0) {
            if (iSendApdu("CI4", pCommand, len, reply, pRet) != 0)
                return 1;
            break;
        }
        for (uint32_t b = 0; b < blocks; ++b) {
            if (iSendApdu("CI5", pCommand + b * kChipBlock, kChipBlock, reply, pRet) != 0)
                return 1;
            if (pRet->acReplyText[2] == '?')
                return 1; // the card refused the block; its code stays recorded
        }
        if (iSendApdu("CI6", pCommand + blocks * kChipBlock, len % kChipBlock, reply, pRet) != 0)
            return 1;
        break;
    }
    case 2:
    case 3:
        return 0; // nothing to exchange for these cards
    case 4:
    case 5:
    case 6:
    case 7:
    case 8: {
        const char* pPrefix = protocol <= 5 ? "CR3" : protocol <= 7 ? "CR4" : "CU3";
        if (iSendApdu(pPrefix, pCommand, len, reply, pRet) != 0)
            return 1;
        *pReplyLen = 0;
        bAppendChipReply(reply, pReply, pReplyLen);
        return 0;
    }
    default:
        // No chip active, or a card ("CU001" second attempt) with no I/O command.
        return iSetRecord(pRet, ToInt(Code::Unavailable), 1, 1);
    }
    *pReplyLen = 0;
    bAppendChipReply(reply, pReply, pReplyLen);
    return iContinueChipReply(pReply, pReplyLen, pRet);
}

// ------------------------------------------------ counters and life info

int OFamilyBReader::GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) {
    tSmallReply reply;
    const int result = iSend("CfA", reply, pRet, 5000);
    if (result != 0)
        return result;
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
    return 0;
}

int OFamilyBReader::ResetCount(int, tDevReturn* pRet) {
    tSmallReply reply;
    const int result = iSend("CC100", reply, pRet, 10000);
    if (result == 0) {
        m_caps.usField[kCapRetain] = 0;
        m_status.usField[kStRetainCount] = 0;
    }
    return result;
}

int OFamilyBReader::ReleaseAntiFishing(tDevReturn* pRet) {
    tSmallReply reply;
    return iSend("Cc:1", reply, pRet, 10000);
}
