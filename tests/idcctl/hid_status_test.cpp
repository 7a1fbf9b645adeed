// idcctl, the program a technician runs, against emulated USB readers of
// type 5 (family A) and 6 (family B) on a hidraw node served through FUSE.
#include <cstdio>
#include <fstream>

#include <sys/wait.h>

#include "../hid_fuse/fuse_rig.h"

namespace emu = quillon::emu;

namespace {
// Runs "idcctl --config <root>/reader.ini status" with the node's root: exit status and
// standard output.
int RunStatus(const std::string& root, std::string& out) {
    const std::string command = "QUILLON_HIDRAW_ROOT='" + root + "' QUILLON_LOCK_DIR='" + root +
                                "' '" IDCCTL "' --config '" + root + "/reader.ini' status";
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        out.append(buf, n);
    const int status = pipe ? pclose(pipe) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
        reader.Emu().PlaceCard(emu::CardPosition::Inside);
        std::ofstream(reader.Node().Root() + "/reader.ini") << "[CARDREADER]\n" << ini;
        std::string out;
        EXPECT_EQ(0, RunStatus(reader.Node().Root(), out)) << out;
        EXPECT_NE(std::string::npos, out.find(shown)) << out;
        EXPECT_NE(std::string::npos,
                  out.find("card position                         3  card inside"))
            << out;
        EXPECT_EQ(commands, reader.Emu().Commands());
    }
}
