// What the bridge's entry points share: the one reader it serves, under its
// mutex, and the steps on it that more than one entry point takes.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// pcsc-lite's driver header declares C functions without saying so.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "quillon/idc.h"

namespace quillon::pcsc {

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

extern tBridge g_bridge;

// The helpers below are called with the bridge's mutex held.
tDevReturn FreshRecord();
// The chip switched off (a chip that is on); the chip forgotten whatever happens.
RESPONSECODE PowerDown(tBridge& b);
bool IsOurs(const tBridge& b, DWORD lun);
void PutLe32(PUCHAR p, uint32_t v);
uint32_t GetLe32(PUCHAR p);

} // namespace quillon::pcsc
