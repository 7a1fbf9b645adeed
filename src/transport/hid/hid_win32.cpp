// The HID transport on Windows: the present interfaces of the HID class come
// from SetupAPI; each is opened without access to read its attributes, and
// the first one with the wanted vendor and product is opened again for
// overlapped writes and for overlapped reads, so that neither waits longer
// than its time-out. The report lengths are the HID class driver's own
// (HidP_GetCaps).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include "platform/win32_handle.h"
#include "transport/hid/hid_report_descriptor.h"
#include "transport/hid/hid_transport.h"

namespace quillon {

namespace {

// Longest interface detail the search accepts (the path is far shorter).
constexpr DWORD kMaxDetailBytes = 64 * 1024;
// How long a cancelled transfer may take to give its buffer back.
constexpr DWORD kCancelGraceMs = 1000;
// Reports taken one by one when the HID class driver refuses to flush.
constexpr int kMaxDrainedReports = 1024;

// Owns a device information set.
class ODeviceInfoSet {
public:
    explicit ODeviceInfoSet(HDEVINFO hSet) : m_hSet(hSet) {}
    ~ODeviceInfoSet() {
        if (bValid()) {
            ::SetupDiDestroyDeviceInfoList(m_hSet);
        }
    }
    ODeviceInfoSet(const ODeviceInfoSet&) = delete;
    ODeviceInfoSet& operator=(const ODeviceInfoSet&) = delete;

    HDEVINFO hGet() const { return m_hSet; }
    bool bValid() const { return m_hSet != INVALID_HANDLE_VALUE && m_hSet != nullptr; }

private:
    HDEVINFO m_hSet;
};

// Owns the preparsed data of one device.
class OPreparsedData {
public:
    OPreparsedData() = default;
    ~OPreparsedData() {
        if (m_pData != nullptr) {
            ::HidD_FreePreparsedData(m_pData);
        }
    }
    OPreparsedData(const OPreparsedData&) = delete;
    OPreparsedData& operator=(const OPreparsedData&) = delete;

