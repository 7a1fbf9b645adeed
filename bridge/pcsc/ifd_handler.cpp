// The PC/SC bridge: a pcsc-lite IFD handler (API 3.0) that gives the chip of
// the card in a Quillon reader to every PC/SC application, and the reader's
// motor to those that send the vendor control codes where the reader's
// configuration allows it (docs/pcsc.md).
//
// Everything goes through the public functions of the library. The library
// drives one reader per process, so the handler serves one reader: pcscd is
// told so (TAG_IFD_SIMULTANEOUS_ACCESS = 1) and a second channel is refused.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

// pcsc-lite's driver header declares C functions without saying so.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "quillon/idc.h"

#include "quillon/pcsc_control.h"
#include "reader_config.h"

namespace quillon::pcsc {

static uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
uint64_t (*g_pfnNowMs)() = &SteadyMs;

} // namespace quillon::pcsc

using namespace quillon::pcsc;

namespace {

// The chip type the library reports for "no chip powered".
constexpr uint32_t kNoChip = 255;
// Processor chips: type 0 exchanges in T=0 style, type 1 in T=1 style.
constexpr uint32_t kChipT0 = 0;
constexpr uint32_t kChipT1 = 1;
// Short APDUs only: header, Lc, 255 data bytes and Le.
constexpr DWORD kMaxApdu = 261;
// Init mode used when the channel opens and for a reset without a mode: the
// card stays where it is.
constexpr int kInitKeepCard = 3;
constexpr int kAcceptDefaultMode = 1;
// The code of a port that has gone (unplugged, hung up) or cannot be opened.
constexpr int kPortGone = 1223;
// A reader that has gone is looked for again at most this often.
constexpr uint64_t kReopenEveryMs = 1000;

struct tBridge {
    std::mutex mutex;
    bool bOpen = false;
    DWORD dwLun = 0;
    std::string device;
    uint32_t uiChipType = kNoChip;
    unsigned char abAtr[MAX_ATR_SIZE] = {};
    DWORD dwAtrLen = 0;
    int iPosition = -1;        // card position of the last poll; -1 none yet
    bool bPollFailed = false;  // the last poll failed (logged once)
    bool bMotor = false;       // the control codes that move the card run
    bool bGone = false;        // the port went away: the library's channel is closed
    uint64_t uiLastOpenMs = 0; // when the channel was last opened or tried
};

tBridge g_bridge;

tDevReturn FreshRecord() {
    tDevReturn ret;
    std::memset(&ret, 0, sizeof ret);
    return ret;
}

void ForgetChip(tBridge& b) {
    b.uiChipType = kNoChip;
    b.dwAtrLen = 0;
}

// Called with the bridge's mutex held.
RESPONSECODE PowerDown(tBridge& b) {
    if (b.uiChipType == kNoChip)
        return IFD_SUCCESS;
    uint32_t uiType = kNoChip;
    tDevReturn ret = FreshRecord();
    const int iResult = IDC_ChipPower(3, 0, 0, &uiType, &ret);
    ForgetChip(b);
    if (iResult != 0) {
        Log(kLogError, "chip power-off failed: %d", ret.iCode2);
        return IFD_ERROR_POWER_ACTION;
    }
    return IFD_SUCCESS;
}

RESPONSECODE HandOutAtr(const tBridge& b, PUCHAR pAtr, PDWORD pAtrLength) {
    if (pAtr)
        std::memcpy(pAtr, b.abAtr, b.dwAtrLen);
    if (pAtrLength)
        *pAtrLength = b.dwAtrLen;
    return IFD_SUCCESS;
}

// Stores an answer to reset; false when PC/SC cannot carry it.
bool KeepAtr(tBridge& b, const uint8_t* pAnswer, uint32_t uiLen) {
    if (uiLen < 2 || uiLen > MAX_ATR_SIZE)
        return false;
    std::memcpy(b.abAtr, pAnswer, uiLen);
    b.dwAtrLen = uiLen;
    return true;
}

RESPONSECODE PowerUp(tBridge& b, PUCHAR pAtr, PDWORD pAtrLength) {
    static uint8_t s_answer[IDC_CHIP_REPLY_MAX];
    uint32_t uiLen = 0;
    uint32_t uiType = kNoChip;
    tDevReturn ret = FreshRecord();
    const int iResult = IDC_ChipPower(1, reinterpret_cast<uintptr_t>(s_answer),
                                      reinterpret_cast<uintptr_t>(&uiLen), &uiType, &ret);
    ForgetChip(b);
    if (iResult != 0) {
        Log(kLogInfo, "chip power-up failed: %d", ret.iCode2);
        return IFD_ERROR_POWER_ACTION;
    }
    b.uiChipType = uiType;
    if ((uiType != kChipT0 && uiType != kChipT1) || uiLen > sizeof s_answer ||
        !KeepAtr(b, s_answer, uiLen)) {
        Log(kLogError, "chip type %u (answer of %u bytes) is no processor chip for PC/SC",
            static_cast<unsigned>(uiType), static_cast<unsigned>(uiLen));
        (void)PowerDown(b);
        return IFD_ERROR_POWER_ACTION;
    }
    return HandOutAtr(b, pAtr, pAtrLength);
}

RESPONSECODE WarmReset(tBridge& b, PUCHAR pAtr, PDWORD pAtrLength) {
    static uint8_t s_answer[IDC_CHIP_REPLY_MAX];
    uint32_t uiLen = 0;
    uint32_t uiType = b.uiChipType;
    tDevReturn ret = FreshRecord();
    if (IDC_ChipPower(2, reinterpret_cast<uintptr_t>(s_answer), reinterpret_cast<uintptr_t>(&uiLen),
                      &uiType, &ret) != 0) {
        Log(kLogInfo, "chip reset failed: %d", ret.iCode2);
        (void)PowerDown(b);
        return IFD_ERROR_POWER_ACTION;
    }
    // A reset that hands back no answer keeps the one of the power-up.
    if (uiLen != 0 && (uiLen > sizeof s_answer || !KeepAtr(b, s_answer, uiLen))) {
        (void)PowerDown(b);
        return IFD_ERROR_POWER_ACTION;
    }
    return HandOutAtr(b, pAtr, pAtrLength);
}

bool IsOurs(const tBridge& b, DWORD lun) {
    return b.bOpen && b.dwLun == lun;
}

void PutLe32(PUCHAR p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<UCHAR>(v >> (8 * i));
}

uint32_t GetLe32(PUCHAR p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Opens the library's channel to the reader: IDC_SetCommPara, then
// IDC_Init(3) (the card stays where it is). On failure the channel is closed
// again and the code is in ret.
bool OpenReader(tDevReturn& ret) {
    ret = FreshRecord();
    if (IDC_SetCommPara(&ret) == 0) {
        ret = FreshRecord();
        if (IDC_Init(kInitKeepCard, &ret) == 0)
            return true;
    }
    IDC_CloseComm();
    return false;
}

// The port has gone (the adapter unplugged, the line hung up): the library's
// channel is closed, the chip forgotten, and polls look for the reader again.
void LoseReader(tBridge& b, int iCode) {
    Log(kLogError, "%s gone (%d): opened again once it is back, tried every second",
        b.device.c_str(), iCode);
    IDC_CloseComm();
    ForgetChip(b);
    b.bGone = true;
    b.iPosition = -1;
    b.uiLastOpenMs = g_pfnNowMs();
}

// A poll while the reader is gone: one try to open it again a second at
// most, silent when it fails. True when the reader is back.
bool ReaderBack(tBridge& b) {
    const uint64_t uiNow = g_pfnNowMs();
    if (uiNow - b.uiLastOpenMs < kReopenEveryMs)
        return false;
    b.uiLastOpenMs = uiNow;
    tDevReturn ret;
    if (!OpenReader(ret))
        return false;
    b.bGone = false;
    b.bPollFailed = false;
    Log(kLogInfo, "%s open again", b.device.c_str());
    return true;
}

// The codes that move the card (or reset the reader, which may move it).
bool MovesTheCard(int iOp) {
    return iOp == QUILLON_CTL_ACCEPT || iOp == QUILLON_CTL_EJECT || iOp == QUILLON_CTL_RETAIN ||
           iOp == QUILLON_CTL_RESET;
}

} // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD lun, LPSTR deviceName) {
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (b.bOpen) {
        Log(kLogError, "one reader per pcscd: %s already serves Lun %lu", b.device.c_str(),
            static_cast<unsigned long>(b.dwLun));
        return IFD_COMMUNICATION_ERROR;
    }
    const std::string name = deviceName ? deviceName : "";
    tReaderConfig config;
    if (!ConfigFor(name, config))
        return IFD_NO_SUCH_DEVICE;
    // The library reads its configuration from here for as long as it runs;
    // pcscd's environment stays as it is (its other threads read it).
    if (Quillon_SetConfigPath(config.path.c_str()) != 0)
        return IFD_COMMUNICATION_ERROR;
    tDevReturn ret;
    if (!OpenReader(ret)) {
        Log(kLogError, "%s: the reader cannot be opened or does not answer (%d)", name.c_str(),
            ret.iCode2);
        return IFD_COMMUNICATION_ERROR;
    }
    b.bOpen = true;
    b.dwLun = lun;
    b.device = name;
    b.iPosition = -1;
    b.bPollFailed = false;
    b.bMotor = config.bMotor;
    b.bGone = false;
    b.uiLastOpenMs = g_pfnNowMs();
    ForgetChip(b);
    Log(kLogInfo, "%s open (configuration %s, control codes that move the card %s)", name.c_str(),
        config.path.c_str(), config.bMotor ? "on" : "off");
    return IFD_SUCCESS;
}

