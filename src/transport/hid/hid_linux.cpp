// The HID transport on Linux: hidraw. The interfaces are the entries
// hidrawN of the class folder, taken in the order of N; each one's
// device/uevent names its bus, vendor and product (HID_ID=0003:VVVVVVVV:PPPPPPPP)
// and its device node is <device folder>/hidrawN. The report lengths come
// from the report descriptor (HIDIOCGRDESC, or the device/report_descriptor
// file of the class folder when the node does not answer the ioctl).
//
// hidraw takes an output report with the report ID first, 0 for a device
// that numbers no reports, just as Windows does; it hands over input reports
// of such a device without that byte, so the reads put a 0 in front.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/deadline.h"
#include "platform/posix_fd.h"

#include "transport/hid/hid_report_descriptor.h"
#include "transport/hid/hid_transport.h"

namespace quillon {

namespace {

// One wait of the system for one report (a real wait, not a deadline that
// spans reads: those the drivers keep on the library's clock).
using Clock = std::chrono::steady_clock;

constexpr size_t kMaxUeventBytes = 4096;
constexpr size_t kMaxDescriptorBytes = HID_MAX_DESCRIPTOR_SIZE;
// hidraw queues 64 reports per open file; a device that keeps sending
// cannot hold a drain longer than this many reads.
constexpr int kMaxDrainedReports = 1024;

// Owns a directory stream.
struct ODirCloser {
    void operator()(DIR* pDir) const { ::closedir(pDir); }
};
using ODir = std::unique_ptr<DIR, ODirCloser>;

// Reads at most uiMax bytes of a file.
bool bReadFile(const std::string& sPath, size_t uiMax, std::string& sOut) {
    sOut.clear();
    OFd fd(::open(sPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.bValid()) {
        return false;
    }
    char acChunk[1024];
    while (sOut.size() < uiMax) {
        const size_t uiWant = std::min(sizeof(acChunk), uiMax - sOut.size());
        const ssize_t iRc = ::read(fd.iGet(), acChunk, uiWant);
        if (iRc < 0 && errno == EINTR) {
            continue;
        }
        if (iRc < 0) {
            return false;
        }
        if (iRc == 0) {
            break;
        }
        sOut.append(acChunk, static_cast<size_t>(iRc));
    }
    return true;
}

bool bHexField(const std::string& sText, uint32_t& uiValue) {
    if (sText.empty() || sText.size() > 8) {
        return false;
    }
    uiValue = 0;
    for (char c : sText) {
        uint32_t uiDigit;
        if (c >= '0' && c <= '9') {
            uiDigit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            uiDigit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            uiDigit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        uiValue = (uiValue << 4) | uiDigit;
    }
    return true;
}

// Vendor and product from the HID_ID line of a uevent ("bus:vendor:product",
// hexadecimal).
bool bHidIdFromUevent(const std::string& sUevent, uint32_t& uiVendor, uint32_t& uiProduct) {
    static const std::string kKey = "HID_ID=";
    size_t uiLine = 0;
    while (uiLine < sUevent.size()) {
        size_t uiEnd = sUevent.find('\n', uiLine);
        if (uiEnd == std::string::npos) {
            uiEnd = sUevent.size();
        }
        if (sUevent.compare(uiLine, kKey.size(), kKey) == 0) {
            const std::string sValue =
                sUevent.substr(uiLine + kKey.size(), uiEnd - uiLine - kKey.size());
            const size_t uiColon1 = sValue.find(':');
            const size_t uiColon2 =
                uiColon1 == std::string::npos ? uiColon1 : sValue.find(':', uiColon1 + 1);
            uint32_t uiBus;
            return uiColon2 != std::string::npos && bHexField(sValue.substr(0, uiColon1), uiBus) &&
                   bHexField(sValue.substr(uiColon1 + 1, uiColon2 - uiColon1 - 1), uiVendor) &&
                   bHexField(sValue.substr(uiColon2 + 1), uiProduct);
        }
        uiLine = uiEnd + 1;
    }
    return false;
}

// The hidrawN entries of the class folder, in the order of N.
std::vector<std::string> HidrawNames(const std::string& sClassDir) {
    std::vector<std::pair<unsigned long, std::string>> entries;
    ODir dir(::opendir(sClassDir.c_str()));
    if (!dir) {
        return {};
    }
    static const char kPrefix[] = "hidraw";
    const size_t uiPrefix = sizeof(kPrefix) - 1;
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const std::string sName = pEntry->d_name;
        if (sName.size() <= uiPrefix || sName.size() > uiPrefix + 9 ||
            sName.compare(0, uiPrefix, kPrefix) != 0 ||
            !std::all_of(sName.begin() + uiPrefix, sName.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        entries.emplace_back(std::stoul(sName.substr(uiPrefix)), sName);
    }
    std::sort(entries.begin(), entries.end());
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (auto& entry : entries) {
        names.push_back(std::move(entry.second));
    }
    return names;
}

bool bDescriptorByIoctl(int iFd, std::string& sOut) {
    int iSize = 0;
    if (::ioctl(iFd, HIDIOCGRDESCSIZE, &iSize) < 0 || iSize <= 0 ||
        static_cast<size_t>(iSize) > kMaxDescriptorBytes) {
        return false;
    }
    auto pDesc = std::make_unique<hidraw_report_descriptor>();
    pDesc->size = static_cast<__u32>(iSize);
    if (::ioctl(iFd, HIDIOCGRDESC, pDesc.get()) < 0) {
        return false;
    }
    sOut.assign(reinterpret_cast<const char*>(pDesc->value), static_cast<size_t>(iSize));
    return true;
}

class OHidrawTransport : public OHidTransport {
public:
    OHidrawTransport(std::string sClassDir, std::string sDevDir)
        : m_sClassDir(std::move(sClassDir)), m_sDevDir(std::move(sDevDir)) {}
    ~OHidrawTransport() override { vClose(); }
    OHidrawTransport(const OHidrawTransport&) = delete;
    OHidrawTransport& operator=(const OHidrawTransport&) = delete;

    bool bOpenDevice(uint16_t usVendorId, uint16_t usProductId) override {
        vClose();
        for (const std::string& sName : HidrawNames(m_sClassDir)) {
            const std::string sSysDevice = m_sClassDir + "/" + sName + "/device";
            std::string sUevent;
            uint32_t uiVendor = 0;
            uint32_t uiProduct = 0;
            if (!bReadFile(sSysDevice + "/uevent", kMaxUeventBytes, sUevent) ||
                !bHidIdFromUevent(sUevent, uiVendor, uiProduct) || uiVendor != usVendorId ||
                uiProduct != usProductId) {
                continue;
            }

            // Found, whatever of the rest succeeds: a node that cannot be
            // opened, or a descriptor that cannot be read, fails the writes
            // and reads instead.
            const std::string sNode = m_sDevDir + "/" + sName;
            m_writeFd.vReset(::open(sNode.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            m_readFd.vReset(::open(sNode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));

            std::string sDesc;
            const bool bHaveDesc =
                (m_readFd.bValid() && bDescriptorByIoctl(m_readFd.iGet(), sDesc)) ||
                bReadFile(sSysDevice + "/report_descriptor", kMaxDescriptorBytes, sDesc);
            tHidReportLengths lengths;
            if (bHaveDesc && bParseReportDescriptor(reinterpret_cast<const uint8_t*>(sDesc.data()),
                                                    sDesc.size(), lengths)) {
                m_lengths = lengths;
            }
            m_outReport.assign(m_lengths.uiOutput, 0);
            m_inReport.assign(m_lengths.uiInput, 0);
            return true;
        }
        return false;
    }

    bool bWriteReport(const uint8_t* pReport, size_t uiBufSize, uint32_t uiTimeoutMs) override {
        if (!m_writeFd.bValid() || m_outReport.empty() || (pReport == nullptr && uiBufSize != 0)) {
            return false;
        }
        std::fill(m_outReport.begin(), m_outReport.end(), 0);
        const size_t uiTake = std::min(uiBufSize, m_outReport.size());
        if (uiTake != 0) {
            std::memcpy(m_outReport.data(), pReport, uiTake);
        }

        // A report goes out in one write(2) or not at all. A node that has
        // no room waits for it until the time-out (the kernel bounds the USB
        // transfer of a write it took).
        const auto deadline = Clock::now() + std::chrono::milliseconds(uiTimeoutMs);
        for (;;) {
            const ssize_t iRc = ::write(m_writeFd.iGet(), m_outReport.data(), m_outReport.size());
            if (iRc >= 0) {
                return static_cast<size_t>(iRc) == m_outReport.size();
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
            const int iLeft = iPollMsLeft(deadline);
            pollfd pfd{m_writeFd.iGet(), POLLOUT, 0};
            const int iPolled = iLeft == 0 ? 0 : ::poll(&pfd, 1, iLeft);
            if (iPolled < 0 && errno == EINTR) {
                continue;
            }
            if (iPolled <= 0 || (pfd.revents & POLLOUT) == 0) {
                return false;
            }
        }
    }

    bool bReadReport(uint8_t* pReport, size_t uiBufSize, uint32_t& uiCount,
                     uint32_t uiTimeoutMs) override {
        if (!m_readFd.bValid() || m_inReport.empty() || pReport == nullptr) {
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(uiTimeoutMs);
        // A device without report numbers sends the data alone; byte 0 stays 0.
        const size_t uiSkip = m_lengths.bNumbered ? 0 : 1;
        for (;;) {
            const int iLeft = iPollMsLeft(deadline);
            pollfd pfd{m_readFd.iGet(), POLLIN, 0};
            const int iRc = ::poll(&pfd, 1, iLeft);
            if (iRc < 0 && errno == EINTR) {
                continue;
            }
            if (iRc < 0 || (pfd.revents & POLLNVAL) != 0) {
                return false;
            }
            if (iRc == 0) {
                if (iLeft == 0) {
                    uiCount = 0;
                    return false;
                }
                continue; // woke a little early
            }

            std::fill(m_inReport.begin(), m_inReport.end(), 0);
            const ssize_t iGot =
                ::read(m_readFd.iGet(), m_inReport.data() + uiSkip, m_inReport.size() - uiSkip);
            if (iGot > 0) {
                // Like Windows, hand over a whole report: a short one is
                // padded with zeros.
                const size_t uiGive = std::min(uiBufSize, m_inReport.size());
                std::memcpy(pReport, m_inReport.data(), uiGive);
                uiCount = static_cast<uint32_t>(uiGive);
                return true;
            }
            const bool bRetry = iGot < 0 &&
                                (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) &&
                                (pfd.revents & (POLLERR | POLLHUP)) == 0;
            if (!bRetry) {
                return false; // end of file (device gone) or error
            }
        }
    }

    void vDrainInput() override {
        if (!m_readFd.bValid() || m_inReport.empty()) {
            return;
        }
        // The node is non-blocking: read until nothing is left.
        for (int i = 0; i < kMaxDrainedReports; ++i) {
            const ssize_t iGot = ::read(m_readFd.iGet(), m_inReport.data(), m_inReport.size());
            if (iGot < 0 && errno == EINTR) {
                continue;
            }
            if (iGot <= 0) {
                return; // empty (EAGAIN), device gone, or error
            }
        }
    }

    size_t uiInputReportLength() const override { return m_lengths.uiInput; }
    size_t uiOutputReportLength() const override { return m_lengths.uiOutput; }

    void vClose() override {
        m_writeFd.vReset();
        m_readFd.vReset();
        m_lengths = tHidReportLengths{};
        m_outReport.clear();
        m_inReport.clear();
    }

private:
    const std::string m_sClassDir;
    const std::string m_sDevDir;
    OFd m_writeFd;
    OFd m_readFd;
    tHidReportLengths m_lengths;
    std::vector<uint8_t> m_outReport;
    std::vector<uint8_t> m_inReport;
};

} // namespace

std::unique_ptr<OHidTransport> MakeHidrawTransport(const std::string& sClassDir,
                                                   const std::string& sDevDir) {
    return std::make_unique<OHidrawTransport>(sClassDir, sDevDir);
}

// QUILLON_HIDRAW_ROOT=<root> puts the interfaces under <root>/sys/class/hidraw
// and their nodes under <root>/dev (an emulated reader, a test). It is read
// like QUILLON_CONFIG, which already names the serial port, and ignored in a
// process that runs with more rights than its caller (set-user-ID, file
// capabilities): secure_getenv.
std::unique_ptr<OHidTransport> MakeSystemHidTransport() {
    const char* pRoot = ::secure_getenv("QUILLON_HIDRAW_ROOT");
    const std::string sRoot = pRoot != nullptr ? pRoot : "";
    return MakeHidrawTransport(sRoot + "/sys/class/hidraw", sRoot + "/dev");
}

} // namespace quillon