    PHIDP_PREPARSED_DATA* ppOut() { return &m_pData; }
    PHIDP_PREPARSED_DATA pGet() const { return m_pData; }

private:
    PHIDP_PREPARSED_DATA m_pData = nullptr;
};

// The device path of one interface of the set.
bool bInterfacePath(HDEVINFO hSet, SP_DEVICE_INTERFACE_DATA& itf, std::string& sPath) {
    DWORD dwRequired = 0;
    ::SetupDiGetDeviceInterfaceDetailA(hSet, &itf, nullptr, 0, &dwRequired, nullptr);
    const size_t uiPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (dwRequired <= uiPathOffset || dwRequired > kMaxDetailBytes) {
        return false;
    }
    // DWORD storage keeps the record aligned for its size field.
    std::vector<DWORD> storage((dwRequired + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!::SetupDiGetDeviceInterfaceDetailA(hSet, &itf, pDetail, dwRequired, nullptr, nullptr)) {
        return false;
    }
    const char* pPath = reinterpret_cast<const char*>(storage.data()) + uiPathOffset;
    sPath.assign(pPath, strnlen(pPath, dwRequired - uiPathOffset));
    return !sPath.empty();
}

HANDLE hOpenDevice(const std::string& sPath, DWORD dwAccess, DWORD dwFlags) {
    return ::CreateFileA(sPath.c_str(), dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, dwFlags, nullptr);
}

// One overlapped transfer: its record, its event (manual reset, created
// signalled) and the report it moves. They live on the heap so that a
// transfer the system does not give back after its cancel can keep them.
struct tTransfer {
    OVERLAPPED overlapped{};
    OWinHandle event{::CreateEventA(nullptr, TRUE, TRUE, nullptr)};
    std::vector<uint8_t> report;
};

// How a transfer ended.
enum : int { kTransferDone, kTransferTimedOut, kTransferFailed };

// Waits at most dwTimeoutMs for a transfer that ReadFile or WriteFile
// started on hFile. A transfer still running then is cancelled and
// awaited for kCancelGraceMs more; if even that does not end it, the record
// and buffer are left to the system (pTransfer gives them up, the next
// transfer gets new ones) rather than being freed under a running transfer.
// Done with dwGot when the transfer completed, also when it did so just as
// the wait gave up.
int iAwait(HANDLE hFile, std::unique_ptr<tTransfer>& pTransfer, DWORD dwTimeoutMs, DWORD& dwGot) {
    tTransfer& t = *pTransfer;
    const DWORD dwWait = ::WaitForSingleObject(t.event.hGet(), dwTimeoutMs);
    if (dwWait == WAIT_OBJECT_0) {
        return ::GetOverlappedResult(hFile, &t.overlapped, &dwGot, FALSE) ? kTransferDone
                                                                          : kTransferFailed;
    }
    ::CancelIo(hFile);
    if (::WaitForSingleObject(t.event.hGet(), kCancelGraceMs) != WAIT_OBJECT_0) {
        pTransfer.release(); // still the system's: never freed
        return kTransferFailed;
    }
    if (::GetOverlappedResult(hFile, &t.overlapped, &dwGot, FALSE)) {
        return kTransferDone;
    }
    return dwWait == WAIT_TIMEOUT ? kTransferTimedOut : kTransferFailed;
}

// A transfer ready to start: a new one when the last was left to the system.
bool bReady(std::unique_ptr<tTransfer>& pTransfer, size_t uiReportLen) {
    if (!pTransfer) {
        pTransfer = std::make_unique<tTransfer>();
        pTransfer->report.assign(uiReportLen, 0);
    }
    if (!pTransfer->event.bValid()) {
        return false;
    }
    pTransfer->overlapped = OVERLAPPED{};
    pTransfer->overlapped.hEvent = pTransfer->event.hGet();
    return true;
}

class OWin32HidTransport : public OHidTransport {
public:
    OWin32HidTransport() = default;
    ~OWin32HidTransport() override { vClose(); }
    OWin32HidTransport(const OWin32HidTransport&) = delete;
    OWin32HidTransport& operator=(const OWin32HidTransport&) = delete;

    bool bOpenDevice(uint16_t usVendorId, uint16_t usProductId) override {
        vClose();
        GUID hidGuid;
        ::HidD_GetHidGuid(&hidGuid);
        ODeviceInfoSet set(::SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
        if (!set.bValid()) {
            return false;
        }
        for (DWORD dwIndex = 0;; ++dwIndex) {
            SP_DEVICE_INTERFACE_DATA itf{};
            itf.cbSize = sizeof(itf);
            if (!::SetupDiEnumDeviceInterfaces(set.hGet(), nullptr, &hidGuid, dwIndex, &itf)) {
                return false; // no more interfaces
            }
            std::string sPath;
            if (!bInterfacePath(set.hGet(), itf, sPath)) {
                continue;
            }
            // Access 0 opens even a device that another program holds.
            OWinHandle probe(hOpenDevice(sPath, 0, 0));
            HIDD_ATTRIBUTES attrs{};
            attrs.Size = sizeof(attrs);
            if (!probe.bValid() || !::HidD_GetAttributes(probe.hGet(), &attrs) ||
                attrs.VendorID != usVendorId || attrs.ProductID != usProductId) {
                continue;
            }

            // Found, whatever of the rest succeeds: a handle that cannot be
            // opened fails the writes or reads instead.
            OPreparsedData preparsed;
            HIDP_CAPS caps{};
            if (::HidD_GetPreparsedData(probe.hGet(), preparsed.ppOut()) &&
                ::HidP_GetCaps(preparsed.pGet(), &caps) == HIDP_STATUS_SUCCESS &&
                caps.OutputReportByteLength <= kHidMaxReportBytes &&
                caps.InputReportByteLength <= kHidMaxReportBytes) {
                // Reports beyond the limit leave both lengths 0, as on Linux:
                // found, but every write and read fails.
                m_uiOutLen = caps.OutputReportByteLength;
                m_uiInLen = caps.InputReportByteLength;
            }
            m_write.vReset(hOpenDevice(sPath, GENERIC_WRITE, FILE_FLAG_OVERLAPPED));
            m_read.vReset(hOpenDevice(sPath, GENERIC_READ, FILE_FLAG_OVERLAPPED));
            // Each with its event, manual reset, signalled until it first starts.
            bReady(m_pWrite, m_uiOutLen);
            bReady(m_pRead, m_uiInLen);
            return true;
        }
    }

    bool bWriteReport(const uint8_t* pReport, size_t uiBufSize, uint32_t uiTimeoutMs) override {
        if (!m_write.bValid() || m_uiOutLen == 0 || (pReport == nullptr && uiBufSize != 0) ||
            !bReady(m_pWrite, m_uiOutLen)) {
            return false;
        }
        // The report is sent from the transfer's own buffer, which outlives a
        // write that is still pending when the wait gives up.
        std::vector<uint8_t>& report = m_pWrite->report;
        std::fill(report.begin(), report.end(), 0);
        const size_t uiTake = std::min(uiBufSize, report.size());
        if (uiTake != 0) {
            std::memcpy(report.data(), pReport, uiTake);
        }
        const DWORD dwWant = static_cast<DWORD>(report.size());
        if (!::WriteFile(m_write.hGet(), report.data(), dwWant, nullptr, &m_pWrite->overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        // A device that never takes the report fails the write at the time-out.
        DWORD dwWritten = 0;
        return iAwait(m_write.hGet(), m_pWrite, uiTimeoutMs, dwWritten) == kTransferDone &&
               dwWritten == dwWant;
    }

    bool bReadReport(uint8_t* pReport, size_t uiBufSize, uint32_t& uiCount,
                     uint32_t uiTimeoutMs) override {
        if (!m_read.bValid() || m_uiInLen == 0 || pReport == nullptr ||
            !bReady(m_pRead, m_uiInLen)) {
            return false;
        }
        // The report lands in the transfer's own buffer, which outlives a
        // read that is still pending when the wait gives up.
        std::vector<uint8_t>& report = m_pRead->report;
        std::fill(report.begin(), report.end(), 0);
        if (!::ReadFile(m_read.hGet(), report.data(), static_cast<DWORD>(report.size()), nullptr,
                        &m_pRead->overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        DWORD dwGot = 0;
        const int iOutcome = iAwait(m_read.hGet(), m_pRead, uiTimeoutMs, dwGot);
        switch (iOutcome) {
        case kTransferDone: {
            const size_t uiGive = std::min(uiBufSize, report.size());
            std::memcpy(pReport, report.data(), uiGive);
            uiCount = static_cast<uint32_t>(uiGive);
            return true;
        }
        case kTransferTimedOut:
            uiCount = 0;
            return false;
        case kTransferFailed:
            break;
        }
        return false;
    }

    void vDrainInput() override {
        if (!m_read.bValid()) {
            return;
        }
        if (::HidD_FlushQueue(m_read.hGet())) {
            return;
        }
        // Take the queued reports one by one, with reads that do not wait.
        uint8_t byScratch = 0;
        uint32_t uiCount = 0;
        for (int i = 0; i < kMaxDrainedReports && bReadReport(&byScratch, 1, uiCount, 0); ++i) {
        }
    }

    size_t uiInputReportLength() const override { return m_uiInLen; }
    size_t uiOutputReportLength() const override { return m_uiOutLen; }

    void vClose() override {
        m_write.vReset();
        m_read.vReset();
        m_pWrite.reset();
        m_pRead.reset();
        m_uiOutLen = 0;
        m_uiInLen = 0;
    }

private:
    OWinHandle m_write;
    OWinHandle m_read;
    std::unique_ptr<tTransfer> m_pWrite;
    std::unique_ptr<tTransfer> m_pRead;
    size_t m_uiOutLen = 0;
    size_t m_uiInLen = 0;
};

} // namespace

std::unique_ptr<OHidTransport> MakeSystemHidTransport() {
    return std::make_unique<OWin32HidTransport>();
}

} // namespace quillon