RESPONSECODE IFDHCreateChannel(DWORD lun, DWORD channel) {
    (void)lun;
    Log(kLogError, "CHANNELID %lu: name the reader with DEVICENAME",
        static_cast<unsigned long>(channel));
    return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHCloseChannel(DWORD lun) {
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!IsOurs(b, lun))
        return IFD_COMMUNICATION_ERROR;
    (void)PowerDown(b);
    IDC_CloseComm();
    b.bOpen = false;
    b.bGone = false;
    b.device.clear();
    Log(kLogInfo, "reader closed");
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD lun, DWORD tag, PDWORD length, PUCHAR value) {
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!length || !value)
        return IFD_COMMUNICATION_ERROR;
    auto give = [&](const void* p, DWORD n) {
        if (*length < n)
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(value, p, n);
        *length = n;
        return IFD_SUCCESS;
    };
    const UCHAR one = 1;
    const UCHAR zero = 0;
    switch (tag) {
    case TAG_IFD_SIMULTANEOUS_ACCESS:
    case TAG_IFD_SLOTS_NUMBER:
        return give(&one, 1);
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE:
        return give(&zero, 1);
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING:
        if (!IsOurs(b, lun))
            return IFD_COMMUNICATION_ERROR;
        return give(b.abAtr, b.dwAtrLen);
    case SCARD_ATTR_MAXINPUT: {
        UCHAR le[4];
        PutLe32(le, kMaxApdu);
        return give(le, 4);
    }
    case SCARD_ATTR_VENDOR_NAME:
        return give("Quillon", 8);
    default:
        return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD lun, DWORD tag, DWORD length, PUCHAR value) {
    (void)lun, (void)tag, (void)length, (void)value;
    return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD lun, DWORD protocol, UCHAR flags, UCHAR pts1,
                                       UCHAR pts2, UCHAR pts3) {
    (void)flags, (void)pts1, (void)pts2, (void)pts3; // the reader negotiates by itself
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!IsOurs(b, lun) || b.uiChipType == kNoChip)
        return IFD_COMMUNICATION_ERROR;
    const DWORD offered = b.uiChipType == kChipT0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
    return protocol == offered ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD lun, DWORD action, PUCHAR atr, PDWORD atrLength) {
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (atrLength)
        *atrLength = 0;
    if (!IsOurs(b, lun))
        return IFD_COMMUNICATION_ERROR;
    switch (action) {
    case IFD_POWER_UP:
        return PowerUp(b, atr, atrLength);
    case IFD_RESET:
        return b.uiChipType == kNoChip ? PowerUp(b, atr, atrLength) : WarmReset(b, atr, atrLength);
    case IFD_POWER_DOWN:
        return PowerDown(b);
    default:
        return IFD_NOT_SUPPORTED;
    }
}

