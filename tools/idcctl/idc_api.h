// The library's 18 exports as a host application sees them: function
// pointers looked up by name in the loaded library.
#pragma once

#include <quillon/idc.h>

namespace idcctl {

struct IdcApi {
    int(IDC_CALL* SetCommPara)(tDevReturn*) = nullptr;
    int(IDC_CALL* CloseComm)() = nullptr;
    int(IDC_CALL* Init)(int, tDevReturn*) = nullptr;
    int(IDC_CALL* GetStatus)(tIdcStatus*, tDevReturn*) = nullptr;
    int(IDC_CALL* AcceptCard)(int, tDevReturn*) = nullptr;
    int(IDC_CALL* ChipIO)(int, const uint8_t*, int, uint8_t*, uint32_t*, tDevReturn*) = nullptr;
    int(IDC_CALL* ChipPower)(int, uintptr_t, uintptr_t, void*, tDevReturn*) = nullptr;
    int(IDC_CALL* EjectCard)(tDevReturn*) = nullptr;
    int(IDC_CALL* GetCapabilities)(tIdcCaps*, tDevReturn*) = nullptr;
    int(IDC_CALL* GetLifeInfo)(tIdcLife*, tDevReturn*) = nullptr;
    int(IDC_CALL* ReadTrack)(tIdcTracks*, tDevReturn*) = nullptr;
    int(IDC_CALL* Reset)(tDevReturn*) = nullptr;
    int(IDC_CALL* ResetCount)(int, tDevReturn*) = nullptr;
    int(IDC_CALL* RetainCard)(uint32_t*, tDevReturn*) = nullptr;
    int(IDC_CALL* ReleaseAntiFishing)(tDevReturn*) = nullptr;
    int(IDC_CALL* WriteTrack)(int, const uint8_t*, uint32_t, tDevReturn*) = nullptr;
    void(IDC_CALL* GetLogicalDevName)(char*) = nullptr;
    void(IDC_CALL* SetLogicalDevName)(const char*) = nullptr;
};

// X(member) for every export; the symbol's name is "IDC_" + member.
#define IDCCTL_FOR_EACH_EXPORT(X)                                                                  \
    X(SetCommPara)                                                                                 \
    X(CloseComm)                                                                                   \
    X(Init)                                                                                        \
    X(GetStatus)                                                                                   \
    X(AcceptCard)                                                                                  \
    X(ChipIO)                                                                                      \
    X(ChipPower)                                                                                   \
    X(EjectCard)                                                                                   \
    X(GetCapabilities)                                                                             \
    X(GetLifeInfo)                                                                                 \
    X(ReadTrack)                                                                                   \
    X(Reset)                                                                                       \
    X(ResetCount)                                                                                  \
    X(RetainCard)                                                                                  \
    X(ReleaseAntiFishing)                                                                          \
    X(WriteTrack)                                                                                  \
    X(GetLogicalDevName)                                                                           \
    X(SetLogicalDevName)

} // namespace idcctl
