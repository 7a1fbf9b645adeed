// The port opening over a real pseudo-terminal: the speed, stop bits and flow
// control of each reader kind reach the terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "infra/reader_comm.h"
#include "readers/family_c/serial_reader_c.h"
#include "support/open_port.h"
#include "support/test_env.h"

using namespace quillon;

namespace {
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slave = ptsname(master);
    }
    ~Pty() {
        if (master >= 0)
            close(master);
    }
};
} // namespace

TEST(OpenPortPty, SettingsOfEachKindReachTheTerminal) {
    struct Row {
        const char* ini;
        speed_t speed;
        bool rtscts;
    } rows[] = {
        {"[CardReaderType]\nCardReaderType=1\n", B19200, false},
        {"[CardReaderType]\nCardReaderType=2\n[Dtr]\nDtr=1\n", B19200, true},
        {"[CardReaderType]\nCardReaderType=3\n", B9600, false}, // family C opens it
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ini);
        Pty pty;
        ASSERT_FALSE(pty.slave.empty());
        TestEnv env("[CARDREADER]\nPort=" + pty.slave + "\nBaudRate=19200\n" + row.ini);
        OReaderComm comm(nullptr, "CARDREADER");
        OSerialReaderC familyC(&comm);
        tDevReturn r{};
        const bool bFamilyC = row.speed == B9600;
        ASSERT_EQ(0, bFamilyC ? familyC.SetCommPara(&r) : OpenPort(comm));
        EXPECT_EQ(0, r.iCode2);

        int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(0, tcgetattr(fd, &tio));
        close(fd);
        EXPECT_EQ(row.speed, cfgetospeed(&tio));
        // A pseudo-terminal keeps no parity or character size of its own:
        // those are checked on the settings record with the scripted line.
        EXPECT_EQ(0u, tio.c_cflag & CSTOPB);
        EXPECT_EQ(row.rtscts, (tio.c_cflag & CRTSCTS) != 0);
        EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO));

        // Bytes sent reach the other end unchanged.
        const uint8_t frame[] = {0x10, 0x02, 'C', '4', '0', 0x10, 0x03, 0x44};
        ASSERT_EQ(0, comm.iWrite(frame, sizeof frame));
        // The terminal may hand them over in pieces, whenever it gets to it.
        uint8_t got[16] = {};
        size_t have = 0;
        for (pollfd p{pty.master, POLLIN, 0}; have < sizeof frame && poll(&p, 1, 5000) == 1;) {
            const ssize_t n = read(pty.master, got + have, sizeof got - have);
            if (n <= 0)
                break;
            have += static_cast<size_t>(n);
        }
        ASSERT_EQ(sizeof frame, have);
        EXPECT_EQ(0, memcmp(frame, got, sizeof frame));
    }
}
