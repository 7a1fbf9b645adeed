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

// Writes `out`, then reads exactly n bytes or what comes within one second.
static std::string Exchange(int fd, const Bytes& out, size_t n) {
    EXPECT_EQ(static_cast<ssize_t>(out.size()), ::write(fd, out.data(), out.size()));
    Bytes got(n);
    size_t have = 0;
    for (pollfd p{fd, POLLIN, 0}; have<n&& ::poll(&p, 1, 1000)> 0;) {
        const ssize_t r = ::read(fd, got.data() + have, n - have);
        if (r <= 0)
            break;
        have += static_cast<size_t>(r);
    }
    got.resize(have);
    return Hex(got);
}

TEST(Pty, RoundTrip) {
    Emulator emu(Family::A);
    const std::string path = emu.Start();
    Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(fd.Get(), 0) << path;
    termios tio{};
    ASSERT_EQ(0, ::tcgetattr(fd.Get(), &tio));
    ::cfmakeraw(&tio);
    ASSERT_EQ(0, ::tcsetattr(fd.Get(), TCSANOW, &tio));
    EXPECT_EQ("10 06", Exchange(fd.Get(), FrameA("C10"), 2));
    EXPECT_EQ("10 02 50 31 30 30 30 10 03 52", Exchange(fd.Get(), H("10 05"), 10));
    ASSERT_TRUE(emu.WaitForCommands(1, std::chrono::milliseconds(1000)));
    EXPECT_EQ(std::vector<std::string>{"C10"}, emu.Commands());
    emu.Stop();
    emu.Stop(); // a second stop does nothing
}
