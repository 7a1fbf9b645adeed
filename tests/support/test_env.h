// A private working folder and configuration file for one test: the
// configuration path goes into QUILLON_CONFIG, the folder into
// QUILLON_LOCK_DIR (the test's processes share their lock file with no one
// else's) and becomes the working directory, so trace files land there too.
// All are restored afterwards.
#pragma once

#include <memory>
#include <string>

#include "support/scoped_var.h"

class TestEnv {
public:
    explicit TestEnv(const std::string& iniText = "[CARDREADER]\nPort=/dev/scripted\n");
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    const std::string& dir() const { return m_dir; }
    const std::string& configPath() const { return m_config; }
    void vWriteConfig(const std::string& iniText);
    std::string sReadConfig() const;
    std::string sReadFile(const std::string& relative) const;
    bool bExists(const std::string& relative) const;

private:
    std::string m_dir;
    std::string m_config;
    std::string m_oldCwd;
    std::unique_ptr<ScopedVar> m_configVar, m_lockDirVar;
};

// The folder holding the test executable and the built libraries.
std::string BinaryFolder();
