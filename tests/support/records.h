// Driver records in tests: one filled with a marker, and its codes at a glance.
#pragma once

#include <cstring>
#include <vector>

#include "api/idc_manager.h"
#include "quillon/idc.h"

// A record with v in both codes and both flags and 'k' all through the reply
// text, so a field the call leaves alone shows.
inline tDevReturn Record(int v) {
    tDevReturn r;
    std::memset(&r, 0, sizeof r);
    r.iCode1 = r.iCode2 = r.iErrFlag1 = r.iErrFlag2 = v;
    std::memset(r.acReplyText, 'k', sizeof r.acReplyText);
    return r;
}

// Both codes and both flags, to compare with Codes(code, flag).
inline std::vector<int> Codes(const tDevReturn& r) {
    return {r.iCode1, r.iCode2, r.iErrFlag1, r.iErrFlag2};
}
inline std::vector<int> Codes(int code, int flag) {
    return {code, code, flag, flag};
}

// A driver operation's result written into r as the device manager writes
// it; the operation's result.
inline int Into(const quillon::tDriverResult& result, tDevReturn& r) {
    return quillon::OIdcManager::iWriteRecord(result, &r);
}
