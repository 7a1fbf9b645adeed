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

/* What the library knows of the reader it serves (Quillon_GetReaderInfo).
 * uiSize comes first: the caller sets it to the size of the record it
 * passes (sizeof(tQuillonReaderInfo) of its header). Fields are only ever
 * added at the end; the library fills as much as both it and the caller
 * know and sets uiSize to the bytes it filled. */
typedef struct tQuillonReaderInfo {
    uint32_t uiSize;            /* 0: in: the record's size; out: the bytes filled */
    int32_t iReaderType;        /* 4: CardReaderType of the reader served (0: none) */
    int32_t iFamily;            /* 8: QUILLON_FAMILY_ */
    int32_t iTransport;         /* 12: QUILLON_TRANSPORT_ */
    uint16_t usUsbVendorId;     /* 16: the USB device looked for; 0: none, or the */
    uint16_t usUsbProductId;    /* 18:   one configured ([USB] VID and PID) */
    uint32_t uiFeatures;        /* 20: QUILLON_FEATURE_ bits of the family */
    uint32_t uiChipProtocols;   /* 24: QUILLON_CHIP_ bits of the family */
    int32_t iRetainedLifeValue; /* 28: tIdcLife value counting retained cards; -1: none */
    char acModelName[32];       /* 32: reader model, as the capabilities show it */
    char acFirmware[32];        /* 64: reader firmware, as the capabilities show it */
    char acLibVersion[32];      /* 96: this library's version text */
} tQuillonReaderInfo;

#pragma pack(pop)

/* The smallest uiSize taken: the record as this call first came. */
#define QUILLON_READER_INFO_MIN_SIZE 128u

#define QUILLON_FAMILY_UNKNOWN 0
#define QUILLON_FAMILY_A 1
#define QUILLON_FAMILY_B 2
#define QUILLON_FAMILY_C 3

#define QUILLON_TRANSPORT_NONE 0
#define QUILLON_TRANSPORT_SERIAL 1
#define QUILLON_TRANSPORT_USB_HID 2

#define QUILLON_FEATURE_WRITES_TRACKS 0x1u        /* IDC_WriteTrack writes */
#define QUILLON_FEATURE_RETAIN_COUNTER 0x2u       /* IDC_RetainCard hands back a counter */
#define QUILLON_FEATURE_LIFE_COUNTERS 0x4u        /* IDC_GetLifeInfo reads the reader's */
#define QUILLON_FEATURE_RELEASES_ANTIFISHING 0x8u /* IDC_ReleaseAntiFishing frees it */

#define QUILLON_CHIP_T0 0x1u     /* processor chips, ISO/IEC 7816-3 T=0 */
#define QUILLON_CHIP_T1 0x2u     /* processor chips, T=1 */
#define QUILLON_CHIP_MEMORY 0x4u /* memory chips */

/* The most bytes a chip operation (IDC_ChipIO reply, IDC_ChipPower answer to
 * reset) writes into the caller's reply buffer. Give buffers of this size:
 * the chip functions are not told the size of the caller's buffer, and the
 * length they hand back is written, never read. */
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
IDC_STATIC_ASSERT(sizeof(tQuillonReaderInfo) == 128, "tQuillonReaderInfo is 128 bytes");
IDC_STATIC_ASSERT(offsetof(tQuillonReaderInfo, uiFeatures) == 20, "features at 20");
IDC_STATIC_ASSERT(offsetof(tQuillonReaderInfo, acModelName) == 32, "model name at 32");
IDC_STATIC_ASSERT(offsetof(tQuillonReaderInfo, acLibVersion) == 96, "library version at 96");

/*
 * Ordinals 1..18 in this order.
 *
 * Pointer arguments. Every operation that takes a tDevReturn needs it: with
 * a null pRet it does nothing and returns 1. The records and values that
 * an operation fills (tIdcStatus, tIdcCaps, tIdcLife, tIdcTracks, the retain
 * counter, IDC_ChipIO's reply and its length, IDC_ChipPower's fourth
 * argument) are required as well: a null one is refused with code 1224
 * (error flags 1) before the reader is asked anything, whatever the reader
 * family would have done with it.
 */

/* Opens the reader that the configuration names. pRet required. */
IDC_API int IDC_CALL IDC_SetCommPara(tDevReturn* pRet);
/* Closes the reader and releases everything; always 0. */
IDC_API int IDC_CALL IDC_CloseComm(void);
/* pRet required. */
IDC_API int IDC_CALL IDC_Init(int iMode, tDevReturn* pRet);
/* pStatus (out) and pRet required. */
IDC_API int IDC_CALL IDC_GetStatus(tIdcStatus* pStatus, tDevReturn* pRet);
/* pRet required. */
IDC_API int IDC_CALL IDC_AcceptCard(int iMode, tDevReturn* pRet);
/*
 * Sends iCommandLen bytes from pCommand to the chip that IDC_ChipPower
 * powered; no chip powered: 1267. iSelector is not read: the chip type found
 * at power-on decides how the command travels.
 * - pCommand: required unless iCommandLen is 0; iCommandLen not negative
 *   (1224 otherwise). A command too long for the reader's command frame is
 *   refused without being sent, and so is any command longer than
 *   IDC_CHIP_REPLY_MAX bytes (also where the reader takes it in blocks).
 * - pReply (out): required, IDC_CHIP_REPLY_MAX bytes. Long replies that the
 *   reader hands over in pieces are joined there; one that would not fit is
 *   cut at IDC_CHIP_REPLY_MAX bytes and the call fails.
 * - pReplyLen (out): required; receives the reply's length. It is not read:
 *   it does not tell the library the size of pReply.
 */