RESPONSECODE IFDHTransmitToICC(DWORD lun, SCARD_IO_HEADER sendPci, PUCHAR txBuffer, DWORD txLength,
                               PUCHAR rxBuffer, PDWORD rxLength, PSCARD_IO_HEADER recvPci) {
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!rxLength)
        return IFD_COMMUNICATION_ERROR;
    const DWORD dwRoom = *rxLength;
    *rxLength = 0;
    if (!IsOurs(b, lun) || b.uiChipType == kNoChip || !txBuffer || !rxBuffer)
        return IFD_COMMUNICATION_ERROR;
    // pcscd numbers the protocol 0 for T=0 and 1 for T=1, as the chip types.
    if (sendPci.Protocol != b.uiChipType)
        return IFD_PROTOCOL_NOT_SUPPORTED;
    if (txLength < 4 || txLength > kMaxApdu) {
        Log(kLogError, "APDU of %lu bytes refused: the chip path takes 4 to %lu",
            static_cast<unsigned long>(txLength), static_cast<unsigned long>(kMaxApdu));
        return IFD_COMMUNICATION_ERROR;
    }
    static uint8_t s_reply[IDC_CHIP_REPLY_MAX];
    uint32_t uiLen = 0;
    tDevReturn ret = FreshRecord();
    if (IDC_ChipIO(0, txBuffer, static_cast<int>(txLength), s_reply, &uiLen, &ret) != 0) {
        Log(kLogError, "chip exchange failed: %d", ret.iCode2);
        return IFD_COMMUNICATION_ERROR;
    }
    if (uiLen < 2 || uiLen > sizeof s_reply) {
        Log(kLogError, "chip reply of %u bytes is no response APDU", static_cast<unsigned>(uiLen));
        return IFD_COMMUNICATION_ERROR;
    }
    if (uiLen > dwRoom)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(rxBuffer, s_reply, uiLen);
    *rxLength = uiLen;
    if (recvPci)
        recvPci->Protocol = sendPci.Protocol;
    return IFD_SUCCESS;
}

