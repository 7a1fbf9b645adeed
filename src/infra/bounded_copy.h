// Bounded text copy: at most dstSize - 1 characters and a terminator; the
// source is read no further than that either (it may be unterminated).
#pragma once

#include <cstddef>
#include <cstring>

namespace quillon {

inline size_t CopyText(char* pDst, size_t uiDstSize, const char* pSrc) {
    if (!pDst || uiDstSize == 0)
        return 0;
    size_t n = pSrc ? strnlen(pSrc, uiDstSize - 1) : 0;
    if (n)
        std::memcpy(pDst, pSrc, n);
    pDst[n] = '\0';
    return n;
}

} // namespace quillon
