// The HID transport on Windows: the present interfaces of the HID class come
// from SetupAPI; each is opened without access to read its attributes, and
// the first one with the wanted vendor and product is opened again for
// synchronous writes and for overlapped reads. The report lengths are the
// HID class driver's own (HidP_GetCaps).
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

#include "transport/hid/hid_report_descriptor.h"
#include "transport/hid/hid_transport.h"

namespace {

// Longest interface detail the search accepts (the path is far shorter).
constexpr DWORD kMaxDetailBytes = 64 * 1024;

// Owns a kernel handle; both NULL and INVALID_HANDLE_VALUE mean none.
class OHandle {
public:
    OHandle() = default;
    explicit OHandle(HANDLE h) : m_h(h) {}
    ~OHandle() { vReset(); }
    OHandle(const OHandle&) = delete;
    OHandle& operator=(const OHandle&) = delete;

    HANDLE hGet() const { return m_h; }
    bool bValid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    void vReset(HANDLE h = nullptr) {
        if (bValid()) {
            ::CloseHandle(m_h);
        }
        m_h = h;
    }

private:
    HANDLE m_h = nullptr;
};

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
            OHandle probe(hOpenDevice(sPath, 0, 0));
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
                m_outReport.assign(caps.OutputReportByteLength, 0);
                m_inReport.assign(caps.InputReportByteLength, 0);
            }
            m_write.vReset(hOpenDevice(sPath, GENERIC_WRITE, 0));
            m_read.vReset(hOpenDevice(sPath, GENERIC_READ, FILE_FLAG_OVERLAPPED));
            // Manual reset, signalled until the first read starts.
            m_readEvent.vReset(::CreateEventA(nullptr, TRUE, TRUE, nullptr));
            return true;
        }
    }

    bool bWriteReport(const uint8_t* pReport, size_t uiBufSize) override {
        if (!m_write.bValid() || m_outReport.empty() || (pReport == nullptr && uiBufSize != 0)) {
            return false;
        }
        std::fill(m_outReport.begin(), m_outReport.end(), 0);
        const size_t uiTake = std::min(uiBufSize, m_outReport.size());
        if (uiTake != 0) {
            std::memcpy(m_outReport.data(), pReport, uiTake);
        }
        const DWORD dwWant = static_cast<DWORD>(m_outReport.size());
        DWORD dwWritten = 0;
        return ::WriteFile(m_write.hGet(), m_outReport.data(), dwWant, &dwWritten, nullptr) &&
               dwWritten == dwWant;
    }

    bool bReadReport(uint8_t* pReport, size_t uiBufSize, uint32_t& uiCount,
                     uint32_t uiTimeoutMs) override {
        if (!m_read.bValid() || !m_readEvent.bValid() || m_inReport.empty() || pReport == nullptr) {
            return false;
        }
        // The report lands in the transport's own buffer, which outlives a
        // read that is still pending when the wait gives up.
        std::fill(m_inReport.begin(), m_inReport.end(), 0);
        m_overlapped = OVERLAPPED{};
        m_overlapped.hEvent = m_readEvent.hGet();
        if (!::ReadFile(m_read.hGet(), m_inReport.data(), static_cast<DWORD>(m_inReport.size()),
                        nullptr, &m_overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            return false;
        }

        const DWORD dwWait = ::WaitForSingleObject(m_readEvent.hGet(), uiTimeoutMs);
        if (dwWait == WAIT_OBJECT_0) {
            DWORD dwGot = 0;
            if (!::GetOverlappedResult(m_read.hGet(), &m_overlapped, &dwGot, FALSE)) {
                return false;
            }
            const size_t uiGive = std::min(uiBufSize, m_inReport.size());
            std::memcpy(pReport, m_inReport.data(), uiGive);
            uiCount = static_cast<uint32_t>(uiGive);
            return true;
        }

        // Cancel the read and let it finish, so that the next one starts
        // clean and nothing is written into the buffer afterwards.
        ::CancelIo(m_read.hGet());
        DWORD dwGot = 0;
        ::GetOverlappedResult(m_read.hGet(), &m_overlapped, &dwGot, TRUE);
        if (dwWait == WAIT_TIMEOUT) {
            uiCount = 0;
        }
        return false;
    }

    size_t uiInputReportLength() const override { return m_inReport.size(); }
    size_t uiOutputReportLength() const override { return m_outReport.size(); }

    void vClose() override {
        m_write.vReset();
        m_read.vReset();
        m_readEvent.vReset();
        m_overlapped = OVERLAPPED{};
        m_outReport.clear();
        m_inReport.clear();
    }

private:
    OHandle m_write;
    OHandle m_read;
    OHandle m_readEvent;
    OVERLAPPED m_overlapped{};
    std::vector<uint8_t> m_outReport;
    std::vector<uint8_t> m_inReport;
};

} // namespace

std::unique_ptr<OHidTransport> MakeSystemHidTransport() {
    return std::make_unique<OWin32HidTransport>();
}
