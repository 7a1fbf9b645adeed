#include "readers/family_c/serial_reader_c.h"

#include <algorithm>
#include <cstring>

#include "infra/result_codes.h"
#include "platform/line_settings.h"
#include "platform/system.h"

namespace quillon {

namespace {
// Commands.
constexpr const char* kCmdStatus = "10";
constexpr const char* kCmdInitEject = "00"; // Init modes 1 and 3
constexpr const char* kCmdInit = "02";      // Init mode 2
constexpr const char* kCmdStop = "79";      // card entry off, before a card moves
constexpr const char* kCmdEject = "32";
constexpr const char* kCmdRetain = "35";
constexpr const char* kCmdReadTracks = "76";
constexpr const char* kCmdChipOff = "91";
constexpr const char* kCmdContactsUp = "30";
constexpr const char* kCmdContactsDown = "40";
constexpr const char* kCmdDetectChip = "31";
constexpr const char* kCmdApduT0 = "93"; // prefixes of a chip command by chip type
constexpr const char* kCmdApduT1 = "94";
constexpr const char* kCmdMemoryChip4 = "C";
constexpr const char* kCmdMemoryChip6 = "D";
constexpr const char* kCmdMemoryChip8 = ">05";

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

// The reply data of a chip command: for "93" and "94" data bytes 0-1 are
// the response's length (high byte first) and the response follows; the
// other commands' data is the response. Returns its length.
uint32_t CopyChipReply(bool bLong, const quillon::famc::tData& d, uint8_t* pReply) {
    if (!bLong) {
        std::memcpy(pReply, d.abData, d.uiLen);
        return d.uiLen;
    }
    if (d.uiLen < 2)
        return 0;
    const uint32_t declared = (static_cast<uint32_t>(d.abData[0]) << 8) | d.abData[1];
    const uint32_t uiOut = std::min({declared, kLongChipText, d.uiLen - 2});
    std::memcpy(pReply, d.abData + 2, uiOut);
    return uiOut;
}

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
    usCap(kCapCounterMax) = 99;
}

tDriverResult OSerialReaderC::SetCommPara() {
    return tOpenPort(&FamilyCLine);
}

tDriverResult OSerialReaderC::tReadStatus(const tOutcome& kept, tIdcStatus* pOut) {
    tData d;
    const tCommandReply reply = tSend(kCmdStatus, kReplyArea, kStatusTimeoutMs, d);

    tIdcStatus unused;
    tIdcStatus* pTo = pOut ? pOut : &unused;
    if (pTo != &m_status)
        std::memcpy(pTo, &m_status, sizeof m_status);

    tDriverResult read = Sent(reply.eCode);
    if (quillon::IsSuccess(reply.eCode) && reply.uiDataLen > 0) {
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
            if (row.byState != d.abData[0])
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
        // A state is shown with flags 0; state "6" (StateC6) is no success
        // all the same, whatever its flags say.
        read = tDriverResult::Shown(eState, 0, quillon::IsSuccess(eState) ? 0 : 1);
    }

    // The previous operation's failure is reported again, unless the reader
    // did not answer at all.
    if (kept.iFlag != 0 && read.eCode != Code::BadAck)
        return tDriverResult::Shown(kept.eCode, kept.iFlag, 1);
    return read;
}

tDriverResult OSerialReaderC::tRefreshed(const tDriverResult& op, const tOutcome& kept) {
    tDriverResult status = tReadStatus(kept, &m_status);
    // A status read that fails after a successful command, or one that reads
    // a success code after a failed command, would contradict the result.
    if (quillon::IsSuccess(status.eCode) != (op.iResult == 0))
        return op;
    status.iResult = op.iResult;
    return status;
}

// ---------------------------------------------------------------------------
// Operations

tDriverResult OSerialReaderC::Init(int iMode) {
    const char* pCommand = (iMode == 1 || iMode == 3) ? kCmdInitEject
                           : iMode == 2               ? kCmdInit
                                                      : nullptr;
    if (!pCommand)
        return tDriverResult::BadArgument();

    tData d;
    tDriverResult op = Sent(tSend(pCommand, kReplyArea, kMotionTimeoutMs, d).eCode);

    usCap(kCapIdentified) = 3;
    for (int i : {kCapIntake, kCapActMode, kCapModule, kCapConfigured})
        usCap(i) = 2;
    usCap(kCapCounterMax) = 99;
    m_status.usField[kStActMode] = 4;
    m_status.usField[kStIntakeMode] = 4;
    m_status.usField[kStChipType] = 255;
    m_status.usField[kStEntry] = 3;
    m_status.usField[kStModule] = 2;

    if (op.iResult == 0) {
        // Model name: data bytes 0..8; firmware identifier: data bytes 10..13.
        std::memset(m_caps.acModelName, 0, sizeof m_caps.acModelName);
        std::memcpy(m_caps.acModelName, d.abData, std::min<uint32_t>(9, d.uiLen));
        std::memset(m_caps.acFirmware, 0, sizeof m_caps.acFirmware);
        if (d.uiLen > 10)
            std::memcpy(m_caps.acFirmware, d.abData + 10, std::min<uint32_t>(4, d.uiLen - 10));
    }
    vCopyLibraryVersion();

    tOutcome kept = Shown(tRefreshed(op));
    if (iMode == 1 && kept.eCode != Code::Positive) {
        // A card is still inside: hand it back. The eject decides the result,
        // but never turns a failed initialisation into a success.
        const tDriverResult ejected = tEject();
        kept = Shown(ejected);
        if (op.iResult == 0)
            op = ejected;
    }
    // A failed initialisation stays what this call and the next status
    // refresh report.
    return tEnd(tRefreshed(op, kept));
}

tDriverResult OSerialReaderC::GetStatus(tIdcStatus* pStatus) {
    return tEnd(tReadStatus(m_pComm->tLastOutcome(), pStatus));
}

tDriverResult OSerialReaderC::AcceptCard(int iMode) {
    static const char* const kCommands[] = {"25", "24", "23", "30", "22"};
    if (iMode < 1 || iMode > 5)
        return tDriverResult::BadArgument();

    const tDriverResult sent =
        Sent(tSend(kCommands[iMode - 1], kReplyArea, kMotionTimeoutMs).eCode);
    if (sent.iResult == 0)
        m_status.usField[kStEntry] = static_cast<uint16_t>(iMode <= 2 ? iMode : 3);
    return tEnd(tRefreshed(sent));
}

tDriverResult OSerialReaderC::ChipIO(int, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                                     uint32_t* pReplyLen) {
    const uint16_t type = m_status.usField[kStChipType];
    const char* pPrefix = nullptr;
    switch (type) {
    case 0:
        pPrefix = kCmdApduT0;
        break;
    case 1:
        pPrefix = kCmdApduT1;
        break;
    case 4:
        pPrefix = kCmdMemoryChip4;
        break;
    case 6:
        pPrefix = kCmdMemoryChip6;
        break;
    case 8:
        pPrefix = kCmdMemoryChip8;
        break;
    default:
        return tDriverResult::Shown(Code::Unavailable, 1, 1); // no chip powered
    }

    const bool bLong = type == 0 || type == 1;
    const uint32_t n = static_cast<uint32_t>(iCommandLen);
    const uint32_t uiPrefix = static_cast<uint32_t>(std::strlen(pPrefix)) + (bLong ? 2 : 0);
    const uint32_t uiArea = bLong ? kLongChipText : kShortChipText;
    // Refused unsent when it does not fit its command area or the send area.
    if (n > uiArea - uiPrefix || uiPrefix + n > kTextMax)
        return tDriverResult::BadArgument();

    uint8_t text[kLongChipText];
    std::memcpy(text, pPrefix, std::strlen(pPrefix));
    if (bLong) {
        text[2] = static_cast<uint8_t>(n >> 8);
        text[3] = static_cast<uint8_t>(n & 0xFF);
    }
    if (n)
        std::memcpy(text + uiPrefix, pCommand, n);

    tData d;
    const tDriverResult sent = Sent(
        quillon::famc::Exchange(m_pComm, text, uiPrefix + n, kChipArea, kChipTimeoutMs, d).eCode);
    if (sent.iResult != 0)
        return tEnd(sent);

    *pReplyLen = CopyChipReply(bLong, d, pReply);
    return tEnd(tRefreshed(sent));
}

tDriverResult OSerialReaderC::ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3,
                                        void* pArg4) {
    uint8_t* pAtr = reinterpret_cast<uint8_t*>(uArg2);
    uint32_t* pAtrLen = reinterpret_cast<uint32_t*>(uArg3);
    uint32_t* pType = static_cast<uint32_t*>(pArg4);

    if (iAction == 3) {
        tSend(kCmdChipOff, kChipArea, kChipTimeoutMs); // its result does not count
        const tDriverResult shown =
            tRefreshed(Sent(tSend(kCmdContactsUp, kChipArea, kChipTimeoutMs).eCode));
        vChipOff();
        *pType = 255;
        return tEnd(shown);
    }
    if (iAction != 1 && iAction != 2)
        return tDriverResult::BadArgument();
    return tChipOn(pAtr, pAtrLen, pType);
}

