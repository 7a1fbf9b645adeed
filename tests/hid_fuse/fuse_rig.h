// A hidraw node on FUSE for one test, mounted in a mount namespace of the test process
// where the system allows one (the mount cannot outlive the process). Without FUSE the
// test is skipped, or fails when QUILLON_REQUIRE_TOOLS=1 (CI).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sched.h>
#include <sys/mount.h>

#include "hid_reader.h"

// Starts what serves the node (a HidrawNode or a HidReader) in a folder of
// its own; the reason when it cannot run here.
template <class Server> std::string WhyNotStarted(Server& server) {
    static const bool s_private = unshare(CLONE_NEWNS) == 0 &&
                                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    (void)s_private;
    std::string why;
    return server.bStart(why) ? std::string() : why;
}

inline bool bToolsRequired() {
    const char* pRequire = std::getenv("QUILLON_REQUIRE_TOOLS");
    return pRequire && std::string(pRequire) == "1";
}

#define START_OR_SKIP(server)                                                                      \
    if (const std::string whyNot = WhyNotStarted(server); !whyNot.empty()) {                       \
        if (bToolsRequired())                                                                      \
            FAIL() << "FUSE required: " << whyNot;                                                 \
        GTEST_SKIP() << "no FUSE here: " << whyNot;                                                \
    }
