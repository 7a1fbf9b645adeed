#include "readers/family_a/family_a_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "infra/result_codes.h"

using namespace quillon;

namespace {
constexpr uint16_t kNoChip = 255;
constexpr uint32_t kChipBlock = 360;   // command bytes in one "CF2" block
constexpr uint32_t kChipBuffer = 1024; // reply data of one chip command
static_assert(kChipBuffer <= IDC_CHIP_REPLY_MAX, "a chip reply always fits the caller's buffer");
// A reader that keeps answering "P21" with no data would continue forever.
constexpr int kMaxContinuations = IDC_CHIP_REPLY_MAX;

struct tModel {
    const char* pId;
    const char* pName;
};
const tModel kModels[] = {
    {"HBU-NA053", "Omron-051"},  {"HBU-NA120", "Omron-V2XF"}, {"HBU-NA139", "Omron-V2XF"},
    {"HBU-NA092", "Omron-V2AF"}, {"HBU-NA211", "Omron-V2CF"},
};
const char* const kOtherModel = "Omron-074";

// Reply-code map: statuses first..last (same first character) map in order
// onto the codes from eFirst.
struct tCodeRow {
    char cKind;
    char acFirst[3];
    char acLast[3];
    Code eFirst;
};
const tCodeRow kCodeMap[] = {
    {'P', "00", "02", Code::Positive},   {'P', "04", "04", Code::ReplyP04},
    {'P', "10", "11", Code::ReplyP10},   {'P', "20", "23", Code::ReplyP20},
    {'P', "30", "31", Code::ReplyP30},   {'N', "00", "02", Code::NotSupported},
    {'N', "03", "03", Code::ReplyN03},   {'N', "10", "19", Code::ReplyN10},
    {'N', "1E", "1E", Code::ReplyN1E},   {'N', "1F", "1F", Code::ReplyN1E},
    {'N', "1G", "1G", Code::ReplyN1G},   {'N', "20", "21", Code::ReplyN20},
    {'N', "32", "33", Code::ReplyN32},   {'N', "40", "46", Code::ReplyN40},
    {'N', "47", "47", Code::ReplyN47},   {'N', "49", "49", Code::ReplyN49},
    {'N', "4A", "4A", Code::ReplyN4A},   {'N', "50", "56", Code::ReplyN50},
    {'N', "60", "64", Code::ReplyN60},   {'N', "70", "70", Code::ReplyN70},
    {'N', "71", "71", Code::ReplyN71},   {'N', "72", "72", Code::ReplyN70},
    {'N', "80", "80", Code::ReplyN80},   {'N', "81", "81", Code::ReplyN81},
    {'N', "82", "82", Code::ReplyN82},   {'N', "84", "84", Code::ReplyN84},
    {'N', "85", "85", Code::ReplyN85},   {'N', "86", "86", Code::ReplyN86},
    {'N', "87", "87", Code::ChipFailed}, {'N', "88", "88", Code::ReplyN88},
};

// An eight-character counter field: leading blanks, an optional sign, digits.
uint32_t CounterField(const uint8_t* p) {
    char text[9];
    std::memcpy(text, p, 8);
    text[8] = '\0';
    return static_cast<uint32_t>(std::strtol(text, nullptr, 10));
}

// Copies up to iLen (at most uiMax) track bytes from position uiSrc of the
// reply data, never beyond the uiDataLen bytes received; returns the count.
uint32_t CopyTrack(uint8_t* pDst, uint32_t uiMax, const uint8_t* pData, uint32_t uiDataLen,
                   uint32_t uiSrc, uint32_t uiLen) {
    if (uiSrc >= uiDataLen)
        return 0;
    const uint32_t n = std::min({uiLen, uiMax, uiDataLen - uiSrc});
    std::memcpy(pDst, pData + uiSrc, n);
    return n;
}

bool IsDigitField(const uint8_t* p, int iCount) {
    return std::all_of(p, p + iCount, [](uint8_t c) { return c >= '0' && c <= '9'; });
}
} // namespace

