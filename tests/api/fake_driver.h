// A driver that records its calls, answers with a set code and may take its
// time, for observing the manager from outside.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "readers/idc_driver.h"

class FakeDriver : public quillon::OIdcDriver {
public:
    int iCode = 1201;                        // written into the record by every call
    int iResult = 0;                         // returned by every call
    int iSleepMs = 0;                        // time each call takes
    std::function<void(const char*)> onCall; // runs inside each call
    std::vector<std::string> calls;
    tIdcTracks lastTracks{};

    int Init(int, tDevReturn* r) override { return iDo("Init", r); }
    int GetStatus(tIdcStatus*, tDevReturn* r) override { return iDo("GetStatus", r); }
    int AcceptCard(int, tDevReturn* r) override { return iDo("AcceptCard", r); }
    int ChipIO(int, const uint8_t*, int, uint8_t*, uint32_t*, tDevReturn* r) override {
        return iDo("ChipIO", r);
    }
    int ChipPower(int, uintptr_t, uintptr_t, void*, tDevReturn* r) override {
        return iDo("ChipPower", r);
    }
    int EjectCard(tDevReturn* r) override { return iDo("EjectCard", r); }
    int GetCapabilities(tIdcCaps*, tDevReturn* r) override { return iDo("GetCapabilities", r); }
    int GetLifeInfo(tIdcLife*, tDevReturn* r) override { return iDo("GetLifeInfo", r); }
    int ReadTrack(tIdcTracks*, tDevReturn* r) override { return iDo("ReadTrack", r); }
    int Reset(tDevReturn* r) override { return iDo("Reset", r); }
    int ResetCount(int, tDevReturn* r) override { return iDo("ResetCount", r); }
    int RetainCard(uint32_t*, tDevReturn* r) override { return iDo("RetainCard", r); }
    int ReleaseAntiFishing(tDevReturn* r) override { return iDo("ReleaseAntiFishing", r); }
    int WriteTrack(tIdcTracks* t, tDevReturn* r) override {
        lastTracks = *t;
        return iDo("WriteTrack", r);
    }
    int SetCommPara(tDevReturn* r) override { return iDo("SetCommPara", r); }

private:
    int iDo(const char* name, tDevReturn* r) {
        calls.push_back(name);
        if (onCall)
            onCall(name);
        if (iSleepMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(iSleepMs));
        r->iCode1 = r->iCode2 = iCode;
        r->iErrFlag1 = r->iErrFlag2 = iResult;
        return iResult;
    }
};
