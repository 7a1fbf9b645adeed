// The hidraw transport against a node served through FUSE: the descriptor
// by ioctl, report sizes, poll wake-ups, unplug and replug, a dead server.
#include <fstream>

#include "fuse_rig.h"
#include "transport/hid/hid_transport.h"

using namespace quillon;
using quillon::emu::Bytes;
using quillon::emu::HidrawNode;

namespace {

// A family-A reader: 300 data bytes in, 64 out, report ID 2.
const quillon::emu::HidDevice kReader = quillon::emu::HidReader::Device(quillon::emu::Family::A);

std::unique_ptr<OHidTransport> Open(HidrawNode& node) {
    auto hid = MakeHidrawTransport(node.ClassDir(), node.DevDir());
    EXPECT_TRUE(hid->bOpenDevice(0x0590, 0x0035));
    return hid;
}

Bytes Numbered(size_t n, uint8_t fill) { // report ID 2, then n - 1 bytes `fill`
    Bytes b(n, fill);
    return b[0] = 0x02, b;
}

} // namespace

// The class folder's copy says 8 data bytes each way; only the node's
// answer to HIDIOCGRDESC gives 300 in, 64 out.
TEST(HidrawFuse, DescriptorComesByIoctlElseFromTheClassFolder) {
    // Node answers ioctls; lengths in, out; descriptor ioctls seen.
    const std::tuple<bool, size_t, size_t, size_t> rows[] = {
        {true, 301, 65, 1},
        {false, 9, 9, 0},
    };
    for (const auto& [ioctls, in, out, seen] : rows) {
        SCOPED_TRACE(ioctls);
        quillon::emu::HidDevice device = kReader;
        device.answersIoctls = ioctls;
        HidrawNode node(device);
        START_OR_SKIP(node);
        const Bytes other = quillon::emu::VendorDescriptor(0x02, 8, 8);
        std::ofstream(node.ClassDir() + "/hidraw0/device/report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(other.data()), std::streamsize(other.size()));
        auto hid = Open(node);
        EXPECT_EQ(in, hid->uiInputReportLength());
        EXPECT_EQ(out, hid->uiOutputReportLength());
        EXPECT_EQ(seen, node.DescriptorIoctls());
    }
}

// One write is one output report of the output length; one read takes one
// input report, cut to the input length or padded with zeros, and the
// reports queued behind it stay for the next reads.
TEST(HidrawFuse, OneReportPerWriteAndPerReadPollAndDrain) {
    HidrawNode node(kReader);
    START_OR_SKIP(node);
    auto hid = Open(node);
    const Bytes command = {0x02, 0x00, 0x03, 'C', '1', '0'};
    ASSERT_TRUE(hid->bWriteReport(command.data(), command.size(), 1000));
    Bytes sent = command;
    sent.resize(65);
    EXPECT_EQ(std::vector<Bytes>{sent}, node.Written());

    const Bytes reports[] = {Numbered(301, 1), Numbered(400, 2), Numbered(10, 3)};
    for (const Bytes& r : reports)
        node.Send(r);
    for (const Bytes& r : reports) {
        Bytes buf(1024, 0xEE);
        uint32_t count = 0;
        ASSERT_TRUE(hid->bReadReport(buf.data(), buf.size(), count, 1000));
        EXPECT_EQ(301u, count);
        Bytes want = r;
        want.resize(301);
        EXPECT_EQ(want, Bytes(buf.begin(), buf.begin() + 301));
        EXPECT_EQ(0xEE, buf[301]);
    }
    uint32_t count = 99;
    Bytes buf(1024);
    EXPECT_FALSE(hid->bReadReport(buf.data(), buf.size(), count, 0));
    EXPECT_EQ(0u, count);

    // Queued before a drain: dropped without a wait. Sent while the transport waits in
    // poll: wakes it (the server's poll notification), long before the time-out.
    node.Send(Numbered(301, 5));
    node.Send(Numbered(301, 6));
    hid->vDrainInput();
    EXPECT_EQ(0u, node.Queued());

    const Bytes late = Numbered(301, 9);
    node.SendWhenWaited(late);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(hid->bReadReport(buf.data(), buf.size(), count, 20000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(late, Bytes(buf.begin(), buf.begin() + 301));
    EXPECT_TRUE(node.WaitPolled(1, std::chrono::seconds(0)));
}

// Pulled out: writes and reads fail at once (no time-out waited, the count
// left as it was), the search finds nothing; plugged in again, a new search
// opens it and it works. A server that dies leaves the same failures.
TEST(HidrawFuse, UnplugReplugAndADeadServer) {
    HidrawNode node(kReader);
    START_OR_SKIP(node);
    auto hid = Open(node);
    const Bytes command = {0x02, 0x00, 0x03, 'C', '1', '0'};
    Bytes buf(1024);
    uint32_t count = 99;
    const auto fails = [&] {
        EXPECT_FALSE(hid->bWriteReport(command.data(), command.size(), 60000));
        EXPECT_FALSE(hid->bReadReport(buf.data(), buf.size(), count, 60000));
        EXPECT_EQ(99u, count);
    };
    node.Unplug();
    fails();
    EXPECT_FALSE(hid->bOpenDevice(0x0590, 0x0035));
    node.Replug();
    ASSERT_TRUE(hid->bOpenDevice(0x0590, 0x0035));
    EXPECT_TRUE(hid->bWriteReport(command.data(), command.size(), 1000));
    node.Send(Numbered(301, 1));
    EXPECT_TRUE(hid->bReadReport(buf.data(), buf.size(), count, 1000));
    count = 99;
    node.Kill();
    fails();
    EXPECT_FALSE(hid->bOpenDevice(0x0590, 0x0035));
}
