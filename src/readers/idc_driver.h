// OIdcDriver: the interface every reader driver implements. The slot order
// is fixed: the device manager calls by slot. An operation fills the
// caller's out records and buffers and hands back its result; the manager
// writes the caller's result record from it and has checked the arguments
// before (no null out record or buffer reaches a driver).
#pragma once

#include <cstdint>

#include "quillon/idc.h"
#include "readers/driver_result.h"

namespace quillon {

class OIdcDriver {
public:
    virtual tDriverResult Init(int iMode) = 0;                // 0
    virtual tDriverResult GetStatus(tIdcStatus* pStatus) = 0; // 1
    virtual tDriverResult AcceptCard(int iMode) = 0;          // 2
    virtual tDriverResult ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen,
                                 uint8_t* pReply, uint32_t* pReplyLen) = 0; // 3
    virtual tDriverResult ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3,
                                    void* pArg4) = 0;             // 4
    virtual tDriverResult EjectCard() = 0;                        // 5
    virtual tDriverResult GetCapabilities(tIdcCaps* pCaps) = 0;   // 6
    virtual tDriverResult GetLifeInfo(tIdcLife* pLife) = 0;       // 7
    virtual tDriverResult ReadTrack(tIdcTracks* pTracks) = 0;     // 8
    virtual tDriverResult Reset() = 0;                            // 9
    virtual tDriverResult ResetCount(int iCounter) = 0;           // 10
    virtual tDriverResult RetainCard(uint32_t* pRetainCount) = 0; // 11
    virtual tDriverResult ReleaseAntiFishing() = 0;               // 12
    virtual tDriverResult WriteTrack(tIdcTracks* pTracks) = 0;    // 13
    virtual tDriverResult SetCommPara() = 0;                      // 14
    virtual ~OIdcDriver() = default;                              // 15
};

} // namespace quillon
