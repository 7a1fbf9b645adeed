#include "readers/family_c/serial_reader_c.h"

#include <algorithm>
#include <cstring>

#include "infra/result_codes.h"
#include "platform/line_settings.h"
#include "platform/system.h"

namespace quillon {

using quillon::famc::tReply;

namespace {
constexpr unsigned kTrackPauseMs = 500;
constexpr uint32_t kStatusTimeoutMs = 10000;
constexpr uint32_t kMotionTimeoutMs = 20000;
constexpr uint32_t kChipTimeoutMs = 10000;

// Reply areas the commands ask for: 256 bytes, the track read 512, the chip
// commands 1024.
constexpr uint32_t kReplyArea = 256;
constexpr uint32_t kTrackArea = 512;
constexpr uint32_t kChipArea = 1024;

// Chip command texts: "93"/"94" are built in 1024 bytes, "C", "D" and ">05"
// in 256; the frame must fit the exchange's send area as well.
constexpr uint32_t kLongChipText = 1024;
constexpr uint32_t kShortChipText = 256;
constexpr uint32_t kTextMax = quillon::kStxSendArea - 5;

static_assert(kChipArea <= IDC_CHIP_REPLY_MAX, "a chip reply never exceeds the caller's buffer");

// Data byte 0 of "31" names the chip: its type and the command that activates it.
struct tChipKind {
    uint8_t byFirst, byLast;
    uint16_t usType;
    const char* pActivate; // null: none
};
const tChipKind kChipKinds[] = {
    {'0', '6', 8, nullptr}, {';', ';', 4, "C0"}, {'<', '<', 6, "D0"},
    {'=', '=', 0, "90"},    {'>', '>', 1, "90"},
};

// The family's line, the configured port and modem-line choices kept.
void FamilyCLine(quillon::tLineSettings& settings) {
    settings.uiBaud = 9600;
    settings.eDataBits = quillon::DataBits::Eight;
    settings.eParity = quillon::Parity::None;
    settings.eStopBits = quillon::StopBits::One;
}
} // namespace

OSerialReaderC::OSerialReaderC(quillon::OReaderComm* pComm) : OSerialReaderBase(pComm) {
    m_status.usField[kStChipType] = 255;
    m_status.usField[kStChipPower] = 0;
    m_caps.usField[6] = 99;
}

int OSerialReaderC::SetCommPara(tDevReturn* pRet) {
    return iOpenPort(pRet, &FamilyCLine);
}

int OSerialReaderC::iEnd(const tEnd& end, tDevReturn* pRet) {
    m_pComm->vRecordOutcome(ToInt(end.tLast.eCode), end.tLast.iFlag);
    return iSetRecord(pRet, ToInt(end.tRecord.eCode), end.tRecord.iFlag, end.iResult);
}

OSerialReaderC::tStatusRead OSerialReaderC::tReadStatus(const tOutcome& kept, tIdcStatus* pOut) {
    const tReply reply = tSend("10", kReplyArea, kStatusTimeoutMs);

    tIdcStatus unused;
    tIdcStatus* pTo = pOut ? pOut : &unused;
    if (pTo != &m_status)
        std::memcpy(pTo, &m_status, sizeof m_status);

    tStatusRead read = {Outcome(reply.eCode), Outcome(reply.eCode).iFlag};
    if (quillon::IsSuccess(reply.eCode) && reply.uiDataCount() > 0) {
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
        Code eState = Code::Ok; // any other state: the reply's own code
        for (const Row& row : kRows) {
            if (row.byState != reply.pData()[0])
                continue;
            eState = row.eCode;
            const int values[] = {row.f1, row.f6, row.f7, row.f10};
            const int fields[] = {kStState, kStSensor6, kStSensor7, kStEntry};
            for (int i = 0; i < 4; ++i)
                if (values[i] >= 0)
                    pTo->usField[fields[i]] = static_cast<uint16_t>(values[i]);
            if (row.f10 >= 0)
                m_status.usField[kStEntry] = static_cast<uint16_t>(row.f10);
        }
        // A state is shown with class fields 0; state "6" (StateC6) is no
        // success all the same, whatever its class fields say.
        read = {{eState, 0}, quillon::IsSuccess(eState) ? 0 : 1};
    }

    // The previous operation's failure is reported again, unless the reader
    // did not answer at all.
    if (kept.iFlag != 0 && read.tShown.eCode != Code::BadAck)
        return {kept, 1};
    return read;
}

OSerialReaderC::tOutcome OSerialReaderC::tRefreshAfter(int iResult, const tOutcome& outcome,
                                                       const tOutcome& last) {
    const tStatusRead status = tReadStatus(last, &m_status);
    // A status read that fails after a successful command, or one that reads
    // a success code after a failed command, would contradict the result.
    return quillon::IsSuccess(status.tShown.eCode) == (iResult == 0) ? status.tShown : outcome;
}

// ---------------------------------------------------------------------------
// Operations

int OSerialReaderC::Init(int iMode, tDevReturn* pRet) {
    const char* pCommand = (iMode == 1 || iMode == 3) ? "00" : (iMode == 2 ? "02" : nullptr);
    if (!pCommand)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    const tReply reply = tSend(pCommand, kReplyArea, kMotionTimeoutMs);
    tOutcome outcome = Outcome(reply.eCode);
    int result = outcome.iFlag;

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
        const uint32_t data = reply.uiDataCount();
        std::memset(m_caps.acModelName, 0, sizeof m_caps.acModelName);
        std::memcpy(m_caps.acModelName, reply.pData(), std::min<uint32_t>(9, data));
        std::memset(m_caps.acFirmware, 0, sizeof m_caps.acFirmware);
        if (data > 10)
            std::memcpy(m_caps.acFirmware, reply.pData() + 10, std::min<uint32_t>(4, data - 10));
    }
    vCopyLibraryVersion();

