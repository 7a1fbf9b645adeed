// The exported interface: a sequence of IDC_ calls with arguments from the
// input over a reader on the fake line or the fake HID transport, whichever
// the configured CardReaderType and the probe of the line select.
#include <climits>
#include <cstring>

#include "fuzz_support.h"

namespace {

// The logical name into a caller's field of 32 bytes: within it, terminated.
void GetName() {
    fuzz::Guarded name(32, 0xEE);
    IDC_GetLogicalDevName(reinterpret_cast<char*>(name.p()));
    name.vCheck("GetLogicalDevName");
    if (!std::memchr(name.p(), 0, 32))
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
    for (int step = 0; step < 48 && !in.bEmpty(); ++step) {
        const uint8_t op = in.u8();
        if (op < 0xE0) {
            fuzz::RunExportStep(in, limits);
            continue;
        }
        switch (op & 3) {
        case 0:
            if (IDC_CloseComm() != 0)
                fuzz::Fail("IDC_CloseComm answered other than 0");
            break;
        case 1:
            GetName();
            break;
        case 2: {
            size_t len = 0;
            const uint8_t* text = in.pTake(in.u8() % 48, len);
            fuzz::Guarded name(len + 1);
            if (len)
                std::memcpy(name.p(), text, len);
            name.p()[len] = 0;
            IDC_SetLogicalDevName(reinterpret_cast<const char*>(name.p()));
            GetName();
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
