// Family A: the magnetic tracks.
#include <algorithm>
#include <cstring>

#include "readers/chip_common.h"
#include "readers/family_a/commands_a.h"
#include "readers/family_a/family_a_reader.h"

namespace quillon {

namespace {
// Copies up to iLen (at most uiMax) track bytes from position uiSrc of the
// reply data, never beyond the uiDataLen bytes received; returns the count.
uint32_t CopyTrack(uint8_t* pDst, uint32_t uiMax, const uint8_t* pData, uint32_t uiDataLen,
                   uint32_t uiSrc, uint32_t uiLen) {
    if (uiSrc >= uiDataLen)
        return 0;
    const uint32_t n = std::min({uiLen, uiMax, uiDataLen - uiSrc});
    std::memcpy(pDst, pData + uiSrc, n);
    return n;
}
} // namespace

tDriverResult OFamilyAReader::ReadTrack(tIdcTracks* pTracks) {
    uint8_t d[1024] = {};
    uint32_t n = 0;
    tDriverResult o;
    if (!IsSuccess(eCommand(o, fama::kCmdReadTracks, fama::kTrackReadTimeoutMs, d, sizeof d, &n)))
        return tFinish(o);
    auto good = [&](int p) { return d[p] == '0' && d[p + 1] == '0'; };
    if (!good(1) && !good(3) && !good(5)) {
        tDriverResult r = tFinish(o);         // the record keeps the reply's own code
        r.iResult = ToInt(Code::NoTrackData); // no track could be read
        return r;
    }
    // Lengths: three decimal digits each, from data byte 7; a reply that does
    // not carry them is broken and ends like any other broken reply.
    constexpr uint32_t kLengths = 7, kTexts = 16;
    const int len1 = n < kTexts ? -1 : iDigits(d + kLengths, 3);
    const int len2 = n < kTexts ? -1 : iDigits(d + kLengths + 3, 3);
    const int len3 = n < kTexts ? -1 : iDigits(d + kLengths + 6, 3);
    if (len1 < 0 || len2 < 0 || len3 < 0) {
        eBroken(o);
        return tFinish(o);
    }
    // The texts follow one another at the stated lengths; each area keeps its
    // last byte, and its length tells the bytes that landed in it, never more.
    uint32_t src = kTexts;
    pTracks->uiLen1 = CopyTrack(pTracks->abTrack1, sizeof pTracks->abTrack1 - 1, d, n, src,
                                static_cast<uint32_t>(len1));
    src += static_cast<uint32_t>(len1);
    pTracks->uiLen2 = CopyTrack(pTracks->abTrack2, sizeof pTracks->abTrack2 - 1, d, n, src,
                                static_cast<uint32_t>(len2));
    src += static_cast<uint32_t>(len2);
    pTracks->uiLen3 = CopyTrack(pTracks->abTrack3, sizeof pTracks->abTrack3 - 1, d, n, src,
                                static_cast<uint32_t>(len3));
    return tFinish(o);
}

// One command a track that carries data, "C71" to "C73" and the track's bytes
// up to the first zero byte; a length with its top bit set carries none. A
// failed write does not stop the next; its track's length becomes 0, so the
// caller sees which failed.
tDriverResult OFamilyAReader::WriteTrack(tIdcTracks* pTracks) {
    static const tTrackWriteRule kRule = {{80, 41, 108}, true};
    tDriverResult o, failure; // failure: the outcome as of the last write that failed
    const TracksWritten written =
        WriteTracks(pTracks, kRule, [&](const uint8_t* pCommand, uint32_t uiLen) {
            if (IsSuccess(eSend(o, pCommand, uiLen, fama::kTrackWriteTimeoutMs)))
                return true;
            failure = o;
            return false;
        });
    if (written == TracksWritten::Nothing)
        return tRefused(m_profile.tEmptyWrite);
    // A later track written well must not leave its success code beside the
    // result 1: the record then tells the last write that failed.
    return tFinish(written == TracksWritten::SomeFailed && IsSuccess(o.eCode) ? failure : o);
}

} // namespace quillon
