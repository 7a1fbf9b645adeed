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

#include "bridge_state.h"
#include "reader_config.h"

namespace quillon::pcsc {

static uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
uint64_t (*g_pfnNowMs)() = &SteadyMs;

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

} // namespace quillon::pcsc

using namespace quillon::pcsc;

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

} // extern "C"
