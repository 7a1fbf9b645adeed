#include "support/test_env.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/system.h"

#if defined(_WIN32)
#include <process.h>
#endif

namespace fs = std::filesystem;

TestEnv::TestEnv(const std::string& iniText) {
    std::string pattern = (fs::temp_directory_path() / "quillon-test-XXXXXX").string();
#if defined(_WIN32)
    // Test processes run side by side: the name carries the process id, and
    // a folder that exists already is never shared.
    static int counter = 0;
    do {
        m_dir = (fs::temp_directory_path() / ("quillon-test-" + std::to_string(_getpid()) + "-" +
                                              std::to_string(++counter)))
                    .string();
    } while (!fs::create_directory(m_dir));
#else
    std::string buf = pattern;
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    m_dir = buf;
#endif
    m_config = (fs::path(m_dir) / "Quillon.ini").string();
    m_oldCwd = fs::current_path().string();
    m_configVar = std::make_unique<ScopedVar>("QUILLON_CONFIG", m_config);
    m_lockDirVar = std::make_unique<ScopedVar>("QUILLON_LOCK_DIR", m_dir);
    fs::current_path(m_dir);
    vWriteConfig(iniText);
}

TestEnv::~TestEnv() {
    std::error_code ec;
    fs::current_path(m_oldCwd, ec);
    fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_dir, ec);
}

void TestEnv::vWriteConfig(const std::string& iniText) {
    std::ofstream out(m_config, std::ios::binary | std::ios::trunc);
    out << iniText;
}

std::string TestEnv::sReadConfig() const { return sReadFile("Quillon.ini"); }

std::string TestEnv::sReadFile(const std::string& relative) const {
    std::ifstream in(fs::path(m_dir) / relative, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool TestEnv::bExists(const std::string& relative) const {
    return fs::exists(fs::path(m_dir) / relative);
}

std::string BinaryFolder() {
    return quillon::ModuleFolderOf(reinterpret_cast<const void*>(&BinaryFolder));
}
