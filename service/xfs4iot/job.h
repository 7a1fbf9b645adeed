// A command between its arrival and its completion, and what it completes
// with. Shared by the queue (service.cpp) and the commands (commands.cpp).
#pragma once

#include <atomic>
#include <string>

#include "catalog.h"
#include "service.h"

namespace quillon::xfs {

enum class Stop { None = 0, Canceled, TimedOut };

struct tJob {
    uint64_t uiConnection = 0;
    int64_t iRequestId = 0;
    const tCommandSpec* pSpec = nullptr;
    Json payload;
    OService::Clock::time_point tArrived;
    bool bHasDeadline = false;
    OService::Clock::time_point tDeadline;
    std::atomic<Stop> eStop{Stop::None};
};

struct tResult {
    std::string sCompletion = "success";
    std::string sErrorCode; // empty: none
    Json payload = Json::object();
    std::string sDescription;
};

inline tResult Completion(const char* pCompletion, const std::string& sDescription = {}) {
    tResult r;
    r.sCompletion = pCompletion;
    r.sDescription = sDescription;
    return r;
}

inline tResult CommandError(const char* pErrorCode, const std::string& sDescription = {}) {
    tResult r = Completion("commandErrorCode", sDescription);
    r.sErrorCode = pErrorCode;
    return r;
}

} // namespace quillon::xfs
