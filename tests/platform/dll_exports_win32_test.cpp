// Quillon.dll as a host program sees it: loaded on its own, each export
// found by name and by ordinal, and answering without a device manager.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "quillon/idc.h"
#include "support/test_env.h"

TEST(QuillonDll, ExportsByNameAndOrdinal) {
    const std::string path = BinaryFolder() + "Quillon.dll";
    HMODULE h = ::LoadLibraryA(path.c_str());
    ASSERT_NE(nullptr, h) << path << " error " << ::GetLastError();

    const char* const names[] = {
        "IDC_SetCommPara", "IDC_CloseComm",         "IDC_Init",
        "IDC_GetStatus",   "IDC_AcceptCard",        "IDC_ChipIO",
        "IDC_ChipPower",   "IDC_EjectCard",         "IDC_GetCapabilities",
        "IDC_GetLifeInfo", "IDC_ReadTrack",         "IDC_Reset",
        "IDC_ResetCount",  "IDC_RetainCard",        "IDC_ReleaseAntiFishing",
        "IDC_WriteTrack",  "IDC_GetLogicalDevName", "IDC_SetLogicalDevName",
    };
    for (WORD ordinal = 1; ordinal <= 18; ++ordinal) {
        FARPROC byName = ::GetProcAddress(h, names[ordinal - 1]);
        EXPECT_NE(nullptr, byName) << names[ordinal - 1];
        EXPECT_EQ(byName, ::GetProcAddress(h, MAKEINTRESOURCEA(ordinal))) << ordinal;
    }
    EXPECT_EQ(nullptr, ::GetProcAddress(h, MAKEINTRESOURCEA(19)));

    using PfnCloseComm = int(IDC_CALL*)(void);
    using PfnGetStatus = int(IDC_CALL*)(tIdcStatus*, tDevReturn*);
    auto closeComm = reinterpret_cast<PfnCloseComm>(
        reinterpret_cast<void*>(::GetProcAddress(h, MAKEINTRESOURCEA(2))));
    auto getStatus = reinterpret_cast<PfnGetStatus>(
        reinterpret_cast<void*>(::GetProcAddress(h, MAKEINTRESOURCEA(4))));
    ASSERT_TRUE(closeComm && getStatus);
    EXPECT_EQ(0, closeComm());
    tIdcStatus status{};
    tDevReturn ret{};
    EXPECT_EQ(1, getStatus(&status, &ret));
    EXPECT_EQ(1267, ret.iCode1);
    EXPECT_EQ(1267, ret.iCode2);
    EXPECT_EQ(1, ret.iErrFlag2);
    EXPECT_TRUE(::FreeLibrary(h));
}
