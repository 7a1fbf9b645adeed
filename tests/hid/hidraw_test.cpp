// The hidraw transport over a tree of its own: <root>/class/hidrawN/device
// holds the uevent and report_descriptor files that sysfs would, and
// <root>/dev/hidrawN stands for the device node (a regular file that keeps
// what is written, or a FIFO that the test feeds).
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "transport/hid/hid_transport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Vendor-defined, 64 data bytes each way; with or without report ID 2.
Bytes VendorDescriptor(bool bNumbered) {
    Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    if (bNumbered)
        d.insert(d.end(), {0x85, 0x02});
    d.insert(d.end(), {0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x91, 0x02, 0xC0});
    return d;
}

const char* const kReaderId = "HID_ID=0003:00000590:00000035";

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
        fs::create_directories(m_root / "class");
        fs::create_directories(m_root / "dev");
    }

    enum class Node { File, Fifo };
    void vAdd(const std::string& sName, const std::string& sUevent, Node node = Node::File,
              const Bytes& desc = VendorDescriptor(true)) {
        const fs::path dev = m_root / "class" / sName / "device";
        fs::create_directories(dev);
        std::ofstream(dev / "uevent") << "DRIVER=hid-generic\n" << sUevent << "\nHID_NAME=x\n";
        std::ofstream(dev / "report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(desc.data()), std::streamsize(desc.size()));
        if (node == Node::File)
            std::ofstream(sNode(sName));
        else
            ASSERT_EQ(mkfifo(sNode(sName).c_str(), 0600), 0);
    }
    std::string sNode(const std::string& sName) const { return (m_root / "dev" / sName).string(); }
    Bytes NodeContent(const std::string& sName) const {
        std::ifstream in(sNode(sName), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::unique_ptr<OHidTransport> Transport() const {
        return MakeHidrawTransport((m_root / "class").string(), (m_root / "dev").string());
    }

    fs::path m_root;
};

size_t uiOpenFds() {
    return size_t(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST_F(HidrawTree, SearchTakesTheFirstInterfaceWithBothIds) {
    const struct {
        const char* pName;
        std::vector<std::pair<std::string, std::string>> interfaces;
        const char* pChosen; // nullptr: not found
    } kCases[] = {
        {"same ids twice: lowest number, not first by name",
         {{"hidraw10", kReaderId},
          {"hidraw2", kReaderId},
          {"hidraw1", "HID_ID=0003:000004A4:0000008B"}},
         "hidraw2"},
        {"vendor or product alone is not enough",
         {{"hidraw0", "HID_ID=0003:00000590:0000008B"},
          {"hidraw1", "HID_ID=0003:000004A4:00000035"}},
         nullptr},
        {"other bus, upper-case hex", {{"hidraw3", "HID_ID=0005:00000590:00000035"}}, "hidraw3"},
        {"ids above 16 bits", {{"hidraw0", "HID_ID=0003:00010590:00000035"}}, nullptr},
        {"HID_ID cut short", {{"hidraw0", "HID_ID=0003:00000590"}}, nullptr},
        {"no HID_ID line", {{"hidraw0", "HID_NAME=reader"}}, nullptr},
        {"entries not named hidrawN", {{"hidrawx", kReaderId}, {"input0", kReaderId}}, nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pName);
        vClear();
        for (const auto& itf : c.interfaces)
            vAdd(itf.first, itf.second);

        auto pHid = Transport();
        ASSERT_EQ(pHid->bOpenDevice(0x0590, 0x0035), c.pChosen != nullptr);
        const Bytes report(512, 0x02);
        EXPECT_EQ(pHid->bWriteReport(report.data(), report.size()), c.pChosen != nullptr);
        for (const auto& itf : c.interfaces) {
            const bool bChosen = c.pChosen != nullptr && itf.first == c.pChosen;
            EXPECT_EQ(NodeContent(itf.first).size(), bChosen ? 65u : 0u) << itf.first;
        }
    }
}

TEST_F(HidrawTree, WriteSendsExactlyTheOutputReportLength) {
    vAdd("hidraw0", kReaderId);
    auto pHid = Transport();
    ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));
    ASSERT_EQ(pHid->uiOutputReportLength(), 65u);
    ASSERT_EQ(pHid->uiInputReportLength(), 65u);

    Bytes big(512);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i + 1);
    const Bytes small = {0x02, 0x00, 0x03};
    ASSERT_TRUE(pHid->bWriteReport(big.data(), big.size()));
    ASSERT_TRUE(pHid->bWriteReport(small.data(), small.size()));

    Bytes expected(big.begin(), big.begin() + 65);
    expected.insert(expected.end(), small.begin(), small.end());
    expected.resize(130, 0); // the short buffer's report is padded with zeros
    EXPECT_EQ(NodeContent("hidraw0"), expected);
}

TEST_F(HidrawTree, ReadDeliversOneReportWithItsIdByteWithinTheBuffer) {
    const struct {
        const char* pName;
        bool bNumbered;
        size_t uiBufSize;
    } kCases[] = {
        {"numbered: the ID comes from the device", true, 1024},
        {"not numbered: a 0 is put in front", false, 1024},
        {"buffer smaller than the report", true, 10},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pName);
        const std::string sName = c.bNumbered ? "hidraw0" : "hidraw1";
        vAdd(sName, kReaderId, Node::Fifo, VendorDescriptor(c.bNumbered));
        const int iFeed = open(sNode(sName).c_str(), O_RDWR);
        ASSERT_GE(iFeed, 0);
        auto pHid = Transport();
        ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));

        Bytes sent(64);
        for (size_t i = 0; i < sent.size(); ++i)
            sent[i] = uint8_t(0xA0 + i);
        if (c.bNumbered)
            sent.insert(sent.begin(), 0x02);
        ASSERT_EQ(write(iFeed, sent.data(), sent.size()), ssize_t(sent.size()));

        Bytes buf(c.uiBufSize + 1, 0xEE);
        uint32_t uiCount = 0;
        ASSERT_TRUE(pHid->bReadReport(buf.data(), c.uiBufSize, uiCount, 1000));
        const size_t uiExpected = std::min<size_t>(65, c.uiBufSize);
        EXPECT_EQ(uiCount, uiExpected);
        EXPECT_EQ(buf[0], c.bNumbered ? 0x02 : 0x00);
        EXPECT_EQ(Bytes(buf.begin() + 1, buf.begin() + long(uiExpected)),
                  Bytes(sent.end() - 64, sent.end() - 64 + long(uiExpected) - 1));
        EXPECT_EQ(buf[uiExpected], 0xEE);
        close(iFeed);
        vClear();
    }
}

