#include "readers/stx_codec.h"

#include <cstring>

namespace quillon {
namespace {
uint8_t Xor(const uint8_t* pBytes, uint32_t uiLen) {
    uint8_t x = 0;
    for (uint32_t i = 0; i < uiLen; ++i)
        x ^= pBytes[i];
    return x;
}
uint32_t AddressLen(const tStxFormat& format) {
    return format.iAddress >= 0 ? 1 : 0;
}
} // namespace

uint32_t StxEncode(const tStxFormat& format, const uint8_t* pText, uint32_t uiLen, uint8_t* pOut,
                   uint32_t uiOutSize) {
    const uint32_t uiAddr = AddressLen(format);
    if ((!pText && uiLen) || !pOut || uiLen > uiOutSize || uiLen + 5 + uiAddr > uiOutSize)
        return 0;
    const uint32_t uiTextAt = 3 + uiAddr;
    if (uiLen)
        std::memmove(pOut + uiTextAt, pText, uiLen);
    const uint32_t uiCounted = uiLen + uiAddr;
    pOut[0] = kStx;
    pOut[1] = static_cast<uint8_t>(uiCounted >> 8);
    pOut[2] = static_cast<uint8_t>(uiCounted & 0xFF);
    if (uiAddr)
        pOut[3] = static_cast<uint8_t>(format.iAddress);
    pOut[uiTextAt + uiLen] = kEtx;
    pOut[uiTextAt + uiLen + 1] = Xor(pOut, uiTextAt + uiLen + 1);
    return uiTextAt + uiLen + 2;
}

StxState OStxDecoder::eFeed(const uint8_t* pBytes, uint32_t uiLen) {
    const uint32_t uiRoom = kStxReplyArea - m_uiCount;
    const uint32_t uiTake = uiLen < uiRoom ? uiLen : uiRoom;
    if (pBytes && uiTake) {
        std::memcpy(m_abBytes + m_uiCount, pBytes, uiTake);
        m_uiCount += uiTake;
    }
    vJudge();
    return m_eState;
}

void OStxDecoder::vJudge() {
    const uint8_t* b = m_abBytes;
    const uint32_t uiAddr = AddressLen(m_format);
    uint32_t s = 0; // where the frame starts
    if (m_format.bLenient) {
        const void* pStx = std::memchr(b, kStx, m_uiCount);
        if (!pStx)
            return vNeed(1);
        s = static_cast<uint32_t>(static_cast<const uint8_t*>(pStx) - b);
    }
    const uint32_t uiHave = m_uiCount - s;
    // Strict: the length is known after three bytes. Lenient: nothing is
    // judged before the shortest whole frame (head, ETX, check byte) is there.
    const uint32_t uiLeast = m_format.bLenient ? 3 + uiAddr + 2 : 3;
    if (uiHave < uiLeast)
        return vNeed(uiLeast - uiHave);
    if (uiAddr && b[s + 3] != static_cast<uint8_t>(m_format.iAddress)) {
        m_eState = StxState::Broken;
        return;
    }
    const uint32_t uiLen = (static_cast<uint32_t>(b[s + 1]) << 8) | b[s + 2];
    if (uiLen < uiAddr || (m_format.bLenient && uiLen == 0)) {
        m_eState = StxState::Broken;
        return;
    }
    const uint32_t uiEtxAt = s + 3 + uiLen;
    if (m_format.bLenient) {
        if (uiEtxAt >= m_uiCount)
            return vNeed(uiEtxAt + 1 - m_uiCount);
        if (b[uiEtxAt] != kEtx && uiEtxAt + 1 >= m_uiCount)
            return vNeed(1); // without ETX the check byte decides
    } else if (uiEtxAt + 1 >= m_uiCount) {
        return vNeed(uiEtxAt + 2 - m_uiCount);
    }
    const bool bEtxEnds = m_format.bLenient && b[uiEtxAt] == kEtx;
    if (!bEtxEnds && b[uiEtxAt + 1] != Xor(b + s, uiEtxAt + 1 - s)) {
        m_eState = StxState::Broken;
        return;
    }
    m_eState = StxState::Frame;
    m_uiNeed = 0;
    m_uiTextAt = s + 3 + uiAddr;
    m_uiTextLen = uiLen - uiAddr;
}

} // namespace quillon
