// What every operation promises its caller about its result and its record,
// checked the same way by the fuzz targets and the mixed load test.
#pragma once

#include "quillon/idc.h"

namespace promises {

inline bool IsSuccessClass(int iCode) {
    return iCode == 0 || (iCode >= 1201 && iCode <= 1210) || iCode == 1212 || iCode == 1213;
}

// What is wrong with a record the library wrote: one code twice and one
// flag twice, the code 0 or 1201..1299, the flag 0 or 1, and 1 only beside
// a failure-class code. Null when nothing is.
inline const char* RecordBroken(const tDevReturn& r) {
    if (r.iCode1 != r.iCode2 || r.iErrFlag1 != r.iErrFlag2)
        return "codes or flags differ";
    if (!(r.iCode2 == 0 || (r.iCode2 >= 1201 && r.iCode2 <= 1299)))
        return "no library code";
    if (r.iErrFlag2 != 0 && r.iErrFlag2 != 1)
        return "a flag other than 0 and 1";
    if (r.iErrFlag2 == 1 && IsSuccessClass(r.iCode2))
        return "flag 1 beside a success code";
    return nullptr;
}

enum class TrackOp { None, Read, Write };

// What is wrong with a result beside its record (bWritten: the record was
// written): 0 comes with a success-class code, 1 with a failure-class code;
// a track read may return 1249 or 1251, a track write 1268, whatever the
// record holds. Null when nothing is.
inline const char* ResultBroken(int iResult, const tDevReturn& r, bool bWritten, TrackOp eTrack) {
    if (iResult == 0)
        return bWritten && !IsSuccessClass(r.iCode2) ? "result 0 beside a failure code" : nullptr;
    if (iResult == 1)
        return bWritten && IsSuccessClass(r.iCode2) ? "result 1 beside a success code" : nullptr;
    if (eTrack == TrackOp::Read && (iResult == 1249 || iResult == 1251))
        return nullptr;
    if (eTrack == TrackOp::Write && iResult == 1268)
        return nullptr;
    return "a result other than 0, 1 and the track operations' codes";
}

} // namespace promises