tDriverResult OSerialReaderC::tChipOn(uint8_t* pAtr, uint32_t* pAtrLen, uint32_t* pType) {
    tData d;
    tCommandReply reply = tSend(kCmdContactsDown, kChipArea, kChipTimeoutMs, d);
    if (quillon::IsSuccess(reply.eCode))
        reply = tSend(kCmdDetectChip, kChipArea, kChipTimeoutMs, d);
    if (!quillon::IsSuccess(reply.eCode)) {
        *pType = 255;
        vChipOff();
        return tEnd(Sent(reply.eCode));
    }

    const uint8_t kind = d.uiLen > 0 ? d.abData[0] : 0;
    const tChipKind* pKind = nullptr;
    for (const tChipKind& k : kChipKinds)
        if (kind >= k.byFirst && kind <= k.byLast)
            pKind = &k;
    if (!pKind) {
        *pType = 255;
        vChipOff();
        // The record tells of the unknown chip; "31" stays the last outcome.
        return tEnd(tDriverResult::Shown(Code::ChipFailed, 1, 1), quillon::OutcomeOf(reply.eCode));
    }
    const uint16_t type = pKind->usType;
    *pType = type;

    if (pKind->pActivate) {
        reply = tSend(pKind->pActivate, kChipArea, kChipTimeoutMs, d);
        if (!quillon::IsSuccess(reply.eCode))
            return tEnd(tRefreshed(Sent(reply.eCode)));
    }
    m_status.usField[kStChipType] = type;
    m_status.usField[kStChipPower] = 1;
    const tDriverResult sent = Sent(reply.eCode);
    if (type != 0 && type != 1)
        return tEnd(sent);

    // Answer to reset: (data byte 0) - 1 bytes from data byte 2, no more than arrived.
    uint32_t uiAtr = 0;
    if (pAtr && d.uiLen > 2 && d.abData[0] > 0)
        uiAtr = std::min<uint32_t>(d.abData[0] - 1u, d.uiLen - 2);
    if (uiAtr)
        std::memcpy(pAtr, d.abData + 2, uiAtr);
    if (pAtrLen)
        *pAtrLen = uiAtr;
    return tEnd(tRefreshed(sent));
}

