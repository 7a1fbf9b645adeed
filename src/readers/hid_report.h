// The output report that carries a command to a HID reader (families A and
// B alike, each with its own report ID), with no I/O:
//
//   byte 0      report ID
//   bytes 1, 2  command length, high byte first
//   bytes 3 ..  the command, then zeros to the end of the report
//
// There is no check byte and no framing.
#pragma once

#include <cstdint>

namespace quillon {
namespace hid {

constexpr uint32_t kCommandReportSize = 512; // the report is built in this many bytes
constexpr uint32_t kReportHead = 3;

// The report of the uiLen & 0xFFFF command bytes into abReport (all of it
// written). Returns how many bytes from the start carry the head and the
// command, or 0 when the command does not fit the report (or is missing):
// nothing is to be sent, a cut command would reach the reader as another.
uint32_t EncodeCommandReport(uint8_t byReportId, const uint8_t* pCommand, uint32_t uiLen,
                             uint8_t (&abReport)[kCommandReportSize]);

} // namespace hid
} // namespace quillon
