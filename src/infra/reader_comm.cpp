#include "infra/reader_comm.h"

#include "infra/bounded_copy.h"
#include "infra/result_codes.h"
#include "infra/trace_log.h"
#include "platform/clock.h"
#include "platform/system.h"

namespace quillon {

// The version text comes from the build: the project's version and the
// build number of the release.
#if !defined(QUILLON_VERSION_TEXT)
#error "QUILLON_VERSION_TEXT is set by the build"
#endif

namespace {
constexpr const char* kLibraryVersion = QUILLON_VERSION_TEXT;
constexpr uint32_t kBitsPerByte = 10;    // start, eight data bits, stop
constexpr uint32_t kFrameGraceMs = 1000; // on top of the wire time of a whole frame
constexpr uint32_t kAssumedBaud = 9600;  // when no port speed is known
constexpr unsigned kLineSettleMs = 200;  // after the modem lines are set on opening

} // namespace

OReaderComm::OReaderComm(OTraceLog* pTraceLog, const char* pDevSection) : m_pTraceLog(pTraceLog) {
    CopyText(acDevName, sizeof acDevName, pDevSection);
    CopyText(acVersion, sizeof acVersion, kLibraryVersion);
}

OReaderComm::~OReaderComm() {
    vCloseLine();
}

void OReaderComm::vOpenTraceFile() {
    int days = 0;
    if (iGetIntValue("DllExtFunc", "RemainDays", days) != 0 || !m_pTraceLog)
        return;
    int setting = 0;
    if (iGetIntValue("DllExtFunc", "Vantrel", setting) != 0)
        setting = 0;
    m_pTraceLog->vOpenTraceFile(days, acDevName, setting); // the file is named after it
}

OReaderComm::PortOpening OReaderComm::eOpenResult(Code eCode) {
    vRecordOutcome({eCode, 0});
    return eCode == Code::Ok ? PortOpening::Opened : PortOpening::Failed;
}

void OReaderComm::vPrepareWithoutPort() {
    if (!m_bPortOpen)
        vOpenTraceFile();
}

OReaderComm::PortOpening OReaderComm::eOpenPort(LineAdjust pfnAdjust) {
    if (m_bPortOpen)
        return PortOpening::AlreadyOpen;
    tLineSettings settings;
    if (iGetDefaultLineSettings(settings) != 0)
        return eOpenResult(Code::CommFailed);
    settings.eParity = Parity::Even;
    vOpenTraceFile();
    int dtr = 0;
    if (iGetIntValue("Dtr", "Dtr", dtr) == 0 && dtr == 1) {
        settings.bDtrOn = true;
        settings.bRtsHandshake = true;
    }
    if (pfnAdjust)
        pfnAdjust(settings);
    if (iOpenLine(settings) != 0)
        return eOpenResult(Code::CommFailed);

    m_uiBaudRate = settings.uiBaud;
    iSetRts(true);
    iSetDtr(false);
    SleepMs(kLineSettleMs);
    if (!bLineOpen()) // gone again while being prepared
        return eOpenResult(Code::CommFailed);
    m_bPortOpen = true;
    return eOpenResult(Code::Ok);
}

int OReaderComm::iReadReply(uint8_t* pDest, uint32_t* pCount, uint32_t uiTimeoutMs) {
    if (!pDest || !pCount || *pCount == 0 || *pCount > kMaxWanted)
        return 1;
    const uint32_t wanted = *pCount;
    uint32_t got = 0;
    while (got < wanted) {
        uint32_t count = wanted - got;
        if (iRead(pDest + got, count, uiFrameWaitMs(uiTimeoutMs)) != 0)
            break;
        got += count; // iRead never delivers more than asked
    }
    *pCount = got;
    return got > 0 ? 0 : 1;
}

int OReaderComm::iReadSome(uint8_t* pDest, uint32_t* pCount, uint32_t uiTimeoutMs) {
    if (!pDest || !pCount || *pCount == 0 || *pCount > kMaxWanted)
        return 1;
    if (iRead(pDest, *pCount, uiFrameWaitMs(uiTimeoutMs)) != 0) {
        *pCount = 0;
        return 1;
    }
    return 0;
}

uint32_t OReaderComm::uiFrameSlackMs(uint32_t uiLargest) const {
    const uint64_t baud = m_uiBaudRate ? m_uiBaudRate : kAssumedBaud;
    const uint64_t wireMs = (uint64_t{uiLargest} * kBitsPerByte * 1000 + baud - 1) / baud;
    const uint64_t slack = wireMs + kFrameGraceMs;
    return slack > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(slack);
}

void OReaderComm::vBeginFrame(uint32_t uiTimeoutMs, uint32_t uiLargest) {
    m_uiFrameDeadline = NowMs() + uiTimeoutMs + uiFrameSlackMs(uiLargest);
    m_bInFrame = true;
}

uint32_t OReaderComm::uiFrameWaitMs(uint32_t uiTimeoutMs) const {
    if (!m_bInFrame)
        return uiTimeoutMs;
    const uint32_t left = MsLeft(m_uiFrameDeadline);
    return left < uiTimeoutMs ? left : uiTimeoutMs;
}

bool OReaderComm::bFrameLate() const {
    return m_bInFrame && NowMs() >= m_uiFrameDeadline;
}

void OReaderComm::vOnLineLost() {
    m_bPortOpen = false;
}

} // namespace quillon
