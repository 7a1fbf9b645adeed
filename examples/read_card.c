/*
 * read_card: a small host program in plain C that uses only the public
 * header quillon/idc.h. It opens the reader named by the configuration
 * (QUILLON_CONFIG, else Quillon.ini in the working directory), initialises
 * it, lets a card in, waits up to 30 s for it, reads the three magnetic
 * tracks, ejects the card and closes. Every step prints its result and the
 * library code with its meaning.
 *
 * Build against an installed Quillon:
 *   cc read_card.c $(pkg-config --cflags --libs quillon) -o read_card
 * or with CMake: find_package(Quillon 1.0 CONFIG REQUIRED) and link
 * Quillon::quillon.
 *
 * Exit status: 0 when the tracks were read, 1 when a step failed.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 199309L /* nanosleep */
#endif
#include <quillon/idc.h>

#include <stdio.h>
#include <string.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

/* The codes a host meets most; docs/result-codes.md lists all of them. */
static const struct {
    int code;
    const char* text;
} kCodeTexts[] = {
    {0, "done"},
    {1201, "done (no card)"},
    {1202, "done (card at the gate)"},
    {1203, "done (card inside)"},
    {1211, "reader positive but operation not done"},
    {1221, "reply not recognised"},
    {1223, "connection not opened, or command not sent"},
    {1224, "argument refused"},
    {1225, "no acknowledgement from the reader"},
    {1226, "wrong acknowledgement from the reader"},
    {1249, "no track could be read"},
    {1251, "no track could be read"},
    {1266, "not supported by this reader"},
    {1267, "not available (no open reader, or chip type not supported)"},
    {1299, "the reader did not answer"},
};

static const char* CodeText(int code) {
    size_t i;
    for (i = 0; i < sizeof kCodeTexts / sizeof kCodeTexts[0]; ++i)
        if (kCodeTexts[i].code == code)
            return kCodeTexts[i].text;
    return code >= 1201 && code <= 1299 ? "reader code, see result-codes.md" : "unknown code";
}

/* Prints one step; returns 1 when it succeeded. */
static int Report(const char* step, int result, const tDevReturn* ret) {
    printf("%-12s result %d, code %d: %s\n", step, result, ret->iCode2, CodeText(ret->iCode2));
    return result == 0;
}

static void SleepMs(long ms) {
#if defined(_WIN32)
    Sleep((DWORD)ms);
#else
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
#endif
}

static void PrintTrack(int number, const uint8_t* data, uint32_t len, uint32_t cap) {
    uint32_t i;
    if (len > cap)
        len = cap;
    printf("track %d (%u bytes): ", number, (unsigned)len);
    for (i = 0; i < len; ++i)
        putchar(data[i] >= 0x20 && data[i] < 0x7F ? data[i] : '.');
    putchar('\n');
}

int main(void) {
    tDevReturn ret;
    tIdcStatus status;
    tIdcTracks tracks;
    int ok = 0;
    int waited;

    memset(&ret, 0, sizeof ret);
    if (!Report("open", IDC_SetCommPara(&ret), &ret))
        goto close;
    if (!Report("init", IDC_Init(1, &ret), &ret))
        goto close;
    if (!Report("accept", IDC_AcceptCard(1, &ret), &ret))
        goto close;

    /* Status field 1: 1 no card, 2 card at the gate, 3 card inside. */
    memset(&status, 0, sizeof status);
    for (waited = 0; waited < 30000; waited += 200) {
        if (IDC_GetStatus(&status, &ret) == 0 && status.usField[1] == 3)
            break;
        SleepMs(200);
    }
    if (!Report("wait card", status.usField[1] == 3 ? 0 : 1, &ret))
        goto close;

    memset(&tracks, 0, sizeof tracks);
    /* A track operation may answer a library code instead of 1. */
    if (Report("read tracks", IDC_ReadTrack(&tracks, &ret), &ret)) {
        PrintTrack(1, tracks.abTrack1, tracks.uiLen1, sizeof tracks.abTrack1);
        PrintTrack(2, tracks.abTrack2, tracks.uiLen2, sizeof tracks.abTrack2);
        PrintTrack(3, tracks.abTrack3, tracks.uiLen3, sizeof tracks.abTrack3);
        ok = 1;
    }
    if (!Report("eject", IDC_EjectCard(&ret), &ret))
        ok = 0;

close:
    printf("%-12s result %d\n", "close", IDC_CloseComm());
    return ok ? 0 : 1;
}