IDC_API int IDC_CALL IDC_ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen,
                                uint8_t* pReply, uint32_t* pReplyLen, tDevReturn* pRet);
/* The second and third arguments carry pointers for some actions: they are
 * pointer-sized (32-bit in the 32-bit product).
 *
 * pArg4 is required for every action: a null pArg4 is refused with 1224
 * (flags 1) and nothing is sent, also for actions that do not use it
 * (IDC_ChipPower(3, 0, 0, NULL, &ret) answers 1224). Per action:
 * - 1, power the chip on: uArg2 = answer-to-reset buffer (out,
 *   IDC_CHIP_REPLY_MAX bytes), uArg3 = pointer to a uint32_t that receives
 *   the answer's length, pArg4 = pointer to a uint32_t chip type (out).
 *   Family A also reads the chip type when the reader cannot prepare the
 *   chip, and refuses a null uArg2 or uArg3 with 1224: pass 255 (no chip)
 *   and always give both.
 * - 2, reset the chip (family C: power on, as 1): uArg2 and uArg3 as for
 *   action 1; pArg4 as for action 1 (family A does not use it, but it must
 *   not be null).
 * - 3, power the chip off: uArg2 and uArg3 are not used (pass 0); pArg4 =
 *   pointer to a uint32_t chip type, set to 255 (family A over USB leaves it).
 * - any other action: 1224 (family A over USB: returns 0, nothing done).
 */
IDC_API int IDC_CALL IDC_ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                                   tDevReturn* pRet);
/* pRet required. */
IDC_API int IDC_CALL IDC_EjectCard(tDevReturn* pRet);
/* pCaps (out) and pRet required. */
IDC_API int IDC_CALL IDC_GetCapabilities(tIdcCaps* pCaps, tDevReturn* pRet);
/* pLife (out) and pRet required. */
IDC_API int IDC_CALL IDC_GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet);
/* pTracks (out) and pRet required. Each length tells how many bytes its
 * area holds (at most 79, 40 and 107 in families A and B, the whole area in
 * family C); the areas are not zero-terminated. */
IDC_API int IDC_CALL IDC_ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet);
/* pRet required. */
IDC_API int IDC_CALL IDC_Reset(tDevReturn* pRet);
/* pRet required. */
IDC_API int IDC_CALL IDC_ResetCount(int iCounter, tDevReturn* pRet);
/* pRetainCount (out) and pRet required, also for a reader that reports no
 * counter (family C leaves it as passed). */
IDC_API int IDC_CALL IDC_RetainCard(uint32_t* pRetainCount, tDevReturn* pRet);
/* pRet required. */
IDC_API int IDC_CALL IDC_ReleaseAntiFishing(tDevReturn* pRet);
/* iTrack 1, 2 or 3 (another number writes nothing and fails); pData
 * required with uiLen 1..79, 1..40 or 1..107 bytes for track 1, 2 or 3 (else
 * 1224 with error flags 0). A zero byte in the data ends what is written.
 * pRet required. */
IDC_API int IDC_CALL IDC_WriteTrack(int iTrack, const uint8_t* pData, uint32_t uiLen,
                                    tDevReturn* pRet);
/* pName (out): at least 32 bytes; the name comes zero-terminated. A null
 * pName is ignored. */
IDC_API void IDC_CALL IDC_GetLogicalDevName(char* pName);
/* pName: up to 31 characters, a longer name is cut. A null pName is ignored. */
IDC_API void IDC_CALL IDC_SetLogicalDevName(const char* pName);

/* Beside the 18 IDC_ functions (ordinal 19 in Quillon.dll; symbol version
 * QUILLON_1.2 on Linux): what the library knows of the reader it serves,
 * from the reader type the last IDC_SetCommPara settled on; the model and
 * firmware as the capabilities show them (empty before IDC_Init). Nothing is
 * sent to the reader. pRet required. pInfo required, its uiSize at least
 * QUILLON_READER_INFO_MIN_SIZE: else 1224 (flags 1) and the record is left
 * alone. No IDC_SetCommPara yet: 1267. */
IDC_API int IDC_CALL Quillon_GetReaderInfo(tQuillonReaderInfo* pInfo, tDevReturn* pRet);

#if !defined(_WIN32)
/* Linux only, beside the 18 IDC_ functions (symbol version QUILLON_1.1):
 * names this process's configuration file from the next operation on, in
 * place of QUILLON_CONFIG and Quillon.ini; NULL or "" returns to those. For
 * a host that must not change its environment (setenv races with getenv on
 * its other threads). The name is copied. 0: named; 1: out of memory. */
IDC_API int IDC_CALL Quillon_SetConfigPath(const char* pPath);
#endif

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_IDC_H */
