// The exported functions against emulated readers over pseudo-terminals:
// the reader selection on a real terminal line with the configuration file,
// and a host that forks: the child's copy of the port is not its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "emulator.h"
#include "quillon/idc.h"
#include "support/records.h"
#include "support/test_env.h"

namespace emu = quillon::emu;

namespace {

// The library's manager is process-wide: every test closes it, whatever
// happens.
struct CloseAtEnd {
    ~CloseAtEnd() { IDC_CloseComm(); }
};

std::string Port(const std::string& port) {
    return "[CARDREADER]\nPort=" + port + "\n";
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

// The reader selection at IDC_SetCommPara with real readers on the line.
// Configured 2 with a family-A reader: family B hears nothing within its
// time-out (the one slow case here), family A answers, 1 is recorded.
// Configured 2 with a family-B reader: one status exchange, 2 stays. Either
// way the file keeps its comments and other keys byte for byte.
TEST(ReaderOverPty, SelectionRecordsTheFamilyThatAnswers) {
    struct Row {
        emu::Family family;
        const char* recorded;
        std::vector<std::string> commands; // what the reader received: one status query
        bool otherFamilyAsked;             // family B's frame reached the line first
    } rows[] = {
        {emu::Family::A, "1", {"C11", "C10"}, true},
        {emu::Family::B, "2", {"C13", "C11"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("recorded ") + row.recorded);
        emu::Emulator reader(row.family);
        const std::string port = reader.Start();
        auto ini = [&](const char* type) {
            return "; kiosk 7, reader by the door\n" + Port(port) + "BaudRate=9600\n\n" +
                   "[CardReaderType]\n; set by the installer\nCardReaderType=" + type +
                   "  ; family\n\n[Dtr]\nDtr=0\n";
        };
        TestEnv env(ini("2"));
        CloseAtEnd closer;

        tDevReturn r = Record(77);
        ASSERT_EQ(0, IDC_SetCommPara(&r));
        EXPECT_EQ(row.commands, reader.Commands());
        EXPECT_EQ(row.otherFamilyAsked, reader.GetStats().strayBytes > 0);
        EXPECT_EQ(ini(row.recorded), env.sReadConfig());
    }
}

// A child of fork() has a copy of the parent's open port, not the port: its
// IDC_CloseComm closes the copy and leaves the parent's exclusive use alone,
// so another process is still refused and the parent goes on; the child can
// open the reader once the parent has let it go.
TEST(ReaderOverPty, AForkedChildNeitherFreesNorTakesTheParentsPort) {
    TestEnv env;
    emu::Emulator reader(emu::Family::A);
    env.vWriteConfig(Port(reader.Start()) + "[CardReaderType]\nCardReaderType=1\n");
    CloseAtEnd closer;
    ASSERT_EQ(0, OpenCode());
    EXPECT_EQ(0, InChild([] { return IDC_CloseComm(); }));
    EXPECT_EQ(1223 % 256, InChild(OpenCode)) << "another process took the parent's port";
    tIdcStatus st{};
    tDevReturn r{};
    EXPECT_EQ(0, IDC_GetStatus(&st, &r));
    EXPECT_EQ(1201, r.iCode2);
    IDC_CloseComm();
    EXPECT_EQ(0, InChild(OpenCode));
}
