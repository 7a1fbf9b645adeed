// Library result codes and their split into success and failure.
#pragma once

namespace quillon {

enum : int {
    kCodeOk = 0,
    kCodePositive = 1201,     // the reader's normal positive reply
    kCodeUnknownReply = 1221, // reply not recognised by the family's map
    kCodeCommFailed = 1223,   // connection not opened, or a command not sent
    kCodeBadArgument = 1224,  // argument refused
    kCodeNoAck = 1225,        // no acknowledgement
    kCodeBadAck = 1226,       // wrong acknowledgement
    kCodeNotSupported = 1266,
    kCodeUnavailable = 1267,  // no device manager, or chip type / mode not supported
    kCodeNoReply = 1299,      // a reply missing
};

// Success class: 0, 1201..1210, 1212, 1213. Everything else fails (1211 too).
bool IsSuccessCode(int iCode);

// 1225, 1226 and 1299: nobody of the probed family is on the line.
bool IsSilentCode(int iCode);

} // namespace quillon
