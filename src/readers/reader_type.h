// The reader types of the configuration ([CardReaderType] CardReaderType):
// which family, over which line. The registry picks the driver by it; a
// value outside the list is kept as it is (and selects no driver).
#pragma once

#include <cstdint>

namespace quillon {

class OReaderComm;

enum class ReaderType : int {
    None = 0,
    SerialA = 1,
    SerialB = 2,
    SerialC = 3,
    UsbA = 4,       // family A over USB, the first device
    UsbASecond = 5, // family A over USB, the second device
    UsbB = 6,
};

// 4 and up: USB readers, and the unknown types above them; no serial port.
constexpr bool IsBeyondSerial(ReaderType eType) {
    return static_cast<int>(eType) >= static_cast<int>(ReaderType::UsbA);
}

// The configured type; false (eType untouched) when none is configured.
bool bConfiguredType(OReaderComm& comm, ReaderType& eType);
// Writes the type to the configuration; 0 when stored.
int iStoreType(OReaderComm& comm, ReaderType eType);

// A USB device by its vendor and product id.
struct tUsbDevice {
    uint16_t usVendorId;
    uint16_t usProductId;
};

} // namespace quillon
