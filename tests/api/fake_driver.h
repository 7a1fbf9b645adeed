// A driver that records its calls and answers with a set code, for observing
// the manager from outside.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "readers/idc_driver.h"

class FakeDriver : public quillon::OIdcDriver {
public:
    int iCode = 1201;                        // written into the record by every call
    int iResult = 0;                         // returned by every call
    std::function<void(const char*)> onCall; // runs inside each call
    std::vector<std::string> calls;
    tIdcTracks lastTracks{};

    using R = quillon::tDriverResult;
    R Init(int) override { return Do("Init"); }
    R GetStatus(tIdcStatus*) override { return Do("GetStatus"); }
    R AcceptCard(int) override { return Do("AcceptCard"); }
    R ChipIO(int, const uint8_t*, int, uint8_t*, uint32_t*) override { return Do("ChipIO"); }
    R ChipPower(int, uintptr_t, uintptr_t, void*) override { return Do("ChipPower"); }
    R EjectCard() override { return Do("EjectCard"); }
    R GetCapabilities(tIdcCaps*) override { return Do("GetCapabilities"); }
    R GetLifeInfo(tIdcLife*) override { return Do("GetLifeInfo"); }
    R ReadTrack(tIdcTracks*) override { return Do("ReadTrack"); }
    R Reset() override { return Do("Reset"); }
    R ResetCount(int) override { return Do("ResetCount"); }
    R RetainCard(uint32_t*) override { return Do("RetainCard"); }
    R ReleaseAntiFishing() override { return Do("ReleaseAntiFishing"); }
    R WriteTrack(tIdcTracks* t) override {
        lastTracks = *t;
        return Do("WriteTrack");
    }
    R SetCommPara() override { return Do("SetCommPara"); }

private:
    R Do(const char* name) {
        calls.push_back(name);
        if (onCall)
            onCall(name);
        return R::Shown(static_cast<quillon::Code>(iCode), iResult, iResult);
    }
};