OFamilyAReader::OFamilyAReader(OReaderComm* pComm) : OReaderBase(pComm) {
    vCopyLibraryVersion();
    usStatus(kStChipType) = kNoChip;
    usStatus(kStChipPower) = 0;
    usCap(kCapCounterMax) = 999;
}

int OFamilyAReader::iMapReplyCode(uint8_t byKind, uint16_t usStatus) {
    const char c1 = static_cast<char>(usStatus >> 8);
    const char c2 = static_cast<char>(usStatus & 0xFF);
    for (const tCodeRow& row : kCodeMap) {
        if (row.cKind == static_cast<char>(byKind) && row.acFirst[0] == c1 &&
            c2 >= row.acFirst[1] && c2 <= row.acLast[1])
            return ToInt(row.eFirst) + (c2 - row.acFirst[1]);
    }
    return ToInt(Code::UnknownReply);
}

int OFamilyAReader::iRefuseAntiFishing(tDevReturn* pRet) {
    return iSetRecord(pRet, ToInt(Code::AntiFishingRefused), 1, 1);
}

int OFamilyAReader::ReleaseAntiFishing(tDevReturn* pRet) {
    return iRefuseAntiFishing(pRet);
}

int OFamilyAReader::iDigits(const uint8_t* p, int iCount) {
    if (!IsDigitField(p, iCount))
        return -1;
    int value = 0;
    for (int i = 0; i < iCount; ++i)
        value = value * 10 + (p[i] - '0');
    return value;
}

int OFamilyAReader::iCommand(const char* pText, uint32_t uiTimeoutMs, tDevReturn* pRet,
                             uint8_t* pReply, uint32_t uiReplySize, uint32_t* pReplyLen) {
    uint8_t scratch[256] = {};
    if (!pReply) {
        pReply = scratch;
        uiReplySize = sizeof scratch;
    }
    uint32_t n = uiReplySize;
    const int r =
        iExecCommand(reinterpret_cast<const uint8_t*>(pText),
                     static_cast<uint32_t>(std::strlen(pText)), pReply, &n, pRet, uiTimeoutMs);
    if (pReplyLen)
        *pReplyLen = n;
    return r;
}

int OFamilyAReader::iReadRetainCounter(tDevReturn* pRet, uint32_t* pCount) {
    uint8_t d[256] = {};
    uint32_t n = 0;
    const int r = iCommand("CQ0", 10000, pRet, d, sizeof d, &n);
    if (r == 0) {
        const int count = iRetainCounter(d, n);
        if (count < 0)
            return iBrokenReply(pRet); // the counter stays as it was
        usCap(kCapRetainCount) = static_cast<uint16_t>(count);
        usStatus(kStRetainCount) = static_cast<uint16_t>(count);
        if (pCount)
            *pCount = static_cast<uint32_t>(count);
    }
    return r;
}

// ---------------------------------------------------------------- Init

const char* OFamilyAReader::pResetCommand(int iMode) const {
    switch (iMode) {
    case 1:
        return "C00";
    case 2:
        return "C01";
    case 3:
        return "C02";
    default:
        return nullptr;
    }
}

void OFamilyAReader::vAfterReset(tDevReturn* pRet) {
    if (pRet->iCode2 == ToInt(Code::CardInside))
        usStatus(kStState) = 3;
    vProbeModule(pRet);
    usStatus(kStChipType) = kNoChip;
}

int OFamilyAReader::Init(int iMode, tDevReturn* pRet) {
    const char* pReset = pResetCommand(iMode);
    if (!pReset)
        return iRefuseOutOfRange(pRet);
    usStatus(kStEntry) = 3;
    int r = iCommand(pReset, 30000, pRet);
    if (pRet->iCode2 == ToInt(Code::ResetAgain) ||
        pRet->iCode2 == ToInt(Code::ResetAgain2)) // the reader asks for the reset again
        r = iCommand(pReset, 30000, pRet);
    if (r != 0)
        return r;
    vAfterReset(pRet);

    r = iReadRetainCounter(pRet, nullptr);
    if (m_caps.acModelName[0] != '\0')
        return r; // identified by an earlier Init

    uint8_t d[256] = {};
    uint32_t n = 0;
    r = iCommand("CV0", 10000, pRet, d, sizeof d, &n);
    if (r != 0)
        return r;
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
    return r;
}

