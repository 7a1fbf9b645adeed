// The HID report descriptor parser over any bytes a device may declare.
#include "fuzz_support.h"
#include "transport/hid/hid_report_descriptor.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    // The parser gets exactly the descriptor's bytes: ASan sees any read past them.
    fuzz::Guarded desc(uiSize);
    if (uiSize)
        std::memcpy(desc.p(), pData, uiSize);
    tHidReportLengths lengths;
    lengths.uiInput = lengths.uiOutput = lengths.uiFeature = 77;
    const bool ok = bParseReportDescriptor(desc.p(), uiSize, lengths);
    desc.vCheck("descriptor");
    if (!ok && (lengths.uiInput || lengths.uiOutput || lengths.uiFeature))
        fuzz::Fail("refused descriptor with lengths %zu/%zu/%zu", lengths.uiInput, lengths.uiOutput,
                   lengths.uiFeature);
    if (ok && (lengths.uiInput > kHidMaxReportBytes || lengths.uiOutput > kHidMaxReportBytes ||
               lengths.uiFeature > kHidMaxReportBytes))
        fuzz::Fail("accepted descriptor with lengths %zu/%zu/%zu", lengths.uiInput,
                   lengths.uiOutput, lengths.uiFeature);
    // The same bytes give the same answer.
    tHidReportLengths again;
    if (bParseReportDescriptor(desc.p(), uiSize, again) != ok || again.uiInput != lengths.uiInput ||
        again.uiOutput != lengths.uiOutput || again.uiFeature != lengths.uiFeature ||
        again.bNumbered != lengths.bNumbered)
        fuzz::Fail("a second parse of the same descriptor differs");
    return 0;
}
