// The exported interface: a sequence of IDC_ calls with arguments from the
// input over a reader on the fake line or the fake HID transport, whichever
// the configured CardReaderType and the probe of the line select.
#include <climits>
#include <cstring>

#include "fuzz_support.h"

using namespace quillon;

namespace {

// The driver slots, reached through the exports (the manager's checks, its
// lock and its trace included).
class OExports : public fuzz::OCaller {
public:
    explicit OExports(fuzz::Input& in) : m_in(in) {}
    int Init(int iMode, tDevReturn* pRet) override { return IDC_Init(iMode, pRet); }
    int GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) override {
        return IDC_GetStatus(pStatus, pRet);
    }
    int AcceptCard(int iMode, tDevReturn* pRet) override { return IDC_AcceptCard(iMode, pRet); }
    int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
               uint32_t* pReplyLen, tDevReturn* pRet) override {
        return IDC_ChipIO(iSelector, pCommand, iCommandLen, pReply, pReplyLen, pRet);
    }
    int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                  tDevReturn* pRet) override {
        return IDC_ChipPower(iAction, uArg2, uArg3, pArg4, pRet);
    }
    int EjectCard(tDevReturn* pRet) override { return IDC_EjectCard(pRet); }
    int GetCapabilities(tIdcCaps* pCaps, tDevReturn* pRet) override {
        return IDC_GetCapabilities(pCaps, pRet);
    }
    int GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) override {
        return IDC_GetLifeInfo(pLife, pRet);
    }
    int ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) override {
        return IDC_ReadTrack(pTracks, pRet);
    }
    int Reset(tDevReturn* pRet) override { return IDC_Reset(pRet); }
    int ResetCount(int iCounter, tDevReturn* pRet) override {
        return IDC_ResetCount(iCounter, pRet);
    }
    int RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) override {
        return IDC_RetainCard(pRetainCount, pRet);
    }
    int ReleaseAntiFishing(tDevReturn* pRet) override { return IDC_ReleaseAntiFishing(pRet); }
    // One track of the record, in a buffer of exactly the length given (the
    // length may be anything; the buffer holds at most 4096 bytes).
    int WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) override {
        const int track = fuzz::SmallInt(m_in);
        if (!pTracks)
            return IDC_WriteTrack(track, nullptr, m_in.u8(), pRet);
        const uint32_t len = pTracks->uiLen1;
        fuzz::Guarded data(len < 4096 ? len : 4096);
        std::memcpy(data.p(), pTracks->abTrack1,
                    data.uiSize() < sizeof pTracks->abTrack1 ? data.uiSize()
                                                             : sizeof pTracks->abTrack1);
        const int r = IDC_WriteTrack(track, data.p(), len, pRet);
        data.vCheck("WriteTrack data");
        return r;
    }
    int SetCommPara(tDevReturn* pRet) override { return IDC_SetCommPara(pRet); }

private:
    fuzz::Input& m_in;
};

void CheckName(const fuzz::Guarded& name) {
    name.vCheck("GetLogicalDevName");
    const uint8_t* p = const_cast<fuzz::Guarded&>(name).p();
    if (!std::memchr(p, 0, 32))
        fuzz::Fail("GetLogicalDevName: no terminator within 32 bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    fuzz::Setup();
    fuzz::Input in(pData, uiSize);
    // Mostly the reader types with a driver (the selection writes the type it
    // found back), now and then one without a driver (the selection records
    // 1223).
    static const int kNoDriver[] = {0, 7, 8, 9, 10, 99, 256, -1, -2, -6, INT_MIN, INT_MAX};
    const uint8_t typeByte = in.u8();
    const int type = typeByte < 0xF0
                         ? typeByte % 6 + 1
                         : kNoDriver[(typeByte - 0xF0) % (sizeof kNoDriver / sizeof *kNoDriver)];
    fuzz::WriteConfigFromInput(in, type);
    fuzz::Begin(in);
    const fuzz::Limits limits{"any family", 30000, true};
    OExports exports(in);
    for (int step = 0; step < 48 && !in.bEmpty(); ++step) {
        const uint8_t op = in.u8();
        if (op < 0xE0) {
            fuzz::RunStep(exports, in, limits);
            continue;
        }
        switch (op & 3) {
        case 0:
            if (IDC_CloseComm() != 0)
                fuzz::Fail("IDC_CloseComm answered other than 0");
            break;
        case 1: {
            fuzz::Guarded name(32, 0xEE);
            IDC_GetLogicalDevName(reinterpret_cast<char*>(name.p()));
            CheckName(name);
            break;
        }
        case 2: {
            size_t len = 0;
            const uint8_t* text = in.pTake(in.u8() % 48, len);
            fuzz::Guarded name(len + 1);
            if (len)
                std::memcpy(name.p(), text, len);
            name.p()[len] = 0;
            IDC_SetLogicalDevName(reinterpret_cast<const char*>(name.p()));
            fuzz::Guarded back(32, 0xEE);
            IDC_GetLogicalDevName(reinterpret_cast<char*>(back.p()));
            CheckName(back);
            break;
        }
        default: {
            tDevReturn r;
            fuzz::FreshRecord(&r);
            fuzz::TakeLargestTimeout();
            fuzz::CheckOutcome("SetCommPara", IDC_SetCommPara(&r), &r, limits);
        }
        }
    }
    IDC_CloseComm();
    return 0;
}
