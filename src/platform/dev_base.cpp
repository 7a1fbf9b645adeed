#include "platform/dev_base.h"

#include "platform/config_store.h"
#include "platform/serial_line.h"

#include <cstring>
#include <string>

ODevBase::ODevBase() : m_lastOutcome{} {
    std::memset(acVersion, 0, sizeof acVersion);
    std::memset(acName2, 0, sizeof acName2);
    std::memset(acDevName, 0, sizeof acDevName);
}

ODevBase::~ODevBase() {
    if (m_line)
        m_line->vClose();
}

namespace {
// A USB reader (CardReaderType 4 and up) is reached without a serial port.
bool bUsbReaderConfigured() {
    int type = 0;
    return quillon::ConfigGetInt(quillon::ConfigPath(), "CardReaderType", "CardReaderType",
                                 type) == 0 &&
           type >= 4;
}

// The configured port: 0 and the name, or 1 when none is configured.
int iConfiguredPort(std::string& port) {
    if (quillon::ConfigGetString(quillon::ConfigPath(), "CARDREADER", "Port", port) != 0)
        port.clear();
    return port.empty() ? 1 : 0;
}
} // namespace

int ODevBase::iPreInitDev() {
    std::string port;
    return iConfiguredPort(port) == 0 || bUsbReaderConfigured() ? 0 : 1;
}

int ODevBase::iGetDefaultCommConfig2(tCommCfg2& cfg) {
    std::string port;
    if ((iConfiguredPort(port) != 0 && !bUsbReaderConfigured()) || port.size() >= sizeof cfg.acPort)
        return 1;
    int baud = 9600;
    if (quillon::ConfigGetInt(quillon::ConfigPath(), "CARDREADER", "BaudRate", baud) != 0 ||
        baud <= 0)
        baud = 9600;
    cfg.iKind = 1;
    cfg.uiBaudRate = static_cast<uint32_t>(baud);
    cfg.byDataBits = 8;
    cfg.byParity = 0;
    cfg.byStopBits = 0;
    std::memset(cfg.acPort, 0, sizeof cfg.acPort);
    std::memcpy(cfg.acPort, port.data(), port.size());
    return 0;
}

int ODevBase::iInitComm2(tCommCfg2 cfg, bool /*bOverlapped*/) {
    if (m_line)
        m_line->vClose();
    m_line.reset();
    if (cfg.iKind != 1)
        return 1; // only the RS-232 line is driven here
    m_line = MakeSerialLine();
    if (!m_line)
        return 1;
    if (m_line->iOpen(cfg) != 0) {
        m_line.reset();
        return 1;
    }
    return 0;
}

int ODevBase::iLineResult(int iRc) {
    if (iRc == OSerialLine::kHungUp && m_line) {
        m_line->vClose();
        m_line.reset();
        vOnLineLost();
    }
    return iRc == 0 ? 0 : 1;
}

int ODevBase::iExtendCommFunc(uint32_t uiFunc) {
    if (!m_line)
        return 1;
    return iLineResult(m_line->iLineControl(uiFunc));
}

int ODevBase::iCloseComm2() {
    if (m_line) {
        m_line->vClose();
        m_line.reset();
    }
    return 0;
}

int ODevBase::iSendCommand2(const uint8_t* pData, uint32_t uiLen, short, bool, bool) {
    if (!m_line || (!pData && uiLen))
        return 1;
    return iLineResult(m_line->iWrite(pData, uiLen));
}

int ODevBase::iWaitResult2(uint8_t* pBuf, uint32_t& uiCount, uint32_t uiTimeoutMs, short, bool) {
    const uint32_t want = uiCount;
    uiCount = 0;
    if (!m_line || !pBuf || want == 0)
        return 1;
    size_t got = 0;
    const int rc = m_line->iRead(pBuf, want, got, uiTimeoutMs);
    if (rc != 0 || got == 0)
        return iLineResult(rc == 0 ? 1 : rc);
    uiCount = static_cast<uint32_t>(got > want ? want : got);
    return 0;
}

int ODevBase::iPurgeInput() {
    if (!m_line)
        return 1;
    m_line->vPurgeInput();
    return 0;
}

void ODevBase::vSetErrorFlag(int) { std::memset(&m_lastOutcome, 0, sizeof m_lastOutcome); }

void ODevBase::vSetErrorFlag(tDevReturn tRet) { m_lastOutcome = tRet; }

tDevReturn ODevBase::tGetErrorFlag() { return m_lastOutcome; }

int ODevBase::iGetIntValue(const char* pSection, const char* pKey, int& iValue) {
    return quillon::ConfigGetInt(quillon::ConfigPath(), pSection, pKey, iValue);
}

int ODevBase::iSetIntValue(const char* pSection, const char* pKey, int32_t iValue) {
    return quillon::ConfigSetInt(quillon::ConfigPath(), pSection, pKey, iValue);
}