void OFamilyAReader::vApplyModeKey(const char* pKey, const char* pCmd0, const char* pCmd1,
                                   int iCapField, int iStatusField, tDevReturn* pRet) {
    int value = 0;
    if (m_pComm->iGetIntValue(pKey, pKey, value) != 0)
        value = 0;
    int state = value;
    int r = 0;
    if (value == 0) {
        r = iCommand(pCmd0, 10000, pRet);
        state = 3;
    } else if (value == 1) {
        r = iCommand(pCmd1, 10000, pRet);
        state = 1;
    }
    if (r != 0) {
        state = 4;
        usCap(iCapField) = 2;
    } else {
        usCap(iCapField) = 1;
    }
    usStatus(iStatusField) = static_cast<uint16_t>(state);
}

void OFamilyAReader::vApplyConfig() {
    // A record of its own: nothing of the configuration reaches Init's.
    tDevReturn own;
    std::memset(&own, 0, sizeof own);

    int value = 0;
    if (m_pComm->iGetIntValue("ProtocolMode", "ProtocolMode", value) != 0)
        value = 0;
    if (value == 0) {
        iCommand("CY105", 10000, &own);
        usCap(kCapProtocol) = 1;
    } else if (value == 1) {
        iCommand("CY100", 10000, &own);
        usCap(kCapProtocol) = 2;
    }

    vApplyModeKey("IntakeMode", "CSL0", "CSL1", kCapIntake, kStIntakeMode, &own);
    vApplyModeKey("ActMode", "CSN1", "CSN2", kCapAct, kStActMode, &own);

    if (m_pComm->iGetIntValue("MotorSpeed", "MotorSpeed", value) != 0)
        value = 1;
    if (value == 0)
        iCommand("CS70", 10000, &own);
    else if (value == 1)
        iCommand("CS71", 10000, &own);

    vReadReaderInfo(&own);
    usCap(kCapConfigured) = 2;
}

void OFamilyAReader::vReadReaderInfo(tDevReturn* pRet) {
    uint8_t d[256] = {};
    uint32_t n = 0;
    if (iCommand("CUA032", 10000, pRet, d, sizeof d, &n) == 0) {
        std::memset(m_caps.acInfo, 0, sizeof m_caps.acInfo);
        std::memcpy(m_caps.acInfo, d, std::min<uint32_t>(n, sizeof m_caps.acInfo - 1));
    }
}

int OFamilyAReader::iRefuseOutOfRange(tDevReturn* pRet) {
    return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
}

// ------------------------------------------- status, entry, eject, retain

int OFamilyAReader::GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) {
    if (!pStatus)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    *pStatus = m_status;
    vReadModuleSensors(pStatus, pRet);

    uint8_t d[256] = {};
    uint32_t n = 0;
    if (iCommand("C11", 5000, pRet, d, sizeof d, &n) == 0)
        vDecodeSensors(d, pStatus, pRet);

    if (iCommand("C10", 5000, pRet) == 0)
        return 0;
    if (pRet->iCode2 != ToInt(Code::NoTrackData))
        pStatus->usField[kStEntry] = 3;
    return 1;
}

