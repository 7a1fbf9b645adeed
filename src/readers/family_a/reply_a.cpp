#include "readers/family_a/reply_a.h"

namespace quillon {
namespace {

// Statuses first..last (same first character) map in order onto the codes
// from eFirst.
struct tCodeRow {
    char cKind;
    char acFirst[3];
    char acLast[3];
    Code eFirst;
};
const tCodeRow kCodeMap[] = {
    {'P', "00", "02", Code::Positive},   {'P', "04", "04", Code::ReplyP04},
    {'P', "10", "11", Code::ReplyP10},   {'P', "20", "23", Code::ReplyP20},
    {'P', "30", "31", Code::ReplyP30},   {'N', "00", "02", Code::NotSupported},
    {'N', "03", "03", Code::ReplyN03},   {'N', "10", "19", Code::ReplyN10},
    {'N', "1E", "1E", Code::ReplyN1E},   {'N', "1F", "1F", Code::ReplyN1E},
    {'N', "1G", "1G", Code::ReplyN1G},   {'N', "20", "21", Code::ReplyN20},
    {'N', "32", "33", Code::ReplyN32},   {'N', "40", "46", Code::ReplyN40},
    {'N', "47", "47", Code::ReplyN47},   {'N', "49", "49", Code::ReplyN49},
    {'N', "4A", "4A", Code::ReplyN4A},   {'N', "50", "56", Code::ReplyN50},
    {'N', "60", "64", Code::ReplyN60},   {'N', "70", "70", Code::ReplyN70},
    {'N', "71", "71", Code::ReplyN71},   {'N', "72", "72", Code::ReplyN70},
    {'N', "80", "80", Code::ReplyN80},   {'N', "81", "81", Code::ReplyN81},
    {'N', "82", "82", Code::ReplyN82},   {'N', "84", "84", Code::ReplyN84},
    {'N', "85", "85", Code::ReplyN85},   {'N', "86", "86", Code::ReplyN86},
    {'N', "87", "87", Code::ChipFailed}, {'N', "88", "88", Code::ReplyN88},
};

} // namespace

Code MapReplyA(uint8_t byKind, uint16_t usStatus) {
    const char c1 = static_cast<char>(usStatus >> 8);
    const char c2 = static_cast<char>(usStatus & 0xFF);
    for (const tCodeRow& row : kCodeMap) {
        if (row.cKind == static_cast<char>(byKind) && row.acFirst[0] == c1 &&
            c2 >= row.acFirst[1] && c2 <= row.acLast[1])
            return static_cast<Code>(ToInt(row.eFirst) + (c2 - row.acFirst[1]));
    }
    return Code::UnknownReply;
}

Code ReplyCodeA(const uint8_t* pText) {
    return MapReplyA(pText[0], static_cast<uint16_t>((pText[3] << 8) | pText[4]));
}

} // namespace quillon
