#include "platform/dev_base.h"

#include "platform/config_store.h"
#include "platform/serial_line.h"

#include <cstring>
#include <string>

namespace quillon {

ODevBase::ODevBase() {
    std::memset(acVersion, 0, sizeof acVersion);
    std::memset(acDevName, 0, sizeof acDevName);
}

ODevBase::~ODevBase() {
    vCloseLine();
}

int ODevBase::iGetDefaultLineSettings(tLineSettings& settings) {
    std::string port;
    if (ConfigGetString(ConfigPath(), "CARDREADER", "Port", port) != 0 || port.empty())
        return 1;
    int baud = 9600;
    if (ConfigGetInt(ConfigPath(), "CARDREADER", "BaudRate", baud) != 0 || baud <= 0)
        baud = 9600;
    settings = tLineSettings{};
    settings.sPort = port;
    settings.uiBaud = static_cast<uint32_t>(baud);
    return 0;
}

int ODevBase::iOpenLine(const tLineSettings& settings) {
    vCloseLine();
    std::unique_ptr<OSerialLine> line = OSerialLineFactory::pMake();
    if (!line || line->iOpen(settings) != 0)
        return 1;
    m_line = std::move(line);
    return 0;
}

void ODevBase::vCloseLine() {
    if (m_line) {
        m_line->vClose();
        m_line.reset();
    }
}

int ODevBase::iLineResult(int iRc) {
    if (iRc == OSerialLine::kHungUp && m_line) {
        vCloseLine();
        vOnLineLost();
    }
    return iRc == 0 ? 0 : 1;
}

int ODevBase::iWrite(const uint8_t* pData, uint32_t uiLen) {
    if (!m_line || (!pData && uiLen))
        return 1;
    return iLineResult(m_line->iWrite(pData, uiLen));
}

int ODevBase::iRead(uint8_t* pBuf, uint32_t& uiCount, uint32_t uiTimeoutMs) {
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

int ODevBase::iSetModemLine(ModemLine eLine, bool bRaise) {
    if (!m_line)
        return 1;
    return iLineResult(m_line->iSetModemLine(eLine, bRaise));
}

int ODevBase::iSetRts(bool bRaise) {
    return iSetModemLine(ModemLine::Rts, bRaise);
}

int ODevBase::iSetDtr(bool bRaise) {
    return iSetModemLine(ModemLine::Dtr, bRaise);
}

int ODevBase::iPurgeInput() {
    if (!m_line)
        return 1;
    m_line->vPurgeInput();
    return 0;
}

int ODevBase::iGetIntValue(const char* pSection, const char* pKey, int& iValue) {
    return ConfigGetInt(ConfigPath(), pSection, pKey, iValue);
}

int ODevBase::iSetIntValue(const char* pSection, const char* pKey, int32_t iValue) {
    return ConfigSetInt(ConfigPath(), pSection, pKey, iValue);
}

} // namespace quillon
