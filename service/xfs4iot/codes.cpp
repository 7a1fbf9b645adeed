#include "codes.h"

#include <cstring>

namespace quillon::xfs {

namespace {

// A family as one bit of a set of families.
constexpr unsigned kA = 1, kB = 2, kC = 4, kUnknown = 8, kAll = kA | kB | kC | kUnknown;

// Library code -> fault. The first row that holds the code for the family
// wins; a code in no row is a reader error (a negative reply the service
// has no better word for). docs/result-codes.md has the replies behind each.
struct tCodeRow {
    int iFirst, iLast;
    unsigned uFamilies;
    Fault eFault;
};
const tCodeRow kCodes[] = {
    {0, 0, kAll, Fault::None},
    {1201, 1210, kAll, Fault::None},
    {1212, 1213, kAll, Fault::None},
    {1216, 1216, kAll, Fault::NotSupported}, // anti-fishing release refused by family A
    {1223, 1223, kAll, Fault::LineDown},
    {1224, 1224, kAll, Fault::BadArgument},
    {1225, 1226, kAll, Fault::NoAnswer},
    {1249, 1249, kAll, Fault::TrackUnreadable}, // A N 44, A/C: no track read; B N 24 blank
    {1251, 1251, kAll, Fault::TrackUnreadable}, // B: no track read
    {1260, 1260, kA, Fault::NoChip},            // A N 60: the chip does not answer
    {1266, 1266, kAll, Fault::NotSupported},    // N 00 / 0x00: unknown command
    {1267, 1267, kAll, Fault::NotPossible},     // no card, chip not active, mode unsupported
    {1268, 1268, kAll, Fault::BadArgument},     // bad parameter, nothing to write
    {1270, 1270, kB, Fault::NoChip},            // B N 60: the chip does not answer
    {1273, 1273, kC, Fault::NoChip},            // C 0x51..0x73: chip errors, unknown chip
    {1283, 1283, kAll, Fault::Jam},             // A N 10, B N 10, C 0x0A
    {1297, 1297, kB, Fault::BinFull},           // B N 50: retain bin full
    {1299, 1299, kAll, Fault::NoAnswer},
};

// Fault -> completion code, and the error codes it prefers in this order:
// the first one the command defines is used; a command that defines none
// of them completes with the fallback code instead.
struct tFaultRow {
    Fault eFault;
    const char* pCompletion;
    const char* apErrors[3];
    const char* pFallback;
};
const tFaultRow kFaults[] = {
    {Fault::None, "success", {}, nullptr},
    {Fault::Jam, "commandErrorCode", {"mediaJam"}, "hardwareError"},
    {Fault::NotPossible, "commandErrorCode", {"atrNotObtained", "noMedia"}, "sequenceError"},
    {Fault::NoChip, "commandErrorCode", {"invalidMedia"}, "hardwareError"},
    {Fault::BinFull, "commandErrorCode", {"full", "retainBinFull"}, "hardwareError"},
    {Fault::TrackUnreadable, "commandErrorCode", {"invalidMedia"}, "hardwareError"},
    {Fault::NotSupported, "unsupportedCommand", {}, nullptr},
    {Fault::BadArgument, "invalidData", {}, nullptr},
    {Fault::NoAnswer, "deviceNotReady", {}, nullptr},
    {Fault::LineDown, "deviceNotReady", {}, nullptr},
    {Fault::ReaderError, "hardwareError", {}, nullptr},
};

unsigned FamilyBit(Family e) {
    static const unsigned kBits[] = {kA, kB, kC, kUnknown};
    return kBits[static_cast<int>(e)];
}

} // namespace

Fault FaultOf(int iCode, Family eFamily) {
    for (const tCodeRow& r : kCodes)
        if (iCode >= r.iFirst && iCode <= r.iLast && (r.uFamilies & FamilyBit(eFamily)))
            return r.eFault;
    return Fault::ReaderError;
}

Fault FaultOfFailure(int iCode, Family eFamily) {
    const Fault e = FaultOf(iCode, eFamily);
    return e == Fault::None ? Fault::ReaderError : e;
}

const char* FaultName(Fault eFault) {
    static const char* const kNames[] = {
        "none",         "jam",         "notPossible", "noChip",   "binFull",    "trackUnreadable",
        "notSupported", "badArgument", "noAnswer",    "lineDown", "readerError"};
    return kNames[static_cast<int>(eFault)];
}

tOutcome OutcomeOf(Fault eFault, const char* const* pErrorCodes) {
    for (const tFaultRow& r : kFaults) {
        if (r.eFault != eFault)
            continue;
        if (!r.apErrors[0])
            return {r.pCompletion, nullptr};
        for (const char* pWanted : r.apErrors)
            for (const char* const* p = pErrorCodes; pWanted && p && *p; ++p)
                if (std::strcmp(*p, pWanted) == 0)
                    return {r.pCompletion, *p};
        return {r.pFallback, nullptr};
    }
    return {"internalError", nullptr};
}

DeviceState DeviceStateOf(Fault eFault) {
    switch (eFault) {
    case Fault::NoAnswer:
        return DeviceState::Offline;
    case Fault::LineDown:
        return DeviceState::NoDevice;
    default:
        return DeviceState::Online;
    }
}

} // namespace quillon::xfs