    tOutcome shown = tRefreshAfter(result, outcome, outcome);
    tOutcome last = shown;
    if (iMode == 1 && shown.eCode != Code::Positive) {
        // A card is still inside: hand it back. The eject decides the result,
        // but never turns a failed initialisation into a success.
        const tEnd eject = tEject();
        last = eject.tLast;
        if (result == 0) {
            result = eject.iResult;
            outcome = eject.tRecord;
        }
    }
    // A failed initialisation stays what this call and the next status
    // refresh report.
    shown = tRefreshAfter(result, outcome, last);
    return iEnd(Shown(shown, result), pRet);
}

int OSerialReaderC::GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) {
    const auto& last = m_pComm->tLastOutcome();
    const tStatusRead read = tReadStatus({static_cast<Code>(last.iCode), last.iFlag}, pStatus);
    return iEnd(Shown(read.tShown, read.iResult), pRet);
}

int OSerialReaderC::AcceptCard(int iMode, tDevReturn* pRet) {
    static const char* const kCommands[] = {"25", "24", "23", "30", "22"};
    if (iMode < 1 || iMode > 5)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    const tOutcome sent = Outcome(tSend(kCommands[iMode - 1], kReplyArea, kMotionTimeoutMs).eCode);
    if (sent.iFlag == 0)
        m_status.usField[kStEntry] = static_cast<uint16_t>(iMode <= 2 ? iMode : 3);
    return iEnd(Shown(tRefreshAfter(sent), sent.iFlag), pRet);
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
    const uint32_t uiArea = bLong ? kLongChipText : kShortChipText;
    // Refused unsent when it does not fit its command area or the send area.
    if (n > uiArea - uiPrefix || uiPrefix + n > kTextMax)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    uint8_t text[kLongChipText];
    std::memcpy(text, pPrefix, std::strlen(pPrefix));
    if (bLong) {
        text[2] = static_cast<uint8_t>(n >> 8);
        text[3] = static_cast<uint8_t>(n & 0xFF);
    }
    if (n)
        std::memcpy(text + uiPrefix, pCommand, n);

    const tReply reply =
        quillon::famc::Exchange(m_pComm, text, uiPrefix + n, kChipArea, kChipTimeoutMs);
    const tOutcome sent = Outcome(reply.eCode);
    if (sent.iFlag != 0)
        return iEnd(Shown(sent, 1), pRet);

    const uint32_t data = reply.uiDataCount();
    uint32_t uiOut = 0;
    if (bLong) {
        // Data bytes 0-1: response length (high byte first); response from byte 2.
        if (data >= 2) {
            const uint32_t declared =
                (static_cast<uint32_t>(reply.pData()[0]) << 8) | reply.pData()[1];
            uiOut = std::min({declared, kLongChipText, data - 2});
            std::memcpy(pReply, reply.pData() + 2, uiOut);
        }
    } else {
        uiOut = data;
        std::memcpy(pReply, reply.pData(), uiOut);
    }
    *pReplyLen = uiOut;
    return iEnd(Shown(tRefreshAfter(sent), 0), pRet);
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

    if (iAction == 3) {
        tSend("91", kChipArea, kChipTimeoutMs); // its result does not count
        const tOutcome sent = Outcome(tSend("30", kChipArea, kChipTimeoutMs).eCode);
        const tOutcome shown = tRefreshAfter(sent);
        vChipOff();
        vSetType(255);
        return iEnd(Shown(shown, sent.iFlag), pRet);
    }
    if (iAction != 1 && iAction != 2)
        return iSetRecord(pRet, ToInt(Code::BadArgument), 1, 1);

    tReply reply = tSend("40", kChipArea, kChipTimeoutMs);
    if (quillon::IsSuccess(reply.eCode))
        reply = tSend("31", kChipArea, kChipTimeoutMs);
    if (!quillon::IsSuccess(reply.eCode)) {
        vSetType(255);
        vChipOff();
        return iEnd(Shown(Outcome(reply.eCode), 1), pRet);
    }

    const uint8_t kind = reply.uiDataCount() > 0 ? reply.pData()[0] : 0;
    const tChipKind* pKind = nullptr;
    for (const tChipKind& k : kChipKinds)
        if (kind >= k.byFirst && kind <= k.byLast)
            pKind = &k;
    if (!pKind) {
        vSetType(255);
        vChipOff();
        // The record tells of the unknown chip; "31" stays the last outcome.
        return iEnd({{Code::ChipFailed, 1}, Outcome(reply.eCode), 1}, pRet);
    }
    const uint16_t type = pKind->usType;
    vSetType(type);

    if (pKind->pActivate) {
        reply = tSend(pKind->pActivate, kChipArea, kChipTimeoutMs);
        if (!quillon::IsSuccess(reply.eCode))
            return iEnd(Shown(tRefreshAfter(Outcome(reply.eCode)), 1), pRet);
    }
    m_status.usField[kStChipType] = type;
    m_status.usField[kStChipPower] = 1;
    const tOutcome sent = Outcome(reply.eCode);
    if (type != 0 && type != 1)
        return iEnd(Shown(sent, 0), pRet);

    // Answer to reset: (data byte 0) - 1 bytes from data byte 2, no more than arrived.
    const uint32_t data = reply.uiDataCount();
    uint32_t uiAtr = 0;
    if (pAtr && data > 2 && reply.pData()[0] > 0)
        uiAtr = std::min<uint32_t>(reply.pData()[0] - 1u, data - 2);
    if (uiAtr)
        std::memcpy(pAtr, reply.pData() + 2, uiAtr);
    if (pAtrLen)
        *pAtrLen = uiAtr;
    return iEnd(Shown(tRefreshAfter(sent), 0), pRet);
}

