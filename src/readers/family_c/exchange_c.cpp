#include "readers/family_c/exchange_c.h"

#include <cstring>

#include "readers/stx_exchange.h"

namespace quillon {
namespace famc {
namespace {
const tStxProfile kProfile = {
    {-1, false},   // no address; the check byte always decides
    false,         // a first answer other than ACK ends the exchange
    false,         // DTR drops only after a sound frame
    Code::NoReply, // a reply that does not come whole
    kStxSendArea,  // the reply frame's deadline allows for a whole area
};

// Codes of the error bytes of a negative reply, by ranges; any other byte
// is UnknownReply.
struct tErrorRange {
    uint8_t byFirst, byLast;
    Code eCode;
};
const tErrorRange kErrors[] = {
    {0x00, 0x00, Code::NotSupported}, {0x01, 0x01, Code::BadArgument},
    {0x02, 0x02, Code::Refused},      {0x03, 0x04, Code::Unavailable},
    {0x05, 0x07, Code::ResetAgain},   {0x08, 0x08, Code::ReplyN12},
    {0x0A, 0x0A, Code::ReplyN10},     {0x0B, 0x0B, Code::ReplyN11},
    {0x0C, 0x0C, Code::ReplyN20},     {0x0D, 0x0D, Code::ReplyN21},
    {0x0E, 0x0E, Code::ReplyBN19},    {0x21, 0x21, Code::ReplyBN61},
    {0x30, 0x30, Code::ReplyBN61},    {0x22, 0x24, Code::ReplyBN63},
    {0x31, 0x33, Code::ReplyBN63},    {0x50, 0x50, Code::ReplyN81},
    {0x51, 0x53, Code::ChipFailed},   {0x56, 0x6B, Code::ChipFailed},
    {0x70, 0x73, Code::ChipFailed},
};
} // namespace

Code MapReply(const uint8_t* pFrame, uint32_t uiLen) {
    if (!pFrame || uiLen < 4)
        return Code::BrokenFrame;
    if (pFrame[3] == 'P')
        return Code::Ok;
    if (pFrame[3] != 'N')
        return Code::BrokenFrame;
    if (uiLen <= kDataAt + 2)
        return Code::UnknownReply; // a negative reply without its error byte
    const uint8_t byError = pFrame[kDataAt];
    for (const tErrorRange& range : kErrors)
        if (byError >= range.byFirst && byError <= range.byLast)
            return range.eCode;
    return Code::UnknownReply;
}

tCommandReply Exchange(OReaderComm* pComm, const uint8_t* pText, uint32_t uiLen, uint32_t uiArea,
                       uint32_t uiTimeoutMs, tData& data) {
    OStxDecoder frame(kProfile.tFormat);
    std::memset(&data, 0, sizeof data);
    tCommandReply reply;
    reply.eCode = StxExchange(pComm, kProfile, pText, uiLen, uiTimeoutMs, frame);
    if (reply.eCode == Code::Ok)
        reply.eCode = MapReply(frame.pBytes(), frame.uiCount());
    const uint32_t uiAreaHeld = uiArea < kLargestArea ? uiArea : kLargestArea;
    const uint32_t uiKept = frame.uiCount() < uiAreaHeld ? frame.uiCount() : uiAreaHeld;
    data.uiLen = reply.uiDataLen = uiKept > kDataAt + 2 ? uiKept - kDataAt - 2 : 0;
    if (data.uiLen)
        std::memcpy(data.abData, frame.pBytes() + kDataAt, data.uiLen);
    return reply;
}

tCommandReply Exchange(OReaderComm* pComm, const char* pText, uint32_t uiArea, uint32_t uiTimeoutMs,
                       tData& data) {
    return Exchange(pComm, reinterpret_cast<const uint8_t*>(pText),
                    static_cast<uint32_t>(std::strlen(pText)), uiArea, uiTimeoutMs, data);
}

} // namespace famc
} // namespace quillon