TEST_F(HidrawTree, ReadTimesOutWithCountZeroAndTheNextReadWorks) {
    vAdd("hidraw0", kReaderId, Node::Fifo);
    const int iFeed = open(sNode("hidraw0").c_str(), O_RDWR);
    ASSERT_GE(iFeed, 0);
    auto pHid = Transport();
    ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));

    Bytes buf(1024);
    uint32_t uiCount = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pHid->bReadReport(buf.data(), buf.size(), uiCount, 30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(uiCount, 0u);

    Bytes report(65, 0x31);
    report[0] = 0x02;
    ASSERT_EQ(write(iFeed, report.data(), report.size()), 65);
    ASSERT_TRUE(pHid->bReadReport(buf.data(), buf.size(), uiCount, 1000));
    EXPECT_EQ(uiCount, 65u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 65), report);
    close(iFeed);
}

TEST_F(HidrawTree, DeviceThatCannotBeOpenedForWritingIsFoundAndReadOnly) {
    // A FIFO nobody reads cannot be opened for writing; the search opens the
    // write side first, then the read side, which the test then feeds.
    vAdd("hidraw0", kReaderId, Node::Fifo);
    auto pHid = Transport();
    ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));
    const Bytes report(65, 0x02);
    EXPECT_FALSE(pHid->bWriteReport(report.data(), report.size()));

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
        auto pHid = Transport();
        ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));
        const size_t uiAfterOne = uiOpenFds();
        EXPECT_EQ(uiAfterOne, uiBefore + 2); // write and read side
        ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));
        EXPECT_EQ(uiOpenFds(), uiAfterOne);
        EXPECT_FALSE(pHid->bOpenDevice(0x04A4, 0x008B));
        EXPECT_EQ(uiOpenFds(), uiBefore);
        EXPECT_EQ(pHid->uiOutputReportLength(), 0u);
        ASSERT_TRUE(pHid->bOpenDevice(0x0590, 0x0035));
    }
    EXPECT_EQ(uiOpenFds(), uiBefore);
}

} // namespace
