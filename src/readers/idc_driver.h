// OIdcDriver: the interface every reader driver implements. The slot order
// is fixed: the device manager calls by slot.
#pragma once

#include <cstdint>

#include "quillon/idc.h"

namespace quillon {

class OIdcDriver {
public:
    virtual int Init(int iMode, tDevReturn* pRet) = 0;                                 // 0
    virtual int GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) = 0;                  // 1
    virtual int AcceptCard(int iMode, tDevReturn* pRet) = 0;                           // 2
    virtual int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                       uint32_t* pReplyLen, tDevReturn* pRet) = 0;                     // 3
    virtual int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                          tDevReturn* pRet) = 0;                                       // 4
    virtual int EjectCard(tDevReturn* pRet) = 0;                                       // 5
    virtual int GetCapabilities(tIdcCaps* pCaps, tDevReturn* pRet) = 0;                // 6
    virtual int GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) = 0;                    // 7
    virtual int ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) = 0;                  // 8
    virtual int Reset(tDevReturn* pRet) = 0;                                           // 9
    virtual int ResetCount(int iCounter, tDevReturn* pRet) = 0;                        // 10
    virtual int RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) = 0;              // 11
    virtual int ReleaseAntiFishing(tDevReturn* pRet) = 0;                              // 12
    virtual int WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) = 0;                 // 13
    virtual int SetCommPara(tDevReturn* pRet) = 0;                                     // 14
    virtual ~OIdcDriver() = default;                                                   // 15
};

} // namespace quillon
