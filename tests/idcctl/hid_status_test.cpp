// idcctl, the program a technician runs, against emulated USB readers of
// type 5 (family A) and 6 (family B) on a hidraw node served through FUSE.
#include <fstream>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../hid_fuse/fuse_rig.h"

extern char** environ;

namespace emu = quillon::emu;

namespace {

// Runs idcctl with the arguments and the node's root: exit status and standard output.
int RunIdcctl(const std::vector<std::string>& args, const std::string& root, std::string& out) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    std::vector<std::string> env = {"QUILLON_HIDRAW_ROOT=" + root, "QUILLON_LOCK_DIR=" + root};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("QUILLON_", 0) != 0)
            env.push_back(*e);
    std::vector<char*> argv = {const_cast<char*>(IDCCTL)}, envp;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, IDCCTL, &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    char buf[4096];
    for (ssize_t n; rc == 0 && (n = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : -1;
}

} // namespace

TEST(IdcctlHid, StatusOfAUsbReaderOfEachFamily) {
    // Family; configuration; the status line; the commands the reader received.
    using Texts = std::vector<std::string>;
    const std::tuple<emu::Family, std::string, std::string, Texts> rows[] = {
        {emu::Family::A,
         "[CardReaderType]\nCardReaderType=5\n",
         "status: ok  (result 0, code 1203, reply \"P1002000000110\")",
         {"C11", "C10"}},
        {emu::Family::B,
         "[CardReaderType]\nCardReaderType=6\n[USB]\nVID=4660\nPID=22136\n",
         "status: ok  (result 0, code 1203, reply \"P1102\")",
         {"C13", "C11"}},
    };
    for (const auto& [family, ini, shown, commands] : rows) {
        emu::HidReader reader(family);
        START_OR_SKIP(reader);
        reader.With([](emu::Engine& e) { e.Model().PlaceCard(emu::CardPosition::Inside); });
        const std::string config = reader.Node().Root() + "/reader.ini";
        std::ofstream(config) << "[CARDREADER]\n" << ini;
        std::string out;
        EXPECT_EQ(0, RunIdcctl({"--config", config, "status"}, reader.Node().Root(), out)) << out;
        EXPECT_NE(std::string::npos, out.find(shown)) << out;
        EXPECT_NE(std::string::npos,
                  out.find("card position                         3  card inside"))
            << out;
        EXPECT_EQ(commands, reader.Commands());
    }
}
