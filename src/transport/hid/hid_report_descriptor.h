// Report lengths from a HID report descriptor, counted the way the Windows
// HID class driver counts them: the largest report of a kind, in whole data
// bytes, plus one byte for the report ID, also when the device numbers no
// reports. 0 when the descriptor declares no report of that kind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

struct tHidReportLengths {
    size_t uiInput = 0;
    size_t uiOutput = 0;
    size_t uiFeature = 0;
    // The descriptor numbers its reports (a Report ID item occurs): the
    // device then sends the ID as the first byte of each input report.
    bool bNumbered = false;
};

// Largest report the parser accepts, report ID byte included; a descriptor
// that declares a larger one is refused.
constexpr size_t kHidMaxReportBytes = 16384;

// Reads the descriptor's items. False, with the lengths left at 0, when an
// item runs past the end, a Pop finds no Push before it, Pushes nest deeper
// than 16, a report ID is 0 or above 255, or a report exceeds
// kHidMaxReportBytes.
bool bParseReportDescriptor(const uint8_t* pDesc, size_t uiLen, tHidReportLengths& lengths);

} // namespace quillon
