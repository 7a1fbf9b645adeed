// OHidLink: the USB side that both HID drivers share. It owns the driver's
// HID transport (made at construction, not opened: until the first search
// every write fails) and writes a command report the family's codec built
// (readers/hid_report.h).
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
#include "readers/hid_report.h"
#include "transport/hid/hid_transport.h"

namespace quillon {

class OHidLink {
public:
    static constexpr uint32_t kSendSize = quillon::hid::kCommandReportSize;
    static constexpr uint32_t kRecvSize = 1024; // the reply reports land here
    static constexpr uint32_t kEchoAt = quillon::hid::kReportHead + 1; // in a reply's first report

    OHidLink() : m_pHid(quillon::OHidTransportFactory::pMake()) {}

    // Searches the reader again; the transport closes the previous device
    // first, so repeated calls hold one device at most.
    bool bOpen(uint16_t usVendorId, uint16_t usProductId) {
        return m_pHid && m_pHid->bOpenDevice(usVendorId, usProductId);
    }

    // Drops the input reports still queued, then writes the command report
    // whose first uiUsed bytes carry the command (the whole buffer goes out);
    // the write gets the command's time-out. BadArgument when the command
    // does not fit the device's output report (nothing sent: a cut command
    // would reach the reader as another one); CommFailed when the write
    // failed or no device is open.
    quillon::Code eSendReport(const uint8_t (&abReport)[kSendSize], uint32_t uiUsed,
                              uint32_t uiTimeoutMs) {
        const size_t uiReport = m_pHid ? m_pHid->uiOutputReportLength() : 0;
        if (uiReport && uiUsed > uiReport)
            return quillon::Code::BadArgument;
        if (!m_pHid)
            return quillon::Code::CommFailed;
        m_pHid->vDrainInput();
        if (!m_pHid->bWriteReport(abReport, sizeof abReport, uiTimeoutMs))
            return quillon::Code::CommFailed;
        return quillon::Code::Ok;
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
