// The port's life as the kiosk sees it. A USB-serial adapter pulled out and
// plugged in again: the terminal behind the configured port hangs up, and
// the port name (a link such as /dev/serial/by-id/...) comes back pointing at
// a new terminal; the next IDC_SetCommPara opens the new one and the reader
// works again. A host that forks: the child's copy of the port is not its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "emulator.h"
#include "quillon/idc.h"
#include "support/scoped_var.h"
#include "support/test_env.h"

namespace emu = quillon::emu;

namespace {
struct CloseAtEnd {
    ~CloseAtEnd() { IDC_CloseComm(); }
};

// Points the link at target, replacing it in one step as udev does.
bool PointLink(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    std::remove(fresh.c_str());
    return symlink(target.c_str(), fresh.c_str()) == 0 &&
           std::rename(fresh.c_str(), link.c_str()) == 0;
}

int Status(tDevReturn& r) {
    tIdcStatus st{};
    std::memset(&r, 0x5A, sizeof r);
    return IDC_GetStatus(&st, &r);
}

// Runs fn in a child of fork(); its result, -1 when the child did not end well.
int InChild(int (*fn)()) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : -1;
}

// The code of an IDC_SetCommPara.
int OpenCode() {
    tDevReturn r{};
    return IDC_SetCommPara(&r) == 0 ? 0 : r.iCode2 % 256;
}
} // namespace

TEST(ReaderOverPty, UnpluggedAdapterIsOpenedAgainUnderItsLink) {
    TestEnv env;
    const std::string link = env.dir() + "/reader-by-id";
    const std::string ini = "[CARDREADER]\nPort=" + link + "\n[CardReaderType]\nCardReaderType=1\n";
    env.vWriteConfig(ini);
    // The device lock in a folder of the test's own, so that tests running
    // beside it that hold the shared lock do not hold this one up.
    ScopedVar lockFolder("QUILLON_LOCK_DIR", env.dir());
    CloseAtEnd closer;

    emu::Emulator before(emu::Family::A);
    ASSERT_TRUE(PointLink(link, before.Start()));
    tDevReturn r{};
    ASSERT_EQ(0, IDC_SetCommPara(&r));
    ASSERT_EQ(0, Status(r));
    EXPECT_EQ(1201, r.iCode2);

    before.Stop(); // pulled out: the terminal hangs up
    EXPECT_EQ(1, Status(r));
    EXPECT_EQ(1223, r.iCode2);

    emu::Emulator after(emu::Family::A);
    ASSERT_TRUE(PointLink(link, after.Start()));
    std::memset(&r, 0x5A, sizeof r);
    EXPECT_EQ(0, IDC_SetCommPara(&r));
    EXPECT_EQ(0, Status(r));
    EXPECT_EQ(1201, r.iCode2);
    EXPECT_FALSE(after.Commands().empty());
    EXPECT_EQ(ini, env.sReadConfig());
}

// A child of fork() has a copy of the parent's open port, not the port: its
// IDC_CloseComm closes the copy and leaves the parent's exclusive use alone,
// so another process is still refused and the parent goes on; the child can
// open the reader once the parent has let it go.
TEST(ReaderOverPty, AForkedChildNeitherFreesNorTakesTheParentsPort) {
    TestEnv env;
    ScopedVar lockFolder("QUILLON_LOCK_DIR", env.dir());
    emu::Emulator reader(emu::Family::A);
    env.vWriteConfig("[CARDREADER]\nPort=" + reader.Start() +
                     "\n[CardReaderType]\nCardReaderType=1\n");
    CloseAtEnd closer;
    ASSERT_EQ(0, OpenCode());
    EXPECT_EQ(0, InChild([] { return IDC_CloseComm(); }));
    EXPECT_EQ(1223 % 256, InChild(OpenCode)) << "another process took the parent's port";
    tDevReturn r{};
    EXPECT_EQ(0, Status(r));
    EXPECT_EQ(1201, r.iCode2);
    IDC_CloseComm();
    EXPECT_EQ(0, InChild(OpenCode));
}
