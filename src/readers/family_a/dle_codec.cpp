#include "readers/family_a/dle_codec.h"

#include <cstring>

namespace quillon {
namespace dle {

bool IsAck(const uint8_t* p, uint32_t uiLen) {
    return uiLen == 2 && p[0] == kDle && p[1] == quillon::kAck;
}

uint32_t EncodeFrame(const uint8_t* pText, uint32_t uiLen, uint8_t* pOut, uint32_t uiOutSize) {
    uint32_t w = 0;
    uint8_t bcc = 0;
    if (uiOutSize < 5)
        return 0;
    pOut[w++] = kDle;
    pOut[w++] = kStx;
    for (uint32_t i = 0; i < uiLen; ++i) {
        const uint32_t need = pText[i] == kDle ? 2 : 1;
        if (w + need + 3 > uiOutSize)
            return 0;
        bcc ^= pText[i];
        pOut[w++] = pText[i];
        if (need == 2)
            pOut[w++] = kDle;
    }
    pOut[w++] = kDle;
    pOut[w++] = kEtx;
    pOut[w++] = static_cast<uint8_t>(bcc ^ kEtx);
    return w;
}

namespace {

// The exclusive-or of uiLen bytes, eight at a time.
uint8_t XorOf(const uint8_t* p, uint32_t uiLen) {
    uint64_t wide = 0;
    uint32_t i = 0;
    for (; i + 8 <= uiLen; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        wide ^= word;
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    uint8_t x = static_cast<uint8_t>(wide);
    for (; i < uiLen; ++i)
        x ^= p[i];
    return x;
}

} // namespace

bool IsWholeFrame(const uint8_t* pFrame, uint32_t uiLen) {
    if (uiLen < 5 || pFrame[0] != kDle || pFrame[1] != kStx || pFrame[uiLen - 3] != kDle ||
        pFrame[uiLen - 2] != kEtx)
        return false;
    // The text is pFrame[2..end). Every DLE in it must be doubled within it;
    // a doubled DLE counts once in the BCC, so each pair puts one DLE back
    // into the exclusive-or of all the text's bytes (where the two cancel).
    const uint32_t end = uiLen - 3;
    uint8_t bcc = XorOf(pFrame + 2, end - 2);
    for (uint32_t i = 2; i < end;) {
        const void* pDle = std::memchr(pFrame + i, kDle, end - i);
        if (!pDle)
            break;
        i = static_cast<uint32_t>(static_cast<const uint8_t*>(pDle) - pFrame);
        if (i + 1 >= end || pFrame[i + 1] != kDle)
            return false;
        bcc ^= kDle;
        i += 2;
    }
    return pFrame[uiLen - 1] == static_cast<uint8_t>(bcc ^ kEtx);
}

OReplyDecoder::Step OReplyDecoder::eFeed(const uint8_t* p, uint32_t uiLen) {
    if (m_eStep != Step::NeedMore)
        return m_eStep;
    if (uiLen > uiRoom())
        uiLen = uiRoom();
    if (uiLen)
        std::memcpy(m_ab + m_uiArrived, p, uiLen);
    m_uiArrived += uiLen;
    m_eStep = eScan();
    return m_eStep;
}

OReplyDecoder::Step OReplyDecoder::eScan() {
    // A position needed beyond the capacity can never come.
    const auto more = [](uint32_t uiNeeded) {
        return uiNeeded >= kCapacity ? Step::Broken : Step::NeedMore;
    };
    for (;;) {
        // Only an ETX after a DLE can end the frame: jump from ETX to ETX.
        if (m_uiScan < 2)
            m_uiScan = 2;
        if (m_uiScan >= m_uiArrived)
            return more(m_uiScan);
        const void* pEtx = std::memchr(m_ab + m_uiScan, kEtx, m_uiArrived - m_uiScan);
        if (!pEtx) {
            m_uiScan = m_uiArrived;
            return more(m_uiScan);
        }
        const uint32_t i = static_cast<uint32_t>(static_cast<const uint8_t*>(pEtx) - m_ab);
        m_uiScan = i;
        if (m_ab[i - 1] != kDle) {
            ++m_uiScan;
            continue;
        }
        if (i + 1 >= m_uiArrived)
            return more(i + 1); // the BCC, if this DLE ETX ends the frame
        if (IsWholeFrame(m_ab, i + 2))
            break;
        m_uiScan = i + 2; // DLE ETX was data
    }
    // The text, doubled DLEs collapsed, moves to the start.
    const uint32_t frameLen = m_uiScan + 2;
    // Runs up to and with each DLE move at once; the DLE's partner is left.
    const uint32_t end = frameLen - 3;
    uint32_t n = 0;
    for (uint32_t p = 2; p < end;) {
        const void* pDle = std::memchr(m_ab + p, kDle, end - p);
        const uint32_t run =
            pDle ? static_cast<uint32_t>(static_cast<const uint8_t*>(pDle) - (m_ab + p)) + 1
                 : end - p;
        std::memmove(m_ab + n, m_ab + p, run);
        n += run;
        p += pDle ? run + 1 : run;
    }
    m_uiTextLen = n;
    return Step::Frame;
}

} // namespace dle
} // namespace quillon
