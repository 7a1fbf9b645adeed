// From library codes to what an application is told: every code the
// library writes (0, 1201..1299) falls into one fault, and every fault into
// one completion code and, where the command defines one, an error code.
// Both tables live in codes.cpp and nowhere else.
#pragma once

#include <vector>

#include "hooks.h"

namespace quillon::xfs {

// The reader family as the library tells it: some codes mean one thing in
// one family only.
enum class Family { A, B, C, Unknown };

enum class Fault {
    None,            // success class
    Jam,             // the card is jammed
    NotPossible,     // no card, or the chip not in the state the command needs
    NoChip,          // the chip does not answer or is of no kind the reader knows
    BinFull,         // the retain bin is full
    TrackUnreadable, // no track could be read
    NotSupported,    // the reader does not know the command
    BadArgument,     // an argument or parameter was refused
    NoAnswer,        // the reader stays silent
    LineDown,        // the line could not be opened or written
    ReaderError,     // any other refusal or a damaged reply
};

Fault FaultOf(int iCode, Family eFamily);
// A call that failed is never "None", whatever its code says.
Fault FaultOfFailure(int iCode, Family eFamily);
const char* FaultName(Fault eFault);

struct tOutcome {
    const char* pCompletionCode;
    const char* pErrorCode; // nullptr: none
};
// pErrorCodes: the error codes the command defines (nullptr-terminated).
tOutcome OutcomeOf(Fault eFault, const char* const* pErrorCodes);

// The device state a failed exchange shows; Online: the device answered.
DeviceState DeviceStateOf(Fault eFault);

} // namespace quillon::xfs
