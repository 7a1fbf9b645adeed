#include "api/reader_info.h"

#include <cstring>

#include "infra/bounded_copy.h"
#include "infra/reader_comm.h"
#include "readers/reader_variants.h"

namespace quillon {

namespace {
uint32_t FeaturesOf(const tFamilyFacts& f) {
    return (f.bWritesTracks ? QUILLON_FEATURE_WRITES_TRACKS : 0u) |
           (f.bRetainCounter ? QUILLON_FEATURE_RETAIN_COUNTER : 0u) |
           (f.bLifeCounters ? QUILLON_FEATURE_LIFE_COUNTERS : 0u) |
           (f.bReleasesAntiFishing ? QUILLON_FEATURE_RELEASES_ANTIFISHING : 0u);
}

// The USB device the variant looks for: its row's, else the one configured.
tUsbDevice UsbDeviceOf(const tReaderVariant& v, OReaderComm& comm) {
    if (v.eTransport != Transport::UsbHid || v.tUsb.usVendorId)
        return v.tUsb;
    int vendorId = 0, productId = 0;
    if (comm.iGetIntValue("USB", "VID", vendorId) != 0)
        vendorId = 0;
    if (comm.iGetIntValue("USB", "PID", productId) != 0)
        productId = 0;
    return {static_cast<uint16_t>(vendorId), static_cast<uint16_t>(productId)};
}
} // namespace

tQuillonReaderInfo ReaderInfoOf(ReaderType eType, const tIdcCaps* pCaps, OReaderComm& comm) {
    tQuillonReaderInfo info;
    std::memset(&info, 0, sizeof info);
    info.uiSize = sizeof info;
    CopyText(info.acLibVersion, sizeof info.acLibVersion, comm.acVersion);
    const tReaderVariant* pVariant = pVariantOf(eType);
    const ReaderFamily eFamily = pVariant ? pVariant->eFamily : ReaderFamily::Unknown;
    const tFamilyFacts& facts = FactsOf(eFamily);
    info.iReaderType = static_cast<int32_t>(eType);
    info.iFamily = static_cast<int32_t>(eFamily);
    info.uiFeatures = FeaturesOf(facts);
    info.uiChipProtocols = facts.uiChipProtocols;
    info.iRetainedLifeValue = facts.iRetainedLifeValue;
    if (pVariant) {
        info.iTransport = static_cast<int32_t>(pVariant->eTransport);
        const tUsbDevice usb = UsbDeviceOf(*pVariant, comm);
        info.usUsbVendorId = usb.usVendorId;
        info.usUsbProductId = usb.usProductId;
    }
    if (pCaps) {
        std::memcpy(info.acModelName, pCaps->acModelName, sizeof info.acModelName);
        std::memcpy(info.acFirmware, pCaps->acFirmware, sizeof info.acFirmware);
    }
    return info;
}

} // namespace quillon
