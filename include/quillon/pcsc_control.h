/*
 * Quillon PC/SC bridge: the vendor control codes of the reader's motor.
 *
 * A PC/SC application sends them with
 *   SCardControl(card, SCARD_CTL_CODE(QUILLON_CTL_EJECT), in, inLen, out, outLen, &got)
 * (SCARD_CTL_CODE from pcsc-lite's reader.h; connect with SCARD_SHARE_DIRECT
 * when no card is in the reader). Layouts: docs/pcsc.md.
 *
 * Input: QUILLON_CTL_ACCEPT and QUILLON_CTL_RESET take nothing or a mode,
 * 4 bytes little-endian (defaults 1 and 3); the others take nothing.
 * Output, at least QUILLON_CTL_HEADER bytes: the IDC_ function's result
 * (4 bytes little-endian), the library code (4 bytes little-endian), then
 * the record the function filled. The call succeeds whenever the function
 * ran; its result and code tell how the reader did. An output buffer too
 * small for the answer is refused before the reader is asked anything.
 */
#ifndef QUILLON_PCSC_CONTROL_H
#define QUILLON_PCSC_CONTROL_H

#define QUILLON_CTL_BASE 3500
/* IDC_AcceptCard(mode). Output: header. */
#define QUILLON_CTL_ACCEPT 3501
/* The chip is switched off, then IDC_EjectCard. Output: header. */
#define QUILLON_CTL_EJECT 3502
/* The chip is switched off, then IDC_RetainCard. Output: header, retain counter (4). */
#define QUILLON_CTL_RETAIN 3503
/* IDC_ReadTrack. Output: header, tIdcTracks (241 bytes). */
#define QUILLON_CTL_READ_TRACKS 3504
/* IDC_GetStatus. Output: header, tIdcStatus (30 bytes). */
#define QUILLON_CTL_STATUS 3505
/* The chip is switched off, then IDC_Init(mode). Output: header. */
#define QUILLON_CTL_RESET 3506

#define QUILLON_CTL_HEADER 8

#endif /* QUILLON_PCSC_CONTROL_H */