tDriverResult OSerialReaderC::tEject() {
    tSend(kCmdStop, kReplyArea, kMotionTimeoutMs); // its result does not count
    const tDriverResult shown =
        tRefreshed(Sent(tSend(kCmdEject, kReplyArea, kMotionTimeoutMs).eCode));
    m_status.usField[kStEntry] = 3;
    vChipOff();
    return shown;
}

tDriverResult OSerialReaderC::EjectCard() {
    return tEnd(tEject());
}

tDriverResult OSerialReaderC::RetainCard(uint32_t*) {
    tSend(kCmdStop, kReplyArea, kMotionTimeoutMs); // its result does not count
    return tEnd(tRefreshed(Sent(tSend(kCmdRetain, kReplyArea, kMotionTimeoutMs).eCode)));
}

tDriverResult OSerialReaderC::ReadTrack(tIdcTracks* pTracks) {
    quillon::SleepMs(kTrackPauseMs);

    tIdcTracks tracks;
    std::memset(&tracks, 0, sizeof tracks);
    tData d;
    const tCommandReply reply = tSend(kCmdReadTracks, kTrackArea, kStatusTimeoutMs, d);
    if (quillon::IsSuccess(reply.eCode)) {
        // Data bytes 1, 3, 5: lengths; the texts follow one another from data byte 6.
        const uint8_t* data = d.abData;
        const uint32_t avail = d.uiLen;
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

    tDriverResult status = tReadStatus(quillon::OutcomeOf(reply.eCode), &m_status);
    const Code noted = status.eCode;
    const bool bAny = tracks.uiLen1 || tracks.uiLen2 || tracks.uiLen3;
    if (bAny && noted == Code::CardInside) {
        *pTracks = tracks;
        status.iResult = 0;
        return tEnd(status);
    }

    const tCommandReply handBack = tSend(kCmdStop, kTrackArea, kStatusTimeoutMs);
    std::memset(pTracks, 0, sizeof *pTracks);
    // Nothing read: the card state tells which, with flags 0; "79" stays the
    // last outcome.
    const Code eShown = noted == Code::CardInside ? Code::NoTrackData : Code::Unavailable;
    return tEnd(tDriverResult::Shown(eShown, 0, 1), quillon::OutcomeOf(handBack.eCode));
}

tDriverResult OSerialReaderC::GetLifeInfo(tIdcLife*) {
    return tNotSupported();
}
tDriverResult OSerialReaderC::ResetCount(int) {
    return tNotSupported();
}
tDriverResult OSerialReaderC::WriteTrack(tIdcTracks*) {
    return tNotSupported();
}
tDriverResult OSerialReaderC::ReleaseAntiFishing() {
    return tNotSupported();
}

} // namespace quillon