void OFamilyAReader::vDecodeSensors(const uint8_t* d, tIdcStatus* pStatus, tDevReturn* pRet) {
    uint16_t* f = pStatus->usField;
    if (std::memcmp(d, "0000", 4) != 0) {
        f[kStState] = 3;
        f[kStEntry] = 3;
        usStatus(kStEntry) = 3;
    }
    switch (pRet->iCode2) {
    case ToInt(Code::Positive):
        f[kStState] = 1;
        break;
    case ToInt(Code::ReplyP01):
        f[kStState] = 2;
        break;
    case ToInt(Code::CardInside):
        f[kStState] = 3;
        f[kStEntry] = 3;
        usStatus(kStEntry) = 3;
        break;
    default:
        break;
    }
    vDecodeSensorCharacters(d, f);
    if (f[kStSensor7] == 0 && f[kStSensor6] == 1) {
        f[kStState] = 1;
        pRet->iCode1 = pRet->iCode2 = ToInt(Code::Positive);
    }
}

void OFamilyAReader::vDecodeSensorCharacters(const uint8_t* d, uint16_t* f) {
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
}

int OFamilyAReader::AcceptCard(int iMode, tDevReturn* pRet) {
    static const char* const kEntryCommands[5] = {"C:2", "C:0", "C:1", "C40", "C:3"};
    if (iMode >= 1 && iMode <= 5) {
        const int r = iCommand(kEntryCommands[iMode - 1], 30000, pRet);
        if (r == 0)
            usStatus(kStEntry) = static_cast<uint16_t>(iMode);
        return r;
    }
    if (iMode == 6)
        return iModuleEntry(pRet);
    return iOtherEntryMode(iMode, pRet);
}

int OFamilyAReader::iOtherEntryMode(int, tDevReturn* pRet) {
    return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
}

int OFamilyAReader::iModuleEntry(tDevReturn* pRet) {
    return iReport(ToInt(Code::Unavailable), pRet);
}

int OFamilyAReader::EjectCard(tDevReturn* pRet) {
    const int r = iCommand("C30", 30000, pRet);
    usStatus(kStEntry) = 3;
    return r;
}

int OFamilyAReader::RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) {
    const int r = iCommand("C41", 30000, pRet);
    tDevReturn own;
    std::memset(&own, 0, sizeof own);
    uint32_t count = 0;
    if (iReadRetainCounter(&own, &count) == 0) {
        usStatus(kStEntry) = 3;
        if (pRetainCount)
            *pRetainCount = count;
        if (count == 999) // the counter is full: start it again
            ResetCount(0, &own);
    }
    return r;
}

// --------------------------------------------- counters and life info

int OFamilyAReader::ResetCount(int iCounter, tDevReturn* pRet) {
    if (!bCounterExists(iCounter))
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    const int r = iCommand("CQ1", 10000, pRet);
    if (r == 0) {
        usCap(kCapRetainCount) = 0;
        usStatus(kStRetainCount) = 0;
    }
    return r;
}

int OFamilyAReader::GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) {
    if (!pLife)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    uint8_t d[256] = {};
    uint32_t n = 0;
    const int r = iCommand("CM0", 5000, pRet, d, sizeof d, &n);
    if (r != 0)
        return r;
    uint32_t* v = pLife->uiValue;
    v[0] = CounterField(d);
    v[1] = usStatus(kStRetainCount);
    // Value 2 has always repeated value 0; callers may rely on it, so it stays.
    v[2] = CounterField(d);
    v[3] = CounterField(d + 24);
    v[4] = CounterField(d + 32);
    v[5] = CounterField(d + 40);
    v[6] = CounterField(d + 96);
    v[7] = 0;
    v[8] = CounterField(d + 104);
    v[9] = 0;
    v[10] = 0;
    return 0;
}

// ------------------------------------------------------------- tracks

