// The hidraw transport over a tree of its own: <root>/class/hidrawN/device holds
// uevent and report_descriptor; <root>/dev/hidrawN is a regular file that keeps
// what is written, or a FIFO that the test feeds.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "transport/hid/hid_transport.h"

using namespace quillon;

namespace {
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
const char* const kReaderId = "HID_ID=0003:00000590:00000035";

// Vendor-defined, 64 data bytes each way; with or without report ID 2.
Bytes VendorDescriptor(bool bNumbered) {
    Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02,
               0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x91, 0x02, 0xC0};
    if (!bNumbered)
        d.erase(d.begin() + 7, d.begin() + 9);
    return d;
}
size_t uiOpenFds() {
    return size_t(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

class HidrawTree : public testing::Test {
protected:
    HidrawTree() {
        char acTemplate[] = "/tmp/quillon-hidraw-XXXXXX";
        m_root = mkdtemp(acTemplate);
        vClear();
    }
    ~HidrawTree() override { fs::remove_all(m_root); }
    void vClear() {
        fs::remove_all(m_root / "class");
        fs::remove_all(m_root / "dev");
        fs::create_directories(m_root / "dev");
    }
    void vAdd(const std::string& sName, const std::string& sUevent, bool bFifo = false,
              const Bytes& desc = VendorDescriptor(true)) {
        const fs::path dev = m_root / "class" / sName / "device";
        fs::create_directories(dev);
        std::ofstream(dev / "uevent") << "DRIVER=hid-generic\n" << sUevent << "\nHID_NAME=x\n";
        std::ofstream(dev / "report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(desc.data()), std::streamsize(desc.size()));
        if (!bFifo)
            std::ofstream{sNode(sName)};
        else
            ASSERT_EQ(mkfifo(sNode(sName).c_str(), 0600), 0);
    }
    std::string sNode(const std::string& sName) const { return (m_root / "dev" / sName).string(); }
    Bytes NodeContent(const std::string& sName) const {
        std::ifstream in(sNode(sName), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // The transport, searched for the reader's ids.
    std::unique_ptr<OHidTransport> Open(bool bExpectFound = true) {
        auto pHid = MakeHidrawTransport((m_root / "class").string(), (m_root / "dev").string());
        EXPECT_EQ(bExpectFound, pHid->bOpenDevice(0x0590, 0x0035));
        return pHid;
    }
    fs::path m_root;
};

TEST_F(HidrawTree, SearchTakesTheFirstInterfaceWithBothIds) {
    const std::vector<std::pair<std::vector<std::pair<const char*, std::string>>, const char*>>
        kCases = {
            // same ids: the lowest number, not the first by name or in the folder
            {{{"hidraw10", kReaderId},
              {"hidraw3", kReaderId},
              {"hidraw11", kReaderId},
              {"hidraw2", "HID_ID=0003:000004A4:0000008B"}},
             "hidraw3"},
            {{{"hidraw0", "HID_ID=0003:00000590:0000008B"},
              {"hidraw1", "HID_ID=0003:000004A4:00000035"}},
             nullptr},                                                   // vendor or product alone
            {{{"hidraw3", "HID_ID=0005:00000590:00000035"}}, "hidraw3"}, // other bus
            {{{"hidraw0", "HID_ID=0003:00010590:00000035"}}, nullptr},   // above 16 bits
            {{{"hidraw0", "HID_ID=0003:00000590"}}, nullptr},            // cut short
            {{{"hidraw0", "HID_NAME=reader"}}, nullptr},                 // no HID_ID line
            {{{"hidrawx", kReaderId}, {"input0", kReaderId}}, nullptr},  // not hidrawN
        };
    for (const auto& [interfaces, pChosen] : kCases) {
        SCOPED_TRACE(interfaces[0].second);
        vClear();
        for (const auto& [pName, sUevent] : interfaces)
            vAdd(pName, sUevent);
        auto pHid = Open(pChosen != nullptr);
        const Bytes report(512, 0x02);
        EXPECT_EQ(pHid->bWriteReport(report.data(), report.size(), 1000), pChosen != nullptr);
        for (const auto& [pName, sUevent] : interfaces)
            EXPECT_EQ(NodeContent(pName).size(),
                      pChosen && pName == std::string(pChosen) ? 65u : 0u)
                << pName;
    }
}

TEST_F(HidrawTree, WriteSendsExactlyTheOutputReportLength) {
    vAdd("hidraw0", kReaderId);
    auto pHid = Open();
    EXPECT_EQ(pHid->uiOutputReportLength(), 65u);
    EXPECT_EQ(pHid->uiInputReportLength(), 65u);
    Bytes big(512);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i + 1);
    const Bytes small = {0x02, 0x00, 0x03};
    ASSERT_TRUE(pHid->bWriteReport(big.data(), big.size(), 1000));
    ASSERT_TRUE(pHid->bWriteReport(small.data(), small.size(), 1000));
    Bytes expected(big.begin(), big.begin() + 65);
    expected.insert(expected.end(), small.begin(), small.end());
    expected.resize(130, 0); // the short buffer's report is padded with zeros
    EXPECT_EQ(NodeContent("hidraw0"), expected);
}

// One report per read, its ID byte first (0 put in front when not numbered),
// cut to the buffer; a read that times out leaves the next one working.
TEST_F(HidrawTree, ReadDeliversOneReportAndSurvivesATimeOut) {
    const std::vector<std::tuple<bool, size_t, uint32_t>> kCases = {
        {true, 1024, 30}, {false, 1024, 0}, {true, 10, 0}}; // numbered, buffer, first wait
    for (const auto& [bNumbered, uiBufSize, uiWaitMs] : kCases) {
        SCOPED_TRACE(uiBufSize + bNumbered);
        vClear();
        vAdd("hidraw0", kReaderId, true, VendorDescriptor(bNumbered));
        const int iFeed = open(sNode("hidraw0").c_str(), O_RDWR);
        ASSERT_GE(iFeed, 0);
        auto pHid = Open();
        Bytes buf(uiBufSize + 1, 0xEE);
        uint32_t uiCount = 99;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(pHid->bReadReport(buf.data(), uiBufSize, uiCount, uiWaitMs));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(uiWaitMs));
        EXPECT_EQ(uiCount, 0u);

        Bytes sent(65, 0);
        for (size_t i = 1; i < sent.size(); ++i)
            sent[i] = uint8_t(0xA0 + i);
        sent[0] = bNumbered ? 0x02 : 0x00;
        const size_t uiSkip = bNumbered ? 0 : 1; // the device sends no ID byte
        ASSERT_EQ(write(iFeed, sent.data() + uiSkip, 65 - uiSkip), ssize_t(65 - uiSkip));
        ASSERT_TRUE(pHid->bReadReport(buf.data(), uiBufSize, uiCount, 1000));
        const size_t uiExpected = std::min<size_t>(65, uiBufSize);
        EXPECT_EQ(uiCount, uiExpected);
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + long(uiExpected)),
                  Bytes(sent.begin(), sent.begin() + long(uiExpected)));
        EXPECT_EQ(buf[uiExpected], 0xEE);
        close(iFeed);
    }
}

// Reports queued before a command are dropped without waiting; what comes later is read.
TEST_F(HidrawTree, DrainDropsWhatIsQueuedAndWaitsForNothing) {
    vAdd("hidraw0", kReaderId, true);
    const int iFeed = open(sNode("hidraw0").c_str(), O_RDWR);
    ASSERT_GE(iFeed, 0);
    auto pHid = Open();
    Bytes stale(65 * 3, 0x02);
    ASSERT_EQ(write(iFeed, stale.data(), stale.size()), ssize_t(stale.size()));
    pHid->vDrainInput();
    Bytes buf(1024);
    uint32_t uiCount = 99;
    EXPECT_FALSE(pHid->bReadReport(buf.data(), buf.size(), uiCount, 0));
    EXPECT_EQ(uiCount, 0u);
    pHid->vDrainInput(); // nothing queued: returns at once

    const Bytes fresh(65, 0x33);
    ASSERT_EQ(write(iFeed, fresh.data(), fresh.size()), 65);
    ASSERT_TRUE(pHid->bReadReport(buf.data(), buf.size(), uiCount, 1000));
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 65), fresh);
    close(iFeed);
}

