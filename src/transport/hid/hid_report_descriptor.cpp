// A HID report descriptor is a sequence of items. A short item is one prefix
// byte (bits 0-1 data size 0, 1, 2 or 4 bytes; bits 2-3 type: main, global,
// local; bits 4-7 tag) and its little-endian data; a long item is 0xFE, its
// data size, its tag and the data. Only what decides the report sizes is
// followed here: the global Report Size, Report Count and Report ID with
// Push and Pop, and the main Input, Output and Feature items, each of which
// adds size x count bits to the current report of its kind.
#include "transport/hid/hid_report_descriptor.h"

#include <array>

namespace quillon {

namespace {

enum : uint8_t { kTypeMain = 0, kTypeGlobal = 1 };

enum : uint8_t {
    kMainInput = 0x8,
    kMainOutput = 0x9,
    kMainFeature = 0xB,
};

enum : uint8_t {
    kGlobalReportSize = 0x7,
    kGlobalReportId = 0x8,
    kGlobalReportCount = 0x9,
    kGlobalPush = 0xA,
    kGlobalPop = 0xB,
};

constexpr uint8_t kLongItemPrefix = 0xFE;
constexpr size_t kMaxPushDepth = 16;
constexpr uint64_t kMaxReportBits = (kHidMaxReportBytes - 1) * 8;

struct tGlobalState {
    uint32_t uiReportSize = 0;
    uint32_t uiReportCount = 0;
    uint32_t uiReportId = 0;
};

// Bits declared so far per kind (input, output, feature) and report ID.
using ReportBits = std::array<std::array<uint64_t, 256>, 3>;

// Whole bytes of the largest report plus the ID byte; 0 when no report of
// the kind carries any data.
size_t uiLargestReport(const std::array<uint64_t, 256>& bits) {
    uint64_t uiMax = 0;
    for (uint64_t uiBits : bits) {
        if (uiBits > uiMax) {
            uiMax = uiBits;
        }
    }
    return uiMax == 0 ? 0 : static_cast<size_t>((uiMax + 7) / 8) + 1;
}

// The parse so far: the global state with its push stack, and the bits
// counted per kind and report.
struct tParse {
    ReportBits bits{};
    tGlobalState state;
    std::array<tGlobalState, kMaxPushDepth> stack;
    size_t uiDepth = 0;
    bool bNumbered = false;

    // A global item; false when it makes the descriptor unusable.
    bool bGlobal(uint8_t byTag, uint32_t uiValue) {
        switch (byTag) {
        case kGlobalReportSize:
            state.uiReportSize = uiValue;
            return true;
        case kGlobalReportCount:
            state.uiReportCount = uiValue;
            return true;
        case kGlobalReportId:
            if (uiValue == 0 || uiValue > 255)
                return false;
            state.uiReportId = uiValue;
            bNumbered = true;
            return true;
        case kGlobalPush:
            if (uiDepth == kMaxPushDepth)
                return false;
            stack[uiDepth++] = state;
            return true;
        case kGlobalPop:
            if (uiDepth == 0)
                return false;
            state = stack[--uiDepth];
            return true;
        default:
            return true;
        }
    }

    // A main item: Input, Output and Feature add size x count bits to the
    // current report of their kind (collections size nothing); false when a
    // report grows beyond the largest.
    bool bMain(uint8_t byTag) {
        size_t uiKind = 0;
        switch (byTag) {
        case kMainInput:
            uiKind = 0;
            break;
        case kMainOutput:
            uiKind = 1;
            break;
        case kMainFeature:
            uiKind = 2;
            break;
        default:
            return true;
        }
        // Both factors are below 2^32, so the product fits; the running
        // sum is checked against the limit before it could overflow.
        const uint64_t uiAdd = static_cast<uint64_t>(state.uiReportSize) * state.uiReportCount;
        uint64_t& uiSum = bits[uiKind][state.uiReportId];
        if (uiAdd > kMaxReportBits - uiSum)
            return false;
        uiSum += uiAdd;
        return true;
    }
};

} // namespace

bool bParseReportDescriptor(const uint8_t* pDesc, size_t uiLen, tHidReportLengths& lengths) {
    lengths = tHidReportLengths{};
    if (pDesc == nullptr && uiLen != 0)
        return false;

    tParse parse;
    size_t uiPos = 0;
    while (uiPos < uiLen) {
        const uint8_t byPrefix = pDesc[uiPos];
        if (byPrefix == kLongItemPrefix) {
            // Long items carry nothing that sizes a report: skip them.
            if (uiLen - uiPos < 3)
                return false;
            const size_t uiData = pDesc[uiPos + 1];
            if (uiLen - uiPos - 3 < uiData)
                return false;
            uiPos += 3 + uiData;
            continue;
        }

        static const size_t kDataSizes[] = {0, 1, 2, 4};
        const size_t uiData = kDataSizes[byPrefix & 0x3];
        const uint8_t byType = (byPrefix >> 2) & 0x3;
        const uint8_t byTag = (byPrefix >> 4) & 0xF;
        if (uiLen - uiPos - 1 < uiData)
            return false;
        uint32_t uiValue = 0;
        for (size_t i = 0; i < uiData; ++i)
            uiValue |= static_cast<uint32_t>(pDesc[uiPos + 1 + i]) << (8 * i);
        uiPos += 1 + uiData;

        // Local items (usages, designators, strings) size nothing.
        if ((byType == kTypeGlobal && !parse.bGlobal(byTag, uiValue)) ||
            (byType == kTypeMain && !parse.bMain(byTag)))
            return false;
    }

    tHidReportLengths out;
    out.uiInput = uiLargestReport(parse.bits[0]);
    out.uiOutput = uiLargestReport(parse.bits[1]);
    out.uiFeature = uiLargestReport(parse.bits[2]);
    out.bNumbered = parse.bNumbered;
    lengths = out;
    return true;
}

} // namespace quillon