OSerialReaderC::tEnd OSerialReaderC::tEject() {
    tSend("79", kReplyArea, kMotionTimeoutMs); // its result does not count
    const tOutcome sent = Outcome(tSend("32", kReplyArea, kMotionTimeoutMs).eCode);
    const tOutcome shown = tRefreshAfter(sent);
    m_status.usField[kStEntry] = 3;
    vChipOff();
    return Shown(shown, sent.iFlag);
}

int OSerialReaderC::EjectCard(tDevReturn* pRet) {
    return iEnd(tEject(), pRet);
}

int OSerialReaderC::RetainCard(uint32_t*, tDevReturn* pRet) {
    tSend("79", kReplyArea, kMotionTimeoutMs); // its result does not count
    const tOutcome sent = Outcome(tSend("35", kReplyArea, kMotionTimeoutMs).eCode);
    return iEnd(Shown(tRefreshAfter(sent), sent.iFlag), pRet);
}

int OSerialReaderC::ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    quillon::SleepMs(kTrackPauseMs);

    tIdcTracks tracks;
    std::memset(&tracks, 0, sizeof tracks);
    const tReply reply = tSend("76", kTrackArea, kStatusTimeoutMs);
    if (quillon::IsSuccess(reply.eCode)) {
        // Data bytes 1, 3, 5: lengths; the texts follow one another from data byte 6.
        const uint8_t* data = reply.pData();
        const uint32_t avail = reply.uiDataCount();
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

    const tStatusRead status = tReadStatus(Outcome(reply.eCode), &m_status);
    const Code noted = status.tShown.eCode;
    const bool bAny = tracks.uiLen1 || tracks.uiLen2 || tracks.uiLen3;
    if (bAny && noted == Code::CardInside) {
        if (pTracks)
            *pTracks = tracks;
        return iEnd(Shown(status.tShown, 0), pRet);
    }

    const tReply handBack = tSend("79", kTrackArea, kStatusTimeoutMs);
    if (pTracks)
        std::memset(pTracks, 0, sizeof *pTracks);
    // Nothing read: the card state tells which, with class fields 0; "79"
    // stays the last outcome.
    const Code eShown = noted == Code::CardInside ? Code::NoTrackData : Code::Unavailable;
    return iEnd({{eShown, 0}, Outcome(handBack.eCode), 1}, pRet);
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

} // namespace quillon
