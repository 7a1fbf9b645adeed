// A stand-in for libquillon under the bridge's tests: the IDC_ functions
// answer from this script and note every call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct tFakeIdc {
    std::vector<std::string> calls; // function names, in order
    std::string namedPath;          // the last Quillon_SetConfigPath
    std::string configSeen;         // the path named at IDC_SetCommPara
    int iOpenResult = 0;
    int iInitResult = 0;
    int iInitCode = 1225; // when it fails
    int iStatusResult = 0;
    int iStatusCode = 1201;
    uint16_t usPosition = 1;
    // Chip: power-up answer and type; exchange reply or failure.
    std::vector<uint8_t> answer;
    uint32_t uiChipType = 0;
    int iPowerResult = 0;
    std::vector<uint8_t> reply;
    int iChipResult = 0;
    int iChipCode = 1203;
    int iMotorResult = 0;
    int iMotorCode = 1201;
};

extern tFakeIdc g_fake;
