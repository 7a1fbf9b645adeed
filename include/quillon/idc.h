/*
 * Quillon - driver library for motorised ID-card readers.
 *
 * The one header a host application needs: the records that cross the
 * interface and the 18 exported IDC_ functions. Every record is byte-packed
 * and little-endian; its layout is part of the binary interface.
 *
 * Every operation returns 0 (success) or 1 (failure) and fills the caller's
 * tDevReturn with the library code (0 or 1201..1299). A few track operations
 * return a library code instead of 1 in set cases (1249, 1251, 1268).
 */
#ifndef QUILLON_IDC_H
#define QUILLON_IDC_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define IDC_CALL __stdcall
#else
#define IDC_CALL
#endif

#if defined(_WIN32)
#if defined(QUILLON_BUILDING)
#define IDC_API __declspec(dllexport)
#else
#define IDC_API __declspec(dllimport)
#endif
#elif defined(QUILLON_BUILDING)
#define IDC_API __attribute__((visibility("default")))
#else
#define IDC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* Result record of every operation (272 bytes). */
typedef struct tDevReturn {
    int32_t iCode1;          /* library result code */
    int32_t iCode2;          /* the same code; the one the library reads back */
    int32_t iErrFlag1;       /* 0 or 1 */
    int32_t iErrFlag2;       /* the same as iErrFlag1 */
    char acReplyText[256];   /* reply header bytes of families A and B; rest untouched */
} tDevReturn;

/* Reader status: fifteen 16-bit fields; meaning per reader family. */
typedef struct tIdcStatus {
    uint16_t usField[15];
} tIdcStatus;

/* Reader capabilities (176 bytes). */
typedef struct tIdcCaps {
    uint16_t usField[8];     /* offsets 0..14: model identified, mode states,
                                module state, counter limit, retain counter */
    char acModelName[32];    /* 16: reader model name */
    char acFirmware[32];     /* 48: reader version text / firmware identifier */
    char acLibVersion[32];   /* 80: this library's version text */
    char acInfo[32];         /* 112: reader information reply */
    char acDate[32];         /* 144: reader date text (family B) */
} tIdcCaps;

/* Life counters: eleven 32-bit values; meaning per reader family. */
typedef struct tIdcLife {
    uint32_t uiValue[11];
} tIdcLife;

/* Magnetic track data (241 bytes). A length of 0 means no data. */
typedef struct tIdcTracks {
    uint32_t uiLen1;
    uint32_t uiLen2;
    uint32_t uiLen3;
    uint8_t abTrack1[80];
    uint8_t abTrack2[41];
    uint8_t abTrack3[108];
} tIdcTracks;

#pragma pack(pop)

/* The most bytes a chip operation (IDC_ChipIO reply, IDC_ChipPower answer to
 * reset) writes into the caller's reply buffer. Give buffers of this size. */
#define IDC_CHIP_REPLY_MAX 4096

#ifdef __cplusplus
#define IDC_STATIC_ASSERT static_assert
#else
#define IDC_STATIC_ASSERT _Static_assert
#endif
IDC_STATIC_ASSERT(sizeof(tDevReturn) == 272, "tDevReturn is 272 bytes");
IDC_STATIC_ASSERT(offsetof(tDevReturn, iCode1) == 0, "iCode1 at 0");
IDC_STATIC_ASSERT(offsetof(tDevReturn, iCode2) == 4, "iCode2 at 4");
IDC_STATIC_ASSERT(offsetof(tDevReturn, iErrFlag1) == 8, "iErrFlag1 at 8");
IDC_STATIC_ASSERT(offsetof(tDevReturn, iErrFlag2) == 12, "iErrFlag2 at 12");
IDC_STATIC_ASSERT(offsetof(tDevReturn, acReplyText) == 16, "acReplyText at 16");
IDC_STATIC_ASSERT(sizeof(tIdcStatus) == 30, "tIdcStatus is 30 bytes");
IDC_STATIC_ASSERT(sizeof(tIdcCaps) == 176, "tIdcCaps is 176 bytes");
IDC_STATIC_ASSERT(offsetof(tIdcCaps, acModelName) == 16, "model name at 16");
IDC_STATIC_ASSERT(offsetof(tIdcCaps, acFirmware) == 48, "firmware at 48");
IDC_STATIC_ASSERT(offsetof(tIdcCaps, acLibVersion) == 80, "library version at 80");
IDC_STATIC_ASSERT(offsetof(tIdcCaps, acInfo) == 112, "info at 112");
IDC_STATIC_ASSERT(offsetof(tIdcCaps, acDate) == 144, "date at 144");
IDC_STATIC_ASSERT(sizeof(tIdcLife) == 44, "tIdcLife is 44 bytes");
IDC_STATIC_ASSERT(sizeof(tIdcTracks) == 241, "tIdcTracks is 241 bytes");
IDC_STATIC_ASSERT(offsetof(tIdcTracks, uiLen2) == 4, "track 2 length at 4");
IDC_STATIC_ASSERT(offsetof(tIdcTracks, uiLen3) == 8, "track 3 length at 8");
IDC_STATIC_ASSERT(offsetof(tIdcTracks, abTrack1) == 12, "track 1 at 12");
IDC_STATIC_ASSERT(offsetof(tIdcTracks, abTrack2) == 92, "track 2 at 92");
IDC_STATIC_ASSERT(offsetof(tIdcTracks, abTrack3) == 133, "track 3 at 133");

/* Ordinals 1..18 in this order. */
IDC_API int IDC_CALL IDC_SetCommPara(tDevReturn* pRet);
IDC_API int IDC_CALL IDC_CloseComm(void);
IDC_API int IDC_CALL IDC_Init(int iMode, tDevReturn* pRet);
IDC_API int IDC_CALL IDC_GetStatus(tIdcStatus* pStatus, tDevReturn* pRet);
IDC_API int IDC_CALL IDC_AcceptCard(int iMode, tDevReturn* pRet);
IDC_API int IDC_CALL IDC_ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen,
                                uint8_t* pReply, uint32_t* pReplyLen, tDevReturn* pRet);
/* The second and third arguments carry pointers for some actions: they are
 * pointer-sized (32-bit in the 32-bit product). */
IDC_API int IDC_CALL IDC_ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                                   tDevReturn* pRet);
IDC_API int IDC_CALL IDC_EjectCard(tDevReturn* pRet);
IDC_API int IDC_CALL IDC_GetCapabilities(tIdcCaps* pCaps, tDevReturn* pRet);
IDC_API int IDC_CALL IDC_GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet);
IDC_API int IDC_CALL IDC_ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet);
IDC_API int IDC_CALL IDC_Reset(tDevReturn* pRet);
IDC_API int IDC_CALL IDC_ResetCount(int iCounter, tDevReturn* pRet);
IDC_API int IDC_CALL IDC_RetainCard(uint32_t* pRetainCount, tDevReturn* pRet);
IDC_API int IDC_CALL IDC_ReleaseAntiFishing(tDevReturn* pRet);
IDC_API int IDC_CALL IDC_WriteTrack(int iTrack, const uint8_t* pData, uint32_t uiLen,
                                    tDevReturn* pRet);
IDC_API void IDC_CALL IDC_GetLogicalDevName(char* pName);
IDC_API void IDC_CALL IDC_SetLogicalDevName(const char* pName);

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_IDC_H */
