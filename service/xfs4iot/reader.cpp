#include "reader.h"

#include <cstring>

#include "log.h"
#include "quillon/idc.h"

namespace quillon::xfs {

namespace {

static_assert(kNeedsTrackWrite == QUILLON_FEATURE_WRITES_TRACKS, "the catalog's feature bits");
static_assert(kNeedsRetainCounter == QUILLON_FEATURE_RETAIN_COUNTER, "the catalog's feature bits");

tDevReturn Fresh() {
    tDevReturn r;
    std::memset(&r, 0, sizeof r);
    return r;
}

// A text field of the capabilities record: up to its size, printable only.
std::string Text(const char* p, size_t n) {
    std::string s(p, strnlen(p, n));
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

} // namespace

tCall OReaderPort::Done(const char* pFunction, int iResult, int iRecordCode) {
    tCall c;
    c.iResult = iResult;
    // The track operations hand some codes back as their result.
    c.iCode = iResult > 1 ? iResult : iRecordCode;
    m_hooks.vOnLibraryCall(pFunction, c.iResult, c.iCode);
    return c;
}

tCall OReaderPort::Open() {
    tDevReturn r = Fresh();
    IDC_CloseComm(); // a reader opened before (an adapter pulled out) starts afresh
    // The call first: a function's arguments are evaluated in no set order.
    int iResult = IDC_SetCommPara(&r);
    tCall c = Done("IDC_SetCommPara", iResult, r.iCode2);
    if (!c.bOk()) {
        vReadFacts(); // no reader settled on: nothing known of the last one
        return c;
    }
    r = Fresh();
    // Mode 3: the reader is reset and refuses cards; a card inside stays.
    iResult = IDC_Init(3, &r);
    c = Done("IDC_Init", iResult, r.iCode2);
    vReadFacts();
    return c;
}

void OReaderPort::vReadFacts() {
    tQuillonReaderInfo info;
    std::memset(&info, 0, sizeof info);
    info.uiSize = sizeof info;
    tDevReturn r = Fresh();
    m_facts = tReaderFacts();
    if (Quillon_GetReaderInfo(&info, &r) != 0) {
        m_hooks.vOnLibraryCall("Quillon_GetReaderInfo", 1, r.iCode2);
        QLOG_WARN("the library does not tell what the reader is (%d)", r.iCode2);
        return;
    }
    // A family the service has no code rows for still brings its features.
    static const Family kFamilies[] = {Family::Unknown, Family::A, Family::B, Family::C};
    const bool bKnown = info.iFamily >= QUILLON_FAMILY_A && info.iFamily <= QUILLON_FAMILY_C;
    m_facts.eFamily = bKnown ? kFamilies[info.iFamily] : Family::Unknown;
    m_facts.uFeatures = info.uiFeatures;
    m_facts.bChipT0 = (info.uiChipProtocols & QUILLON_CHIP_T0) != 0;
    m_facts.bChipT1 = (info.uiChipProtocols & QUILLON_CHIP_T1) != 0;
    m_facts.iRetainedLifeValue =
        info.iRetainedLifeValue >= 0 && info.iRetainedLifeValue < 11 ? info.iRetainedLifeValue : -1;
    m_facts.sModel = Text(info.acModelName, sizeof info.acModelName);
    m_facts.sFirmware = Text(info.acFirmware, sizeof info.acFirmware);
    m_facts.sLibVersion = Text(info.acLibVersion, sizeof info.acLibVersion);
}

void OReaderPort::vClose() {
    IDC_CloseComm();
}

tCall OReaderPort::Status(Position& ePosition) {
    tIdcStatus st;
    std::memset(&st, 0, sizeof st);
    tDevReturn r = Fresh();
    const int iResult = IDC_GetStatus(&st, &r);
    const tCall c = Done("IDC_GetStatus", iResult, r.iCode2);
    static const Position kByField[] = {Position::Unknown, Position::None, Position::Gate,
                                        Position::Inside, Position::Stuck};
    ePosition = c.bOk() && st.usField[1] <= 4 ? kByField[st.usField[1]] : Position::Unknown;
    return c;
}

tCall OReaderPort::Init(int iMode) {
    tDevReturn r = Fresh();
    const int iResult = IDC_Init(iMode, &r);
    return Done("IDC_Init", iResult, r.iCode2);
}

tCall OReaderPort::Accept() {
    tDevReturn r = Fresh();
    const int iResult = IDC_AcceptCard(1, &r);
    return Done("IDC_AcceptCard", iResult, r.iCode2);
}

tCall OReaderPort::ReadTracks(std::string asTracks[3]) {
    tIdcTracks t;
    std::memset(&t, 0, sizeof t);
    tDevReturn r = Fresh();
    const int iResult = IDC_ReadTrack(&t, &r);
    const tCall c = Done("IDC_ReadTrack", iResult, r.iCode2);
    const uint32_t auiLen[3] = {t.uiLen1, t.uiLen2, t.uiLen3};
    const uint8_t* apData[3] = {t.abTrack1, t.abTrack2, t.abTrack3};
    const size_t auiRoom[3] = {sizeof t.abTrack1, sizeof t.abTrack2, sizeof t.abTrack3};
    for (int i = 0; i < 3; ++i) {
        // A length field may say more than its area holds: the area is all there is.
        const size_t n = c.bOk() ? std::min<size_t>(auiLen[i], auiRoom[i]) : 0;
        asTracks[i].assign(reinterpret_cast<const char*>(apData[i]), n);
    }
    return c;
}

tCall OReaderPort::WriteTrack(int iTrack, const std::vector<uint8_t>& data) {
    tDevReturn r = Fresh();
    const int iResult = IDC_WriteTrack(iTrack, data.data(), static_cast<uint32_t>(data.size()), &r);
    return Done("IDC_WriteTrack", iResult, r.iCode2);
}

tCall OReaderPort::ChipPower(int iAction, std::vector<uint8_t>& answer, uint32_t& uiType) {
    answer.assign(IDC_CHIP_REPLY_MAX, 0);
    uint32_t uiLen = 0;
    uiType = 255;
    tDevReturn r = Fresh();
    const int iResult = iAction == 3
                            ? IDC_ChipPower(3, 0, 0, &uiType, &r)
                            : IDC_ChipPower(iAction, reinterpret_cast<uintptr_t>(answer.data()),
                                            reinterpret_cast<uintptr_t>(&uiLen), &uiType, &r);
    answer.resize(iResult == 0 ? std::min<size_t>(uiLen, IDC_CHIP_REPLY_MAX) : 0);
    return Done("IDC_ChipPower", iResult, r.iCode2);
}

tCall OReaderPort::ChipIo(const std::vector<uint8_t>& command, std::vector<uint8_t>& reply) {
    reply.assign(IDC_CHIP_REPLY_MAX, 0);
    uint32_t uiLen = 0;
    tDevReturn r = Fresh();
    const int iResult =
        IDC_ChipIO(0, command.data(), static_cast<int>(command.size()), reply.data(), &uiLen, &r);
    reply.resize(iResult == 0 ? std::min<size_t>(uiLen, IDC_CHIP_REPLY_MAX) : 0);
    return Done("IDC_ChipIO", iResult, r.iCode2);
}

tCall OReaderPort::Eject() {
    tDevReturn r = Fresh();
    const int iResult = IDC_EjectCard(&r);
    return Done("IDC_EjectCard", iResult, r.iCode2);
}

tCall OReaderPort::Retain(uint32_t& uiCount) {
    tDevReturn r = Fresh();
    const int iResult = IDC_RetainCard(&uiCount, &r);
    return Done("IDC_RetainCard", iResult, r.iCode2);
}

tCall OReaderPort::Life(uint32_t auiValues[11]) {
    tIdcLife life;
    std::memset(&life, 0, sizeof life);
    tDevReturn r = Fresh();
    const int iResult = IDC_GetLifeInfo(&life, &r);
    const tCall c = Done("IDC_GetLifeInfo", iResult, r.iCode2);
    std::memcpy(auiValues, life.uiValue, sizeof life.uiValue);
    return c;
}

tCall OReaderPort::ResetRetainCount() {
    tDevReturn r = Fresh();
    const int iResult = IDC_ResetCount(0, &r);
    return Done("IDC_ResetCount", iResult, r.iCode2);
}

} // namespace quillon::xfs