// A FIFO nobody reads cannot be opened for writing; the read side still works.
TEST_F(HidrawTree, DeviceThatCannotBeOpenedForWritingIsFoundAndReadOnly) {
    vAdd("hidraw0", kReaderId, true);
    auto pHid = Open();
    const Bytes report(65, 0x02);
    EXPECT_FALSE(pHid->bWriteReport(report.data(), report.size(), 1000));
    const int iFeed = open(sNode("hidraw0").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(iFeed, 0);
    ASSERT_EQ(write(iFeed, report.data(), report.size()), 65);
    Bytes buf(1024);
    uint32_t uiCount = 0;
    EXPECT_TRUE(pHid->bReadReport(buf.data(), buf.size(), uiCount, 1000));
    close(iFeed);
}

TEST_F(HidrawTree, RepeatedSearchAndDestructionLeaveNoDescriptorOpen) {
    vAdd("hidraw0", kReaderId);
    const size_t uiBefore = uiOpenFds();
    {
        auto pHid = Open();
        EXPECT_EQ(uiOpenFds(), uiBefore + 2); // write and read side
        ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));
        EXPECT_EQ(uiOpenFds(), uiBefore + 2);
        EXPECT_FALSE(pHid->bOpenDevice(0x04A4, 0x008B));
        EXPECT_EQ(uiOpenFds(), uiBefore);
        EXPECT_EQ(pHid->uiOutputReportLength(), 0u);
        ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));
    }
    EXPECT_EQ(uiOpenFds(), uiBefore);
}
} // namespace
