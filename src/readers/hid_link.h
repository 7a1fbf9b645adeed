// OHidLink: the USB side that both HID drivers share. It owns the driver's
// HID transport (made at construction, not opened: until the first search
// every write fails) and writes a command in one output report:
//
//   byte 0      report ID (family A 0x02, family B 0x04)
//   bytes 1, 2  command length, high byte first
//   bytes 3 ..  the command, then zeros to the end of the report
//
// How the reply comes back in input reports is the family's business.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "infra/result_codes.h"
#include "transport/hid/hid_transport.h"

class OHidLink {
public:
    static constexpr uint32_t kSendSize = 512;  // the command report is built here
    static constexpr uint32_t kRecvSize = 1024; // the reply reports land here
    static constexpr uint32_t kReportHeader = 3;

    OHidLink() : m_pHid(MakeHidTransport()) {}

    // Searches the reader again; the transport closes the previous device
    // first, so repeated calls hold one device at most.
    bool bOpen(uint16_t usVendorId, uint16_t usProductId) {
        return m_pHid && m_pHid->bOpenDevice(usVendorId, usProductId);
    }

    // Drops the input reports still queued (a late reply to an earlier
    // command is not this one's), then writes the command; the write gets
    // the command's time-out. 0 when the report went out; 1224 when the
    // command does not fit one report (nothing sent: a cut command would
    // reach the reader as another one); 1223 when the write failed or no
    // device is open.
    int iSendCommand(uint8_t byReportId, const uint8_t* pCommand, uint32_t uiLen,
                     uint32_t uiTimeoutMs) {
        const uint32_t n = uiLen & 0xFFFF;
        const size_t uiReport = m_pHid ? m_pHid->uiOutputReportLength() : 0;
        if ((n && !pCommand) || kReportHeader + n > kSendSize ||
            (uiReport && kReportHeader + n > uiReport))
            return quillon::kCodeBadArgument;
        uint8_t report[kSendSize] = {};
        report[0] = byReportId;
        report[1] = static_cast<uint8_t>(n >> 8);
        report[2] = static_cast<uint8_t>(n);
        if (n)
            std::memcpy(report + kReportHeader, pCommand, n);
        if (!m_pHid)
            return quillon::kCodeCommFailed;
        m_pHid->vDrainInput();
        if (!m_pHid->bWriteReport(report, sizeof report, uiTimeoutMs))
            return quillon::kCodeCommFailed;
        return 0;
    }

    // One input report into pReport (at most uiSize bytes stored); false
    // when none arrived within the time-out or nothing is open.
    bool bReadReport(uint8_t* pReport, size_t uiSize, uint32_t& uiCount, uint32_t uiTimeoutMs) {
        uiCount = 0;
        return m_pHid && m_pHid->bReadReport(pReport, uiSize, uiCount, uiTimeoutMs);
    }

private:
    std::unique_ptr<OHidTransport> m_pHid;
};