int OFamilyAReader::ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    if (!pTracks)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    uint8_t d[1024] = {};
    uint32_t n = 0;
    const int r = iCommand("C6a7", 15000, pRet, d, sizeof d, &n);
    if (r != 0)
        return r;
    auto good = [&](int p) { return d[p] == '0' && d[p + 1] == '0'; };
    if (!good(1) && !good(3) && !good(5))
        return ToInt(Code::NoTrackData); // no track could be read
    // Lengths: three decimal digits each, from data byte 7; a reply that does
    // not carry them is broken and ends like any other broken reply.
    constexpr uint32_t kLengths = 7, kTexts = 16;
    if (n < kTexts || !IsDigitField(d + kLengths, kTexts - kLengths))
        return iBrokenReply(pRet);
    const uint32_t len1 = static_cast<uint32_t>(iDigits(d + kLengths, 3));
    const uint32_t len2 = static_cast<uint32_t>(iDigits(d + kLengths + 3, 3));
    const uint32_t len3 = static_cast<uint32_t>(iDigits(d + kLengths + 6, 3));
    // The texts follow one another at the stated lengths; each area keeps its
    // last byte, and its length tells the bytes that landed in it, never more.
    uint32_t src = kTexts;
    pTracks->uiLen1 = CopyTrack(pTracks->abTrack1, sizeof pTracks->abTrack1 - 1, d, n, src, len1);
    src += len1;
    pTracks->uiLen2 = CopyTrack(pTracks->abTrack2, sizeof pTracks->abTrack2 - 1, d, n, src, len2);
    src += len2;
    pTracks->uiLen3 = CopyTrack(pTracks->abTrack3, sizeof pTracks->abTrack3 - 1, d, n, src, len3);
    return 0;
}

int OFamilyAReader::iBrokenReply(tDevReturn* pRet) {
    static const uint8_t kAbort[2] = {0x10, 0x04}; // DLE EOT
    m_pComm->iWrite(kAbort, sizeof kAbort);
    return iReport(ToInt(Code::NoReply), pRet);
}

int OFamilyAReader::iRefuseEmptyWrite(tDevReturn* pRet) {
    return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
}

