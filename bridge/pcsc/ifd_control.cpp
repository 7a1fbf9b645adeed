// The vendor control codes (quillon/pcsc_control.h): the card moved, its
// tracks and the reader's status read, the reader reset, for the PC/SC
// applications that send them where the reader's configuration allows it.
#include <cstring>

#include "bridge_state.h"
#include "quillon/pcsc_control.h"
#include "reader_config.h"

using namespace quillon::pcsc;

namespace {

constexpr int kAcceptDefaultMode = 1;

// The codes that move the card (or reset the reader, which may move it).
bool MovesTheCard(int iOp) {
    return iOp == QUILLON_CTL_ACCEPT || iOp == QUILLON_CTL_EJECT || iOp == QUILLON_CTL_RETAIN ||
           iOp == QUILLON_CTL_RESET;
}

// The bytes of a code's answer after its header.
DWORD PayloadOf(int iOp) {
    if (iOp == QUILLON_CTL_RETAIN)
        return 4;
    if (iOp == QUILLON_CTL_READ_TRACKS)
        return sizeof(tIdcTracks);
    return iOp == QUILLON_CTL_STATUS ? sizeof(tIdcStatus) : 0;
}

// Whether the request may go on, checked before anything moves: the code
// is one of ours, may move the card here, and comes with the input it takes
// (a mode, 4 bytes little-endian, for accept and reset only). IFD_SUCCESS
// to go on.
RESPONSECODE CheckRequest(const tBridge& b, DWORD dwControlCode, PUCHAR txBuffer, DWORD txLength) {
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
    const bool bTakesMode = iOp == QUILLON_CTL_ACCEPT || iOp == QUILLON_CTL_RESET;
    if ((txLength != 0 && !(bTakesMode && txLength == 4)) || (txLength != 0 && !txBuffer))
        return IFD_COMMUNICATION_ERROR;
    return IFD_SUCCESS;
}

// Carries the code out; its result, the library's code in ret and its
// payload at pData. False for a code that has no action.
bool Run(tBridge& b, int iOp, PUCHAR txBuffer, DWORD txLength, PUCHAR pData, tDevReturn& ret,
         int& iResult) {
    switch (iOp) {
    case QUILLON_CTL_ACCEPT:
        iResult = IDC_AcceptCard(
            txLength == 4 ? static_cast<int>(GetLe32(txBuffer)) : kAcceptDefaultMode, &ret);
        return true;
    case QUILLON_CTL_EJECT:
    case QUILLON_CTL_RETAIN: {
        // The chip goes off before the card moves.
        (void)PowerDown(b);
        uint32_t uiCount = 0;
        iResult = iOp == QUILLON_CTL_EJECT ? IDC_EjectCard(&ret) : IDC_RetainCard(&uiCount, &ret);
        if (iOp == QUILLON_CTL_RETAIN)
            PutLe32(pData, uiCount);
        return true;
    }
    case QUILLON_CTL_READ_TRACKS: {
        tIdcTracks tracks;
        std::memset(&tracks, 0, sizeof tracks);
        iResult = IDC_ReadTrack(&tracks, &ret);
        std::memcpy(pData, &tracks, sizeof tracks);
        return true;
    }
    case QUILLON_CTL_STATUS: {
        tIdcStatus status;
        std::memset(&status, 0, sizeof status);
        iResult = IDC_GetStatus(&status, &ret);
        std::memcpy(pData, &status, sizeof status);
        return true;
    }
    case QUILLON_CTL_RESET: {
        const int iMode = txLength == 4 ? static_cast<int>(GetLe32(txBuffer)) : kInitKeepCard;
        (void)PowerDown(b);
        iResult = IDC_Init(iMode, &ret);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

extern "C" {

RESPONSECODE IFDHControl(DWORD lun, DWORD dwControlCode, PUCHAR txBuffer, DWORD txLength,
                         PUCHAR rxBuffer, DWORD rxLength, LPDWORD pdwBytesReturned) {
    tBridge& b = g_bridge;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (pdwBytesReturned)
        *pdwBytesReturned = 0;
    if (!IsOurs(b, lun))
        return IFD_COMMUNICATION_ERROR;
    const RESPONSECODE checked = CheckRequest(b, dwControlCode, txBuffer, txLength);
    if (checked != IFD_SUCCESS)
        return checked;
    const int iOp = static_cast<int>(dwControlCode - SCARD_CTL_CODE(0));
    const DWORD dwNeed = QUILLON_CTL_HEADER + PayloadOf(iOp);
    // Checked before anything moves: a refused answer must not cost a card.
    if (!pdwBytesReturned || !rxBuffer || rxLength < dwNeed)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    tDevReturn ret = FreshRecord();
    int iResult = 1;
    std::memset(rxBuffer, 0, dwNeed);
    if (!Run(b, iOp, txBuffer, txLength, rxBuffer + QUILLON_CTL_HEADER, ret, iResult))
        return IFD_ERROR_NOT_SUPPORTED;
    PutLe32(rxBuffer, static_cast<uint32_t>(iResult));
    PutLe32(rxBuffer + 4, static_cast<uint32_t>(ret.iCode2));
    *pdwBytesReturned = dwNeed;
    if (iResult != 0)
        Log(kLogInfo, "control %d: result %d, code %d", iOp, iResult, ret.iCode2);
    return IFD_SUCCESS;
}

} // extern "C"
