#include "readers/family_a/family_a_reader.h"
#include "readers/chip_common.h"
#include "readers/family_a/commands_a.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace quillon {

namespace {
// An eight-character counter field: leading blanks, an optional sign, digits.
uint32_t CounterField(const uint8_t* p) {
    char text[9];
    std::memcpy(text, p, 8);
    text[8] = '\0';
    return static_cast<uint32_t>(std::strtol(text, nullptr, 10));
}
} // namespace

bool OFamilyAReader::s_bModuleEntryDone = false;

OFamilyAReader::OFamilyAReader(OReaderComm* pComm, const tFamilyAProfile& profile,
                               OAuxModule* pModule)
    : OReaderBase(pComm), m_profile(profile), m_pModule(pModule) {
    vCopyLibraryVersion();
    usStatus(kStChipType) = kNoChip;
    usStatus(kStChipPower) = 0;
    usCap(kCapCounterMax) = 999;
    if (!m_pModule)
        usCap(kCapModule) = 2; // no module: never probed
}

// ------------------------------------------------ exchanges and records

Code OFamilyAReader::eSend(tDriverResult& o, const uint8_t* pText, uint32_t uiLen,
                           uint32_t uiTimeoutMs, uint8_t* pReply, uint32_t uiReplySize,
                           uint32_t* pDataLen) {
    uint8_t scratch[256];
    if (!pReply) {
        pReply = scratch;
        uiReplySize = sizeof scratch;
    }
    const tCommandReply x = tExchange(pText, uiLen, pReply, uiReplySize, uiTimeoutMs);
    o.vTake(x);
    if (pDataLen)
        *pDataLen = x.uiDataLen;
    return x.eCode;
}

Code OFamilyAReader::eCommand(tDriverResult& o, const char* pText, uint32_t uiTimeoutMs,
                              uint8_t* pReply, uint32_t uiReplySize, uint32_t* pDataLen) {
    return eSend(o, reinterpret_cast<const uint8_t*>(pText),
                 static_cast<uint32_t>(std::strlen(pText)), uiTimeoutMs, pReply, uiReplySize,
                 pDataLen);
}

tDriverResult OFamilyAReader::tExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                                           uint32_t* pReplyLen, uint32_t uiTimeoutMs) {
    const uint32_t uiReplySize = (pReply && pReplyLen) ? *pReplyLen : 0;
    const tCommandReply x = tExchange(pText, uiLen, pReply, uiReplySize, uiTimeoutMs);
    if (pReplyLen)
        *pReplyLen = x.uiDataLen;
    tDriverResult o;
    o.vTake(x);
    return tFinish(o);
}

int OFamilyAReader::iDigits(const uint8_t* p, int iCount) {
    int value = 0;
    for (int i = 0; i < iCount; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

int OFamilyAReader::iReadRetainCounter(tDriverResult& o) {
    uint8_t d[256] = {};
    uint32_t n = 0;
    if (!IsSuccess(
            eCommand(o, fama::kCmdReadRetainCounter, fama::kQueryTimeoutMs, d, sizeof d, &n)))
        return -1;
    const int count = n < 3 ? -1 : iDigits(d, 3);
    if (count < 0)
        eBroken(o); // not three digits: the counter stays as it was
    return count;
}

// --------------------------------------------- counters and life info

tDriverResult OFamilyAReader::ReleaseAntiFishing() {
    return tDriverResult::Shown(Code::AntiFishingRefused, 1, 1);
}

tDriverResult OFamilyAReader::ResetCount(int iCounter) {
    if (iCounter != 0 && !m_profile.bResetsAnyCounter)
        return tDriverResult::BadArgument();
    tDriverResult o;
    if (IsSuccess(eCommand(o, fama::kCmdClearRetainCounter, fama::kQueryTimeoutMs)))
        vStoreRetainCounter(0);
    return tFinish(o);
}

tDriverResult OFamilyAReader::GetLifeInfo(tIdcLife* pLife) {
    uint8_t d[256] = {};
    tDriverResult o;
    if (IsSuccess(eCommand(o, fama::kCmdLifeCounters, fama::kStatusTimeoutMs, d, sizeof d))) {
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
    }
    return tFinish(o);
}

} // namespace quillon
