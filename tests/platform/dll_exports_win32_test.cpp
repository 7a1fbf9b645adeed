// Quillon.dll as a host program sees it: loaded on its own, each export
// found by name at its ordinal and called through that pointer the way a
// 32-bit host calls it, __stdcall. In the 32-bit build every call goes
// through a thunk that checks that the export took exactly its arguments off
// the stack. The record comes back written at its documented byte offsets
// and not one byte further.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace {

#if defined(__i386__)
// Pushes uiCount words of pArgs (the first on top), calls pfn and returns in
// *pLeft the bytes the call left on the stack: 0 for a __stdcall function
// that takes exactly these arguments.
__attribute__((naked)) int CallStdcall(const void* /*pfn*/, const uintptr_t* /*pArgs*/,
                                       uint32_t /*uiCount*/, int32_t* /*pLeft*/) {
    asm(R"(
        pushl %ebp
        movl %esp, %ebp
        movl 16(%ebp), %ecx
        movl 12(%ebp), %edx
    1:  jecxz 2f
        pushl -4(%edx,%ecx,4)
        decl %ecx
        jmp 1b
    2:  call *8(%ebp)
        movl %ebp, %ecx
        subl %esp, %ecx
        movl 20(%ebp), %edx
        movl %ecx, (%edx)
        movl %ebp, %esp
        popl %ebp
        ret
    )");
}
#endif

// Calls an export with its arguments, each a pointer or an int of a
// register's width. A 64-bit callee ignores the zeros that pad them to six.
int iCall(FARPROC pfn, std::vector<uintptr_t> args) {
    void* p = reinterpret_cast<void*>(pfn);
#if defined(__i386__)
    int32_t iLeft = -1;
    const int iResult = CallStdcall(p, args.data(), static_cast<uint32_t>(args.size()), &iLeft);
    EXPECT_EQ(0, iLeft) << "bytes left on the stack by a call with " << args.size() << " arguments";
    return iResult;
#else
    using W = uintptr_t;
    args.resize(6);
    const W* a = args.data();
    return reinterpret_cast<int (*)(W, W, W, W, W, W)>(p)(a[0], a[1], a[2], a[3], a[4], a[5]);
#endif
}

// The tDevReturn bytes: codes at 0 and 4, flags at 8 and 12, and the reply
// text and 16 bytes behind the record's 272 as the caller filled them.
void ExpectRecord(const uint8_t* pRet, int32_t iCode, int32_t iFlag) {
    int32_t aiField[4];
    std::memcpy(aiField, pRet, sizeof aiField);
    EXPECT_EQ(std::vector<int32_t>({iCode, iCode, iFlag, iFlag}),
              std::vector<int32_t>(aiField, aiField + 4));
    for (size_t i = 16; i < 272 + 16; ++i)
        ASSERT_EQ(0x5A, pRet[i]) << "byte " << i;
}

} // namespace

TEST(QuillonDll, EveryExportAsA32BitHostCallsIt) {
    TestEnv env("[CARDREADER]\nPort=COM250\n[CardReaderType]\nCardReaderType=1\n");
    const std::string path = BinaryFolder() + "Quillon.dll";
    HMODULE h = ::LoadLibraryA(path.c_str());
    ASSERT_NE(nullptr, h) << path << " error " << ::GetLastError();
    static const char* const kNames[] = {
        "IDC_SetCommPara", "IDC_CloseComm",         "IDC_Init",
        "IDC_GetStatus",   "IDC_AcceptCard",        "IDC_ChipIO",
        "IDC_ChipPower",   "IDC_EjectCard",         "IDC_GetCapabilities",
        "IDC_GetLifeInfo", "IDC_ReadTrack",         "IDC_Reset",
        "IDC_ResetCount",  "IDC_RetainCard",        "IDC_ReleaseAntiFishing",
        "IDC_WriteTrack",  "IDC_GetLogicalDevName", "IDC_SetLogicalDevName",
    };
    FARPROC pfn[20] = {};
    for (WORD ordinal = 1; ordinal <= 18; ++ordinal) {
        pfn[ordinal] = ::GetProcAddress(h, kNames[ordinal - 1]);
        ASSERT_NE(nullptr, pfn[ordinal]) << kNames[ordinal - 1];
        EXPECT_EQ(pfn[ordinal], ::GetProcAddress(h, MAKEINTRESOURCEA(ordinal))) << ordinal;
    }
    // After the 18 the information call, at 19, and nothing further.
    pfn[19] = ::GetProcAddress(h, "Quillon_GetReaderInfo");
    ASSERT_NE(nullptr, pfn[19]);
    EXPECT_EQ(pfn[19], ::GetProcAddress(h, MAKEINTRESOURCEA(19)));
    EXPECT_EQ(nullptr, ::GetProcAddress(h, MAKEINTRESOURCEA(20)));

    uint8_t abRet[272 + 16];
    uint8_t abOut[512];
    char acName[48];
    uint32_t uiLen = 0;
    const auto w = [](const void* pv) { return reinterpret_cast<uintptr_t>(pv); };
    const uintptr_t r = w(abRet), out = w(abOut), len = w(&uiLen);
    // Every operation, in ordinal order from 3, with its arguments.
    // clang-format off
    const std::vector<uintptr_t> kOperations[] = {
        {1, r}, {out, r}, {1, r}, {0, out, 4, out, len, r}, {1, out, len, len, r}, {r}, {out, r},
        {out, r}, {out, r}, {r}, {0, r}, {len, r}, {r}, {1, out, 5, r}};
    // clang-format on

    EXPECT_EQ(0, iCall(pfn[2], {})); // CloseComm: no manager yet
    for (int i = 0; i < 14; ++i) {
        SCOPED_TRACE(kNames[i + 2]);
        std::memset(abRet, 0x5A, sizeof abRet);
        EXPECT_EQ(1, iCall(pfn[i + 3], kOperations[i]));
        ExpectRecord(abRet, 1267, 1);
    }

    // The name: zero-terminated in the first 32 bytes, nothing written after.
    std::memset(acName, 'x', sizeof acName);
    iCall(pfn[17], {w(acName)});
    EXPECT_STREQ("CARDREADER", acName);
    EXPECT_EQ(std::string(16, 'x'), std::string(acName + 32, 16));
    iCall(pfn[18], {w("LOBBY")});
    iCall(pfn[17], {w(acName)});
    EXPECT_STREQ("LOBBY", acName);

    // The information call takes its two arguments and fills the 128 bytes
    // asked for (no reader opened yet: no type).
    uint8_t abInfo[128 + 4] = {128};
    std::memset(abInfo + 128, 0x5A, 4);
    std::memset(abRet, 0x5A, sizeof abRet);
    EXPECT_EQ(0, iCall(pfn[19], {w(abInfo), r}));
    ExpectRecord(abRet, 0, 0);
    EXPECT_EQ(128, abInfo[0]);
    EXPECT_EQ(std::string(4, 'Z'), std::string(reinterpret_cast<char*>(abInfo) + 128, 4));

    // No such port: 1223 with error flags 0.
    std::memset(abRet, 0x5A, sizeof abRet);
    EXPECT_EQ(1, iCall(pfn[1], {r}));
    ExpectRecord(abRet, 1223, 0);
    EXPECT_EQ(0, iCall(pfn[2], {}));
    EXPECT_TRUE(::FreeLibrary(h));
}