int OFamilyAReader::WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    if (!pTracks)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    struct {
        const char* pCmd;
        uint32_t* pLen;
        const uint8_t* pData;
        uint32_t uiSize;
    } tracks[3] = {
        {"C71", &pTracks->uiLen1, pTracks->abTrack1, sizeof pTracks->abTrack1},
        {"C72", &pTracks->uiLen2, pTracks->abTrack2, sizeof pTracks->abTrack2},
        {"C73", &pTracks->uiLen3, pTracks->abTrack3, sizeof pTracks->abTrack3},
    };
    bool any = false;
    for (const auto& t : tracks)
        any = any || static_cast<int32_t>(*t.pLen) >= 1;
    if (!any)
        return iRefuseEmptyWrite(pRet);

    bool failed = false;
    tDevReturn failure{}; // the record of the last write that failed
    for (const auto& t : tracks) {
        if (static_cast<int32_t>(*t.pLen) < 1)
            continue;
        uint8_t cmd[512] = {};
        std::memcpy(cmd, t.pCmd, 3);
        const uint32_t len = std::min(*t.pLen, t.uiSize);
        std::memcpy(cmd + 3, t.pData, len);
        // The command ends at the first zero byte.
        const uint32_t cmdLen =
            static_cast<uint32_t>(strnlen(reinterpret_cast<const char*>(cmd), 3 + len));
        uint8_t reply[256] = {};
        uint32_t replyLen = sizeof reply;
        if (iExecCommand(cmd, cmdLen, reply, &replyLen, pRet, 20000) != 0) {
            *t.pLen = 0; // the caller sees which track failed
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

// --------------------------------------------------------------- chip

int OFamilyAReader::ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                              tDevReturn* pRet) {
    uint8_t* pAnswer = reinterpret_cast<uint8_t*>(uArg2);
    uint32_t* pAnswerLen = reinterpret_cast<uint32_t*>(uArg3);
    uint32_t* pType = static_cast<uint32_t*>(pArg4);
    switch (iAction) {
    case 1:
        if (!pAnswer || !pAnswerLen || !pType)
            return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
        return iActivateChip(pAnswer, pAnswerLen, pType, pRet);
    case 2:
        if (!pAnswer || !pAnswerLen)
            return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
        return iResetChip(pAnswer, pAnswerLen, pRet);
    case 3: {
        const uint16_t type = usStatus(kStChipType);
        const char* pCmd = "CC6";
        if (type == 2 || type == 3)
            pCmd = "Ce21";
        else if (type >= 4 && type <= 8)
            pCmd = "Cm6";
        const int r = iCommand(pCmd, 10000, pRet);
        usStatus(kStChipPower) = 2;
        usStatus(kStChipType) = kNoChip;
        if (pType && bSwitchOffReportsType())
            *pType = kNoChip;
        return r;
    }
    default:
        return iRefuseOutOfRange(pRet);
    }
}

int OFamilyAReader::iActivateChip(uint8_t* pAnswer, uint32_t* pAnswerLen, uint32_t* pType,
                                  tDevReturn* pRet) {
    static const char* const kTries[10] = {"CC2",  "CC2",  "Ce11", "Ce11", "Cm20",
                                           "Cm21", "Cm22", "Cm23", "Cm24", "Cm25"};
    uint8_t a[kChipBuffer] = {};
    uint32_t n = 0;
    int r = iCommand("CC0", uiChipPrepareTimeoutMs(), pRet, a, sizeof a, &n);
    if (r != 0) {
        // The type is decided on the caller's value and an empty answer.
        std::memset(a, 0, sizeof a);
        n = 0;
    } else {
        bool answered = false;
        for (uint32_t i = 0; i < 10 && !answered; ++i) {
            *pType = i;
            std::memset(a, 0, sizeof a);
            r = iCommand(kTries[i], 10000, pRet, a, sizeof a, &n);
            answered = r == 0;
        }
        if (!answered) {
            *pType = kNoChip;
            usStatus(kStChipType) = kNoChip;
            return r;
        }
    }

    uint32_t type = *pType;
    if (type == 0 || type == 1) {
        const uint8_t format = static_cast<uint8_t>(a[1] >> 4); // high nibble of T0
        type = format == 0x6 ? 0 : format == 0xE ? 1 : kNoChip;
    }
    if (type >= 4) {
        if (n >= 3 && a[0] == 0xA2 && a[1] == 0x13 && a[2] == 0x10)
            type = 4;
        else if (n >= 3 && a[0] == 0x92 && a[1] == 0x23 && a[2] == 0x10)
            type = 5;
    }
    *pType = type;
    usStatus(kStChipType) = static_cast<uint16_t>(type);
    std::memcpy(pAnswer, a, n);
    *pAnswerLen = n;
    return r;
}

int OFamilyAReader::iRefuseChipReset(tDevReturn* pRet) {
    return iSetRecord(pRet, ToInt(Code::Unavailable), 1, 1);
}

int OFamilyAReader::iResetChip(uint8_t* pAnswer, uint32_t* pAnswerLen, tDevReturn* pRet) {
    const uint16_t type = usStatus(kStChipType);
    const char* pCmd = nullptr;
    uint32_t skip = 0; // leading answer bytes that are not the chip's
    if (type <= 1) {
        pCmd = "CE10";
        skip = 1;
    } else if (type <= 3) {
        pCmd = "Ce411";
        skip = 3;
    } else if (type <= 8) {
        return iRefuseChipReset(pRet); // memory chip
    } else {
        return iSetRecord(pRet, ToInt(Code::Unavailable), 1, 1); // no chip chosen: nothing to reset
    }
    uint8_t a[kChipBuffer] = {};
    uint32_t n = 0;
    const int r = iCommand(pCmd, 10000, pRet, a, sizeof a, &n);
    if (r != 0)
        return r;
    const uint32_t len = n > skip ? n - skip : 0;
    std::memcpy(pAnswer, a + skip, len);
    *pAnswerLen = len;
    return 0;
}

int OFamilyAReader::ChipIO(int, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                           uint32_t* pReplyLen, tDevReturn* pRet) {
    const uint16_t type = usStatus(kStChipType);
    if (type == 0)
        return iChipCommand("CF0", pCommand, iCommandLen, 1024, pReply, pReplyLen, pRet);
    if (type == 1)
        return iChipBlocks(pCommand, iCommandLen, pReply, pReplyLen, pRet);
    if (type == 2 || type == 3)
        return 0; // this chip kind has no exchange command
    if (type >= 4 && type <= 9)
        return iChipCommand("Cm7", pCommand, iCommandLen, 256, pReply, pReplyLen, pRet);
    return iRefuseNoChip(pRet);
}

int OFamilyAReader::iRefuseNoChip(tDevReturn* pRet) {
    return iSetRecord(pRet, ToInt(Code::Unavailable), 1, 1);
}

int OFamilyAReader::iChipCommand(const char* pPrefix, const uint8_t* pCommand, int iCommandLen,
                                 uint32_t uiBufSize, uint8_t* pReply, uint32_t* pReplyLen,
                                 tDevReturn* pRet) {
    uint8_t cmd[1024] = {};
    if (iCommandLen < 0 || (iCommandLen > 0 && !pCommand) || !pReply || !pReplyLen ||
        uiBufSize > sizeof cmd || 3 + static_cast<uint32_t>(iCommandLen) > uiBufSize)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    std::memcpy(cmd, pPrefix, 3);
    if (iCommandLen > 0)
        std::memcpy(cmd + 3, pCommand, static_cast<size_t>(iCommandLen));
    uint8_t d[kChipBuffer] = {};
    uint32_t n = sizeof d;
    const int r = iExecCommand(cmd, 3 + static_cast<uint32_t>(iCommandLen), d, &n, pRet, 10000);
    if (r == 0) {
        std::memcpy(pReply, d, n);
        *pReplyLen = n;
    }
    return r;
}

int OFamilyAReader::iChipBlocks(const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                                uint32_t* pReplyLen, tDevReturn* pRet) {
    // Blocks would carry any length; a command longer than a chip reply's area is refused unsent,
    // before anything is read from a buffer the caller may not have.
    if (iCommandLen < 0 || iCommandLen > IDC_CHIP_REPLY_MAX || (iCommandLen > 0 && !pCommand) ||
        !pReply || !pReplyLen)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);
    const uint32_t total = static_cast<uint32_t>(iCommandLen);
    uint8_t cmd[3 + kChipBlock];
    uint8_t d[kChipBuffer];
    uint32_t n = 0;
    auto send = [&](const char* pPrefix, const uint8_t* pData, uint32_t uiLen) {
        std::memcpy(cmd, pPrefix, 3);
        if (uiLen)
            std::memcpy(cmd + 3, pData, uiLen);
        std::memset(d, 0, sizeof d);
        n = sizeof d;
        return iExecCommand(cmd, 3 + uiLen, d, &n, pRet, 10000);
    };

    uint32_t pos = 0;
    for (; total - pos >= kChipBlock; pos += kChipBlock) {
        const int r = send("CF2", pCommand + pos, kChipBlock);
        if (r != 0)
            return r;
    }
    int r = send("CF1", pCommand + pos, total - pos);
    if (r != 0)
        return r;
    std::memcpy(pReply, d, n);
    uint32_t len = n;
    *pReplyLen = len;

    // "P21": more of the reply follows; the last byte received is not data.
    for (int round = 0; pRet->iCode2 == ToInt(Code::MoreData); ++round) {
        if (len > 0)
            --len;
        *pReplyLen = len;
        if (round == kMaxContinuations)
            return iReport(ToInt(Code::NoReply), pRet);
        r = send("CF3", nullptr, 0);
        if (r != 0)
            return r;
        if (n > IDC_CHIP_REPLY_MAX - len) {
            // Keep what fits the caller's buffer; the rest is lost: NoReply.
            std::memcpy(pReply + len, d, IDC_CHIP_REPLY_MAX - len);
            *pReplyLen = IDC_CHIP_REPLY_MAX;
            return iReport(ToInt(Code::NoReply), pRet);
        }
        std::memcpy(pReply + len, d, n);
        len += n;
        *pReplyLen = len;
    }
    return 0;
}
