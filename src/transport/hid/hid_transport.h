// The USB HID transport carried by the HID reader drivers: find the reader
// among the present HID interfaces by vendor and product id, write one
// output report, read one input report with a time-out.
//
// Report buffers belong to the caller. Byte 0 of every report is the report
// ID byte, also for a device that numbers no reports (it is 0 there), so the
// report lengths are the largest report's data bytes plus one. The transport
// adds nothing to the data and takes nothing away.
//
// One backend per operating system (hidraw, Win32 SetupAPI/HID). Drivers get
// theirs from OHidTransportFactory::pMake(); tests replace the factory to put a fake
// under a driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/replaceable_factory.h"

namespace quillon {

class OHidTransport {
public:
    virtual ~OHidTransport() = default;

    // Searches the present HID interfaces for the first one (in enumeration
    // order) with both ids and opens it for writing and for reading. True
    // when such an interface exists, even if one of the two could not be
    // opened: the writes or reads then fail. Closes whatever an earlier
    // search opened before it starts.
    virtual bool bOpenDevice(uint16_t usVendorId, uint16_t usProductId) = 0;

    // Writes one output report: exactly uiOutputReportLength() bytes, taken
    // from the start of the buffer; when the buffer is shorter, the rest of
    // the report is sent as zeros. True when the system took the whole report
    // within uiTimeoutMs; a write still pending then is cancelled and fails.
    virtual bool bWriteReport(const uint8_t* pReport, size_t uiBufSize, uint32_t uiTimeoutMs) = 0;

    // Reads one input report of uiInputReportLength() bytes into the start
    // of the buffer (no more than uiBufSize of it are stored) and waits at
    // most uiTimeoutMs for it. True with uiCount = bytes stored when a report
    // arrived. False with uiCount = 0 when none came in time (the wait is
    // abandoned, so the next read starts clean); false with uiCount unchanged
    // on any other failure (nothing opened for reading, device gone).
    virtual bool bReadReport(uint8_t* pReport, size_t uiBufSize, uint32_t& uiCount,
                             uint32_t uiTimeoutMs) = 0;

    // Drops every input report that is already queued for this reader,
    // without waiting for more. The system keeps a report that came after
    // its read gave up (hidraw per open file, Windows in the HID class
    // driver's ring buffer), so a late reply waits here for the next read.
    virtual void vDrainInput() = 0;

    // Report lengths of the opened device, report ID byte included; 0 while
    // no device is open or when the device declares no such report.
    virtual size_t uiInputReportLength() const = 0;
    virtual size_t uiOutputReportLength() const = 0;

    // Releases everything the last search opened. Also done on destruction.
    virtual void vClose() = 0;
};

// The operating system's transport.
std::unique_ptr<OHidTransport> MakeSystemHidTransport();

#if !defined(_WIN32)
// The hidraw transport over a given class folder ("/sys/class/hidraw") and
// device folder ("/dev"); tests point both at a tree of their own.
std::unique_ptr<OHidTransport> MakeHidrawTransport(const std::string& sClassDir,
                                                   const std::string& sDevDir);
#endif

// Makes the transport for each new HID driver: OHidTransportFactory::pMake().
// Tests put a fake in with fnReplace before they build the drivers that are
// to use it; an empty maker restores the system transport.
using OHidTransportFactory = OReplaceableFactory<OHidTransport, &MakeSystemHidTransport>;
using HidTransportFactory = OHidTransportFactory::Maker;

} // namespace quillon
