// Family B's magnetic tracks: reading all three at once and filling in what
// that left empty track by track; writing one command a track.
#include "readers/chip_common.h"
#include "readers/family_b/commands_b.h"
#include "readers/family_b/family_b_reader.h"

namespace quillon {

namespace {
// A track's area in the caller's record, and the most of it a read fills.
struct tArea {
    uint32_t* pLen;
    uint8_t* pText;
    uint32_t uiMax;
};

// The "C65" data, track 1 '~' track 2 '~' track 3, into the areas; read[i]
// tells whether track i held data.
void SplitAllTracks(const uint8_t* pData, uint32_t uiLen, const tArea (&area)[3], bool (&read)[3]) {
    uint32_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        uint32_t n = 0;
        while (pos + n < uiLen && n < area[i].uiMax && (i == 2 || pData[pos + n] != '~'))
            ++n;
        if (n)
            std::memcpy(area[i].pText, pData + pos, n);
        *area[i].pLen = n;
        read[i] = n > 0;
        pos += n + 1; // the separator's position is skipped whatever it holds
    }
}

// The tracks "C65" left empty, one command each where "C67" flags data
// (track 2 also where it does not); send(command) tells whether the reader
// answered positively, eLast() the code it left, take(i) fills track i from
// the reply and tells its length.
template <class Send, class Last, class Take>
void FillInTracks(bool (&read)[3], const bool (&flag)[3], Send send, Last eLast, Take take) {
    if (!read[0] && flag[0] && send(famb::kCmdReadTrack1)) {
        take(0);
        read[0] = true;
    }
    if (!read[1]) {
        if (flag[1]) {
            // 'N' "53" still carries the track's data.
            if (send(famb::kCmdReadTrack2) || eLast() == Code::TrackDataWithError)
                read[1] = take(1) > 0;
        } else if (send(famb::kCmdReadTrack2Raw) || eLast() == Code::TrackDataWithError ||
                   send(famb::kCmdReadTrack2Other)) {
            take(1);
            read[1] = true;
        }
    }
    if (!read[2] && flag[2] && send(famb::kCmdReadTrack3)) {
        take(2);
        read[2] = true;
    }
}
} // namespace

tDriverResult OFamilyBReader::ReadTrack(tIdcTracks* pTracks) {
    const tArea area[3] = {{&pTracks->uiLen1, pTracks->abTrack1, 79},
                           {&pTracks->uiLen2, pTracks->abTrack2, 40},
                           {&pTracks->uiLen3, pTracks->abTrack3, 107}};
    bool read[3] = {false, false, false};
    bool flag[3] = {false, false, false};
    for (const tArea& a : area)
        *a.pLen = 0;
    tSmallReply reply;
    tDriverResult out;
    // The last command of this read the reader answered positively, with the
    // outcome it left.
    tDriverResult good;
    bool bGood = false;
    auto send = [&](const char* pText) {
        const bool ok = bSend(pText, reply, out, famb::kTrackReadTimeoutMs);
        if (ok) {
            good = out;
            bGood = true;
        }
        return ok;
    };

    if (send(famb::kCmdReadAllTracks))
        SplitAllTracks(reply.abData, reply.uiLen, area, read);
    if (send(famb::kCmdTrackFlags))
        for (int i = 0; i < 3; ++i)
            flag[i] = reply.abData[i] == '1';
    FillInTracks(
        read, flag, send, [&] { return out.eCode; },
        [&](int i) {
            const uint32_t n = reply.uiLen < area[i].uiMax ? reply.uiLen : area[i].uiMax;
            std::memcpy(area[i].pText, reply.abData, n);
            *area[i].pLen = n;
            return n;
        });
    if (!read[0] && !read[1] && !read[2]) {
        tDriverResult nothing = tFinish(out);
        nothing.iResult = ToInt(Code::NothingRead);
        return nothing;
    }
    // Tracks were read, so the result is 0. A command sent after them that
    // failed, or the 'N' "53" reply a track was taken from, must not leave a
    // failure code beside it: the record then tells the last positive answer
    // of this read (0 when the reader gave none).
    if (!out.bOk()) {
        if (bGood)
            out = good;
        else
            out.eCode = Code::Ok;
    }
    return tFinish(out);
}

tDriverResult OFamilyBReader::WriteTrack(tIdcTracks* pTracks) {
    static constexpr quillon::tTrackWriteRule kRule = {{79, 40, 107}, false};
    tDriverResult out;
    tDriverResult failure; // the outcome of the last write that failed
    const quillon::TracksWritten written =
        quillon::WriteTracks(pTracks, kRule, [&](const uint8_t* pCommand, uint32_t uiLen) {
            tSmallReply reply;
            if (bSendBytes(pCommand, uiLen, reply, out, famb::kTrackWriteTimeoutMs))
                return true;
            failure = out;
            return false;
        });
    if (written == quillon::TracksWritten::Nothing)
        return tDriverResult::Untouched(ToInt(Code::Refused)); // nothing sent
    // A later track written well must not leave its success code beside the
    // result 1: the record then tells the last write that failed.
    if (written == quillon::TracksWritten::SomeFailed && out.bOk())
        out = failure;
    return tFinish(out);
}

} // namespace quillon
