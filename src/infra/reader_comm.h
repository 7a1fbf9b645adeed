// OReaderComm: the one communication object, shared by the serial drivers
// and the auxiliary module. Opens the port from the configuration (and the
// trace file with it), takes exact byte counts with a time-out, and keeps
// the outcome an operation left last.
#pragma once

#include <cstdint>

#include "infra/result_codes.h"
#include "platform/dev_base.h"

namespace quillon {

class OTraceLog;

class OReaderComm : public ODevBase {
public:
    // The most bytes one iReadReply or iReadSome takes.
    static constexpr uint32_t kMaxWanted = 1020;

    // Changes a family makes to the configured line settings.
    using LineAdjust = void (*)(tLineSettings& settings);

    OReaderComm(OTraceLog* pTraceLog, const char* pDevSection);
    ~OReaderComm() override;

    enum class PortOpening { AlreadyOpen, Opened, Failed };
    // Opens the port unless it is open already. The line takes the
    // configured port and speed, 8 data bits, even parity, one stop bit; with
    // "Dtr" 1 in the configuration DTR is on while open and RTS does
    // handshake; then pfnAdjust, when given, has its say. Opening also opens
    // the trace file (when "DllExtFunc"/"RemainDays" is configured). A port
    // whose line hung up counts as closed and is opened again. An opening
    // (failed or not) is kept as the last outcome, with flags 0.
    PortOpening eOpenPort(LineAdjust pfnAdjust = nullptr);
    // For a reader reached without the serial line: does what eOpenPort does
    // apart from the line (opens the trace file), unless the port is open
    // already. The port stays marked closed; no record is touched.
    void vPrepareWithoutPort();
    // In *pCount the number wanted (1..1020), out the number delivered.
    // 0 when at least one byte was delivered. Inside a reply frame no wait
    // runs past the frame's deadline.
    int iReadReply(uint8_t* pDest, uint32_t* pCount, uint32_t uiTimeoutMs);
    // Up to *pCount (1..1020) bytes of what has arrived, for an exchange
    // that cannot know its reply's length: one wait for the first byte, as
    // iReadReply's (cut at the frame's deadline), and what came with it.
    // Out: the number delivered; 0 when at least one byte was.
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
    // Drops every byte received and not yet taken.
    void vDiscardInput() { iPurgeInput(); }

    bool bPortOpen() const { return m_bPortOpen; }
    // The outcome an operation (or a port opening) left last; family C's
    // next status read reports a failure left here again.
    void vRecordOutcome(const tOutcome& tLast) { m_tLastOutcome = tLast; }
    const tOutcome& tLastOutcome() const { return m_tLastOutcome; }
    OTraceLog* pTraceLog() const { return m_pTraceLog; }

protected:
    // The line hung up: the port is closed, so the next eOpenPort opens it
    // again.
    void vOnLineLost() override;

private:
    // Opens the trace file when the configuration asks for one.
    void vOpenTraceFile();
    PortOpening eOpenResult(Code eCode);

    OTraceLog* m_pTraceLog;
    bool m_bPortOpen = false;
    uint32_t m_uiBaudRate = 0;      // the open port's speed
    bool m_bInFrame = false;        // a reply frame is being received
    uint64_t m_uiFrameDeadline = 0; // NowMs() by which it must be whole
    tOutcome m_tLastOutcome;
};

} // namespace quillon