RESPONSECODE IFDHICCPresence(DWORD lun) {
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!IsOurs(b, lun))
        return IFD_COMMUNICATION_ERROR;
    // No reader, no card: pcscd forgets a card that was inside, as when it
    // is taken out, and meets it again once the reader is back.
    if (b.bGone && !ReaderBack(b))
        return IFD_ICC_NOT_PRESENT;
    // One status exchange per poll. The library writes no trace line for a
    // quiet status; this log gets a line only when something changes.
    tIdcStatus status;
    std::memset(&status, 0, sizeof status);
    tDevReturn ret = FreshRecord();
    if (IDC_GetStatus(&status, &ret) != 0) {
        if (ret.iCode2 == kPortGone) {
            LoseReader(b, ret.iCode2);
            return IFD_ICC_NOT_PRESENT;
        }
        if (!b.bPollFailed)
            Log(kLogError, "reader status failed: %d", ret.iCode2);
        b.bPollFailed = true;
        return IFD_COMMUNICATION_ERROR;
    }
    if (b.bPollFailed)
        Log(kLogInfo, "reader answers again");
    b.bPollFailed = false;
    const int iPosition = status.usField[1];
    const bool bInside = iPosition == 3 || iPosition == 4;
    if (iPosition != b.iPosition)
        Log(kLogDebug, "card position %d", iPosition);
    b.iPosition = iPosition;
    // A card that left took its chip along.
    if (!bInside)
        ForgetChip(b);
    return bInside ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHControl(DWORD lun, DWORD dwControlCode, PUCHAR txBuffer, DWORD txLength,
                         PUCHAR rxBuffer, DWORD rxLength, LPDWORD pdwBytesReturned) {
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (pdwBytesReturned)
        *pdwBytesReturned = 0;
    if (!IsOurs(b, lun))
        return IFD_COMMUNICATION_ERROR;
    if (dwControlCode <= SCARD_CTL_CODE(QUILLON_CTL_BASE) ||
        dwControlCode > SCARD_CTL_CODE(QUILLON_CTL_RESET))
        return IFD_ERROR_NOT_SUPPORTED;
    const int iOp = static_cast<int>(dwControlCode - SCARD_CTL_CODE(0));
    // Any process that may use PC/SC here may send a control code: the card
    // moves only where the reader's configuration says so.
    if (MovesTheCard(iOp) && !b.bMotor) {
        Log(kLogInfo, "control %d refused: [PCSC] MotorControl=1 is not configured", iOp);
        return IFD_ERROR_NOT_SUPPORTED;
    }
    // Only accept and reset take an input: a mode, 4 bytes little-endian.
    const bool bTakesMode = iOp == QUILLON_CTL_ACCEPT || iOp == QUILLON_CTL_RESET;
    if ((txLength != 0 && !(bTakesMode && txLength == 4)) || (txLength != 0 && !txBuffer))
        return IFD_COMMUNICATION_ERROR;
    DWORD dwPayload = 0;
    if (iOp == QUILLON_CTL_RETAIN)
        dwPayload = 4;
    else if (iOp == QUILLON_CTL_READ_TRACKS)
        dwPayload = sizeof(tIdcTracks);
    else if (iOp == QUILLON_CTL_STATUS)
        dwPayload = sizeof(tIdcStatus);
    const DWORD dwNeed = QUILLON_CTL_HEADER + dwPayload;
    // Checked before anything moves: a refused answer must not cost a card.
    if (!pdwBytesReturned || !rxBuffer || rxLength < dwNeed)
        return IFD_ERROR_INSUFFICIENT_BUFFER;

    tDevReturn ret = FreshRecord();
    int iResult = 1;
    std::memset(rxBuffer, 0, dwNeed);
    PUCHAR pData = rxBuffer + QUILLON_CTL_HEADER;
    switch (iOp) {
    case QUILLON_CTL_ACCEPT: {
        const int iMode = txLength == 4 ? static_cast<int>(GetLe32(txBuffer)) : kAcceptDefaultMode;
        iResult = IDC_AcceptCard(iMode, &ret);
        break;
    }
    case QUILLON_CTL_EJECT:
    case QUILLON_CTL_RETAIN: {
        // The chip goes off before the card moves.
        (void)PowerDown(b);
        uint32_t uiCount = 0;
        iResult = iOp == QUILLON_CTL_EJECT ? IDC_EjectCard(&ret) : IDC_RetainCard(&uiCount, &ret);
        if (iOp == QUILLON_CTL_RETAIN)
            PutLe32(pData, uiCount);
        break;
    }
    case QUILLON_CTL_READ_TRACKS: {
        tIdcTracks tracks;
        std::memset(&tracks, 0, sizeof tracks);
        iResult = IDC_ReadTrack(&tracks, &ret);
        std::memcpy(pData, &tracks, sizeof tracks);
        break;
    }
    case QUILLON_CTL_STATUS: {
        tIdcStatus status;
        std::memset(&status, 0, sizeof status);
        iResult = IDC_GetStatus(&status, &ret);
        std::memcpy(pData, &status, sizeof status);
        break;
    }
    case QUILLON_CTL_RESET: {
        const int iMode = txLength == 4 ? static_cast<int>(GetLe32(txBuffer)) : kInitKeepCard;
        (void)PowerDown(b);
        iResult = IDC_Init(iMode, &ret);
        break;
    }
    default:
        return IFD_ERROR_NOT_SUPPORTED;
    }
    PutLe32(rxBuffer, static_cast<uint32_t>(iResult));
    PutLe32(rxBuffer + 4, static_cast<uint32_t>(ret.iCode2));
    *pdwBytesReturned = dwNeed;
    if (iResult != 0)
        Log(kLogInfo, "control %d: result %d, code %d", iOp, iResult, ret.iCode2);
    return IFD_SUCCESS;
}

} // extern "C"
