// What a command exchange and a driver operation hand back. Neither writes
// the caller's record: the device manager writes it from the operation's
// result, in one place (OIdcManager::iWriteRecord).
#pragma once

#include <cstdint>
#include <cstring>

#include "infra/result_codes.h"

namespace quillon {

// The size of the reply text area at the start of which a record shows reply bytes.
constexpr uint32_t kReplyTextArea = 256;

// One command's reply as the exchange hands it back, whatever the family or
// the line: the code (why the exchange failed, or what the reply says), the
// reply bytes that the caller's record shows at the start of its reply text
// (none when no reply was taken, or where the family shows none), and how
// many reply data bytes went to the exchange's buffer.
struct tCommandReply {
    Code eCode = Code::Ok;
    uint8_t abShown[kReplyTextArea] = {};
    uint32_t uiShownLen = 0;
    uint32_t uiDataLen = 0;
};

// How an operation ends: its value for the caller (0, 1, or the library code
// that a track operation returns in set cases) and what the caller's record
// is to show. A record the operation does not write stays as the caller
// passed it; a written one holds the code twice, the flag twice and, at the
// start of its reply text, the reply bytes gathered (the rest of the area
// keeps what the caller left there).
struct tDriverResult {
    int iResult = 0;
    bool bWrites = false;
    Code eCode = Code::Ok;
    int iFlag = 0;
    uint8_t abText[kReplyTextArea] = {};
    uint32_t uiTextLen = 0;

    // The record is left alone.
    static tDriverResult Untouched(int iResult) {
        tDriverResult r;
        r.iResult = iResult;
        return r;
    }
    // The record shows eCode with the error flags iFlag.
    static tDriverResult Shown(Code eCode, int iFlag, int iResult) {
        tDriverResult r;
        r.iResult = iResult;
        r.bWrites = true;
        r.eCode = eCode;
        r.iFlag = iFlag;
        return r;
    }
    // An argument refused before anything is sent: BadArgument, flags 1.
    static tDriverResult BadArgument() { return Shown(Code::BadArgument, 1, 1); }

    bool bOk() const { return IsSuccess(eCode); }
    // A command's reply becomes what the record will show: its code, and its
    // reply bytes over the start of the text (a shorter reply leaves the
    // rest of what an earlier one put there).
    void vTake(const tCommandReply& reply) {
        eCode = reply.eCode;
        const uint32_t n = reply.uiShownLen < kReplyTextArea ? reply.uiShownLen : kReplyTextArea;
        if (n) {
            std::memcpy(abText, reply.abShown, n);
            if (n > uiTextLen)
                uiTextLen = n;
        }
    }
};

// A zero-filled buffer for a reply's data and the count an exchange put there.
template <uint32_t N> struct tReplyBuf {
    uint8_t abData[N];
    uint32_t uiLen;
};

} // namespace quillon
