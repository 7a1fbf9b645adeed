#include "fake_idc.h"

#include <cstring>

#include "quillon/idc.h"

tFakeIdc g_fake;

namespace {
int Answer(tDevReturn* pRet, int iResult, int iCode) {
    pRet->iCode1 = pRet->iCode2 = iCode;
    pRet->iErrFlag1 = pRet->iErrFlag2 = iResult == 0 ? 0 : 1;
    return iResult;
}
} // namespace

extern "C" {

int IDC_SetCommPara(tDevReturn* pRet) {
    g_fake.calls.push_back("SetCommPara");
    g_fake.configSeen = g_fake.namedPath;
    return Answer(pRet, g_fake.iOpenResult, g_fake.iOpenResult ? 1223 : 0);
}
int Quillon_SetConfigPath(const char* pPath) {
    g_fake.namedPath = pPath ? pPath : "";
    return 0;
}
int IDC_CloseComm(void) {
    g_fake.calls.push_back("CloseComm");
    return 0;
}
int IDC_Init(int iMode, tDevReturn* pRet) {
    g_fake.calls.push_back("Init " + std::to_string(iMode));
    return Answer(pRet, g_fake.iInitResult, g_fake.iInitResult ? g_fake.iInitCode : 1201);
}
int IDC_GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) {
    g_fake.calls.push_back("GetStatus");
    std::memset(pStatus, 0, sizeof *pStatus);
    pStatus->usField[1] = g_fake.usPosition;
    return Answer(pRet, g_fake.iStatusResult, g_fake.iStatusCode);
}
int IDC_AcceptCard(int iMode, tDevReturn* pRet) {
    g_fake.calls.push_back("AcceptCard " + std::to_string(iMode));
    return Answer(pRet, g_fake.iMotorResult, g_fake.iMotorCode);
}
int IDC_ChipIO(int, const uint8_t*, int iLen, uint8_t* pReply, uint32_t* pReplyLen,
               tDevReturn* pRet) {
    g_fake.calls.push_back("ChipIO " + std::to_string(iLen));
    // A library that hands back more than it should must not overrun the
    // bridge: the fake writes what the script says, up to the documented
    // maximum, and reports the length it was given.
    const size_t n =
        g_fake.reply.size() < IDC_CHIP_REPLY_MAX ? g_fake.reply.size() : IDC_CHIP_REPLY_MAX;
    if (n) // an empty script holds no buffer to copy from
        std::memcpy(pReply, g_fake.reply.data(), n);
    *pReplyLen = static_cast<uint32_t>(g_fake.reply.size());
    return Answer(pRet, g_fake.iChipResult, g_fake.iChipCode);
}
int IDC_ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4, tDevReturn* pRet) {
    g_fake.calls.push_back("ChipPower " + std::to_string(iAction));
    if (iAction == 3) {
        *static_cast<uint32_t*>(pArg4) = 255;
        return Answer(pRet, 0, 1203);
    }
    if (g_fake.iPowerResult == 0) {
        std::memcpy(reinterpret_cast<uint8_t*>(uArg2), g_fake.answer.data(), g_fake.answer.size());
        *reinterpret_cast<uint32_t*>(uArg3) = static_cast<uint32_t>(g_fake.answer.size());
        *static_cast<uint32_t*>(pArg4) = g_fake.uiChipType;
    }
    return Answer(pRet, g_fake.iPowerResult, g_fake.iPowerResult ? 1267 : 1203);
}
int IDC_EjectCard(tDevReturn* pRet) {
    g_fake.calls.push_back("EjectCard");
    return Answer(pRet, g_fake.iMotorResult, g_fake.iMotorCode);
}
int IDC_ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    g_fake.calls.push_back("ReadTrack");
    pTracks->uiLen2 = 3;
    std::memcpy(pTracks->abTrack2, ";1?", 3);
    return Answer(pRet, g_fake.iMotorResult, g_fake.iMotorCode);
}
int IDC_RetainCard(uint32_t* pCount, tDevReturn* pRet) {
    g_fake.calls.push_back("RetainCard");
    *pCount = 0x01020304;
    return Answer(pRet, g_fake.iMotorResult, g_fake.iMotorCode);
}
}
