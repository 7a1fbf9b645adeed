// OHidLink: the USB side that both HID drivers share. It owns the driver's
// HID transport (made at construction, not opened: until the first search
// every write fails) and writes a command in one output report:
//
//   byte 0      report ID (family A 0x02, family B 0x04)
//   bytes 1, 2  command length, high byte first
//   bytes 3 ..  the command, then zeros to the end of the report
//
// A reply's first input report has the same head (report ID, reply length)
// followed by the reply kind, two echo characters and the status. How the
// rest of a reply comes back is the family's business.
//
// The system keeps an input report that came after its read gave up, so a
// reply that is late for its command would otherwise be read by the next
// one, and every command after it would take its predecessor's reply. Two
// guards keep the exchanges in step: what is queued is dropped before each
// command goes out, and a report whose echo does not answer the command
// sent is dropped while the reply is awaited. All deadlines are on the
// library's clock (quillon::NowMs).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "infra/result_codes.h"
#include "platform/clock.h"
#include "transport/hid/hid_transport.h"

namespace quillon {

class OHidLink {
public:
    static constexpr uint32_t kSendSize = 512;  // the command report is built here
    static constexpr uint32_t kRecvSize = 1024; // the reply reports land here
    static constexpr uint32_t kReportHeader = 3;
    static constexpr uint32_t kEchoAt = kReportHeader + 1; // in a reply's first report

    OHidLink() : m_pHid(quillon::OHidTransportFactory::pMake()) {}

    // Searches the reader again; the transport closes the previous device
    // first, so repeated calls hold one device at most.
    bool bOpen(uint16_t usVendorId, uint16_t usProductId) {
        return m_pHid && m_pHid->bOpenDevice(usVendorId, usProductId);
    }

    // Drops the input reports still queued, then writes the command; the
    // write gets the command's time-out. 0 when the report went out; BadArgument
    // when the command does not fit one report (nothing sent: a cut command
    // would reach the reader as another one); CommFailed when the write failed or
    // no device is open.
    int iSendCommand(uint8_t byReportId, const uint8_t* pCommand, uint32_t uiLen,
                     uint32_t uiTimeoutMs) {
        const uint32_t n = uiLen & 0xFFFF;
        const size_t uiReport = m_pHid ? m_pHid->uiOutputReportLength() : 0;
        if ((n && !pCommand) || kReportHeader + n > kSendSize ||
            (uiReport && kReportHeader + n > uiReport))
            return ToInt(quillon::Code::BadArgument);
        uint8_t report[kSendSize] = {};
        report[0] = byReportId;
        report[1] = static_cast<uint8_t>(n >> 8);
        report[2] = static_cast<uint8_t>(n);
        if (n)
            std::memcpy(report + kReportHeader, pCommand, n);
        if (!m_pHid)
            return ToInt(quillon::Code::CommFailed);
        m_pHid->vDrainInput();
        if (!m_pHid->bWriteReport(report, sizeof report, uiTimeoutMs))
            return ToInt(quillon::Code::CommFailed);
        return 0;
    }

    // One input report into pReport (at most uiSize bytes stored), waiting
    // no longer than uiMaxWaitMs and not past uiDeadline; false when none
    // arrived by then or nothing is open.
    bool bReadReport(uint8_t* pReport, size_t uiSize, uint32_t& uiCount, uint64_t uiDeadline,
                     uint32_t uiMaxWaitMs = UINT32_MAX) {
        uiCount = 0;
        uint32_t uiWait = quillon::MsLeft(uiDeadline);
        if (uiWait > uiMaxWaitMs)
            uiWait = uiMaxWaitMs;
        return m_pHid && m_pHid->bReadReport(pReport, uiSize, uiCount, uiWait);
    }

    // The first report of the reply to the command just sent: reads until a
    // report's echo answers it (bAnswers(echo), the two characters at
    // kEchoAt) and drops every other report; the buffer is cleared before
    // each read. False when none answered by uiDeadline, which is not
    // moved by the reports dropped.
    template <class Answers>
    bool bReadFirstReport(uint8_t* pReport, size_t uiSize, uint32_t& uiCount, uint64_t uiDeadline,
                          Answers bAnswers) {
        for (;;) {
            std::memset(pReport, 0, uiSize);
            if (!bReadReport(pReport, uiSize, uiCount, uiDeadline))
                return false;
            if (uiCount >= kEchoAt + 2 && bAnswers(pReport + kEchoAt))
                return true;
            if (quillon::MsLeft(uiDeadline) == 0)
                return false;
        }
    }

    // The command characters of a text command: the two after its "C".
    // Null for a text that has none (it cannot be told from its echo).
    static const uint8_t* pCommandCharacters(const uint8_t* pCommand, uint32_t uiLen) {
        return (pCommand && (uiLen & 0xFFFF) >= 3 && pCommand[0] == 'C') ? pCommand + 1 : nullptr;
    }

private:
    std::unique_ptr<quillon::OHidTransport> m_pHid;
};

} // namespace quillon
