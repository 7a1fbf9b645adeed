// A private working folder and configuration file for one test: the
// configuration path goes into QUILLON_CONFIG, the folder into
// QUILLON_LOCK_DIR (the test's processes share their lock file with no one
// else's) and becomes the working directory, so trace files land there too.
// All are restored afterwards.
#pragma once

#include <string>
#include <vector>

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
    // An environment variable as it was before the test.
    struct tSaved {
        const char* pName;
        std::string sValue;
        bool bHad;
    };
    std::vector<tSaved> m_saved;
};

// The folder holding the test executable and the built libraries.
std::string BinaryFolder();
