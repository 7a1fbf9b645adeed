// The emulator on a real pseudo-terminal: a framed command written to the
// slave gets its acknowledgement and reply back.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "emulator.h"
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

namespace {
// Reads exactly n bytes or what came within one second.
Bytes ReadN(int fd, size_t n) {
    Bytes got;
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            break;
        uint8_t buf[256];
        const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}
} // namespace

TEST(Pty, RoundTripOfEachFamily) {
    struct Row {
        Family family;
        Bytes frame, ack, request, reply;
    } rows[] = {
        {Family::A, FrameA("C10"), B({0x10, 0x06}), B({0x10, 0x05}),
         B({0x10, 0x02, 0x50, 0x31, 0x30, 0x30, 0x30, 0x10, 0x03, 0x52})},
        {Family::B, FrameB("C11"), B({0x06}), B({}),
         B({0xF2, 0x00, 0x05, 0x50, 0x31, 0x31, 0x30, 0x30, 0x0F, 0x16})},
        {Family::C, FrameC("10"), B({0x06}), B({0x05}),
         B({0x02, 0x00, 0x04, 0x50, 0x31, 0x30, 0x35, 0x03, 0x61})},
    };
    for (const Row& r : rows) {
        Emulator emu(r.family);
        const std::string path = emu.Start();
        ASSERT_FALSE(path.empty());
        Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_GE(fd.Get(), 0) << path;
        termios tio{};
        ASSERT_EQ(0, ::tcgetattr(fd.Get(), &tio));
        ::cfmakeraw(&tio);
        ASSERT_EQ(0, ::tcsetattr(fd.Get(), TCSANOW, &tio));

        ASSERT_EQ(static_cast<ssize_t>(r.frame.size()),
                  ::write(fd.Get(), r.frame.data(), r.frame.size()));
        EXPECT_EQ(Hex(r.ack), Hex(ReadN(fd.Get(), r.ack.size())));
        if (!r.request.empty()) {
            ASSERT_EQ(static_cast<ssize_t>(r.request.size()),
                      ::write(fd.Get(), r.request.data(), r.request.size()));
        }
        EXPECT_EQ(Hex(r.reply), Hex(ReadN(fd.Get(), r.reply.size())));
        ASSERT_TRUE(emu.WaitForCommands(1, std::chrono::milliseconds(1000)));
        EXPECT_EQ(1u, emu.Commands().size());
        emu.Stop();
    }
}

TEST(Pty, CardOperationsFromAnotherThread) {
    Options o;
    o.entryDelay = 20;
    Emulator emu(Family::A, o);
    emu.Start();
    emu.InsertCard();
    emu.With([&emu](Engine& e) { e.Model().EnableEntry(1, emu.Now()); });
    for (int i = 0; i < 200 && emu.Position() != CardPosition::Inside; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(CardPosition::Inside, emu.Position()); // time passes without any byte
    emu.Jam();
    EXPECT_TRUE(emu.With([](Engine& e) { return e.Model().jam; }));
    emu.Stop();
    emu.Stop();
}
