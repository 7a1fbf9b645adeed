#include "readers/family_a/hid_reader_a.h"

#include <cstring>

#include "readers/family_a/hid_a_codec.h"

namespace quillon {

namespace {

// Configuration keys of the USB reader, in the order they are applied.
const tConfigKeyA kUsbKeys[] = {
    {"ProtocolMode", 0, {{0, "CY105", 0}, {1, "CY100", 0}}, 0, tConfigKeyA::kCapNone, 0, -1},
    {"IntakeMode",
     1,
     {{1, "CSL1", 1}, {2, "CSL0", 3}},
     4,
     tConfigKeyA::kCapState,
     OFamilyAReader::kCapIntake,
     OFamilyAReader::kStIntakeMode},
    {"ActMode",
     1,
     {{1, "CSN2", 1}, {2, "CSN1", 2}},
     3,
     tConfigKeyA::kCapState,
     OFamilyAReader::kCapAct,
     OFamilyAReader::kStActMode},
    // Which card dispenser stands in front of the reader, as configured.
    {"DispenseCardDev",
     0,
     {{0, nullptr, 0}, {0, nullptr, 0}},
     0,
     tConfigKeyA::kCapState,
     OFamilyAReader::kCapModule,
     OFamilyAReader::kStModule},
};

// Where the USB reader differs, calls it does not take are answered with
// 0 or its own value and the record left as it was.
const tFamilyAProfile kUsbProfile = {
    {"C00", "C01", "C07"},
    false, // a reset keeps the reader and chip state
    kUsbKeys,
    sizeof kUsbKeys / sizeof kUsbKeys[0],
    false,
    false,         // GetStatus takes the reply code and the sensor characters only
    true,          // other entry modes go out as three zero bytes
    {Code::Ok, 0}, // Init mode, ChipPower action
    {Code::Ok, 0}, // (other entry modes are sent)
    {Code::Ok, 0}, // entry with no module
    {Code::Ok, 0}, // ChipIO with no chip
    {Code::Ok, ToInt(Code::Refused)}, // nothing to write
    {Code::Ok, 1},                    // memory chip reset
    10000,
    false, // switch-off leaves the caller's type
    true,  // any counter number
    true,  // retain: moves only after "C41"
    false, // a full counter stays
};

} // namespace

OHidReaderA::OHidReaderA(OReaderComm* pComm) : OFamilyAReader(pComm, kUsbProfile, nullptr) {}

tDriverResult OHidReaderA::SetCommPara() {
    int type = 0;
    const bool bFirst =
        m_pComm->iGetIntValue("CardReaderType", "CardReaderType", type) != 0 || type == 4;
    const bool bFound = bFirst ? m_link.bOpen(0x04A4, 0x008B) : m_link.bOpen(0x0590, 0x0035);
    return tDriverResult::Untouched(bFound ? 0 : 1);
}

tCommandReply OHidReaderA::tExchange(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                                     uint32_t uiReplySize, uint32_t uiTimeoutMs) {
    tCommandReply x;
    uint8_t report[OHidLink::kSendSize];
    const uint32_t used = hid_a::EncodeCommand(pText, uiLen, report);
    x.eCode = used ? m_link.eSendReport(report, used, uiTimeoutMs) : Code::BadArgument;
    if (x.eCode != Code::Ok)
        return x;
    // The reply echoes the command characters; a report that echoes
    // others is a late reply to an earlier command and is dropped.
    const uint8_t* pEcho = OHidLink::pCommandCharacters(pText, uiLen);
    const auto bAnswers = [pEcho](const uint8_t* pGot) {
        return !pEcho || (pGot[0] == pEcho[0] && pGot[1] == pEcho[1]);
    };
    uint8_t recv[OHidLink::kRecvSize] = {};
    uint32_t count = 0;
    const uint8_t* pReplyText = nullptr;
    uint32_t len = 0;
    if (!m_link.bReadFirstReport(recv, sizeof recv, count, NowMs() + uiTimeoutMs, bAnswers) ||
        !hid_a::DecodeReply(recv, count, &pReplyText, &len) || len - kReplyHeaderA > uiReplySize) {
        x.eCode = Code::CommFailed;
        return x;
    }
    x.uiDataLen = len - kReplyHeaderA;
    if (x.uiDataLen)
        std::memcpy(pReply, pReplyText + kReplyHeaderA, x.uiDataLen);
    std::memcpy(x.abShown, pReplyText, len);
    x.uiShownLen = len;
    x.eCode = ReplyCodeA(pReplyText);
    return x;
}

} // namespace quillon
