// OReaderComm: the one communication object, shared by the serial drivers
// and the auxiliary module. Opens the port from the configuration (and the
// trace file with it), takes exact byte counts with a time-out, and turns a
// library code into the fields of a tDevReturn.
#pragma once

#include <cstdint>

#include "platform/dev_base.h"

class OTraceLog;

class OReaderComm : public ODevBase {
public:
    static constexpr uint16_t kRecvCapacity = 1024; // header of 4 bytes included
    static constexpr uint32_t kMaxWanted = kRecvCapacity - 4;

    OReaderComm(OTraceLog* pTraceLog, const char* pDevSection);
    ~OReaderComm() override;

    // 0: the port is open (or a USB reader needs none). 1: CommFailed recorded.
    // A port whose line hung up counts as closed and is opened again, by
    // the configured port name.
    int iOpenPort(tDevReturn* pRet);
    // In *pCount the number wanted (1..1020), out the number delivered.
    // 0 when at least one byte was delivered. Inside a reply frame no wait
    // runs past the frame's deadline.
    int iReadReply(uint8_t* pDest, uint32_t* pCount, uint32_t uiTimeoutMs);
    // Up to *pCount (1..1020) bytes of what has arrived, for an exchange
    // that cannot know its reply's length: the bytes held here, else what
    // the line has, waiting for the first byte as iReadReply does (and cut
    // at the frame's deadline). Out: the number delivered; 0 when at least
    // one byte was.
    int iReadSome(uint8_t* pDest, uint32_t* pCount, uint32_t uiTimeoutMs);

    // A reply frame of at most uiLargest bytes: its first byte may take
    // uiTimeoutMs, the whole frame that time-out plus the time uiLargest
    // bytes take on the wire (10 bits a byte at the port's speed) plus one
    // second, counted from now. Until vEndFrame, every wait of iReadReply
    // and uiFrameWaitMs is cut at that deadline; past it, only bytes that
    // have already arrived are taken.
    void vBeginFrame(uint32_t uiTimeoutMs, uint32_t uiLargest);
    void vEndFrame() { m_bInFrame = false; }
    // The wait to ask of the line for one read with uiTimeoutMs: cut at the
    // frame's deadline, 0 once it has passed; uiTimeoutMs outside a frame.
    uint32_t uiFrameWaitMs(uint32_t uiTimeoutMs) const;
    // The whole frame's allowance beyond its first byte's time-out.
    uint32_t uiFrameSlackMs(uint32_t uiLargest) const;
    // Inside a frame whose deadline has passed.
    bool bFrameLate() const;

    // Ends the frame however the exchange is left.
    class OFrame {
    public:
        OFrame(OReaderComm* pComm, uint32_t uiTimeoutMs, uint32_t uiLargest) : m_pComm(pComm) {
            m_pComm->vBeginFrame(uiTimeoutMs, uiLargest);
        }
        ~OFrame() { m_pComm->vEndFrame(); }
        OFrame(const OFrame&) = delete;
        OFrame& operator=(const OFrame&) = delete;

    private:
        OReaderComm* m_pComm;
    };
    // Fills the record with the code and its flag; leaves 0 or 1 in *pCode.
    void vReportResult(int* pCode, tDevReturn* pRet);
    // Drops every byte received and not yet taken, on the line and here.
    void vDiscardInput();

    bool bPortOpen() const { return m_iPortOpen != 0; }
    OTraceLog* pTraceLog() const { return m_pTraceLog; }

protected:
    // The line hung up: the port is closed, so the next iOpenPort opens it
    // again; bytes held from it are dropped.
    void vOnLineLost() override;

private:
    uint16_t uiHeld() const;
    void vSetHeld(uint16_t uiCount);

    uint8_t* m_pRecvBuf;
    OTraceLog* m_pTraceLog;
    int m_iPortOpen;
    uint32_t m_uiBaudRate = 0;      // the open port's speed
    bool m_bInFrame = false;        // a reply frame is being received
    uint64_t m_uiFrameDeadline = 0; // quillon::NowMs() by which it must be whole
};
