// The reader variants the library drives, one row each: the configured
// reader type (CardReaderType), its family, the line it is reached over, the
// USB device it looks for and the driver that serves it, with the family's
// profile. The registry builds its drivers from these rows and the reader
// information answers from them: adding a variant is one row here plus its
// quirks in its family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>

#include "quillon/idc.h"
#include "readers/reader_type.h"

namespace quillon {

class OIdcDriver;
class OReaderComm;

enum class ReaderFamily : int { Unknown = 0, A = 1, B = 2, C = 3 };
enum class Transport : int { None = 0, Serial = 1, UsbHid = 2 };

// Makes a driver over the communication object; null when out of memory.
using DriverMaker = std::unique_ptr<OIdcDriver> (*)(OReaderComm* pComm);

// The drivers, each with its family's profile for its line.
std::unique_ptr<OIdcDriver> MakeSerialReaderA(OReaderComm* pComm);
std::unique_ptr<OIdcDriver> MakeSerialReaderB(OReaderComm* pComm);
std::unique_ptr<OIdcDriver> MakeSerialReaderC(OReaderComm* pComm);
std::unique_ptr<OIdcDriver> MakeHidReaderA(OReaderComm* pComm);
std::unique_ptr<OIdcDriver> MakeHidReaderB(OReaderComm* pComm);

struct tReaderVariant {
    ReaderType eType;
    ReaderFamily eFamily;
    Transport eTransport;
    tUsbDevice tUsb; // {0, 0}: no USB device, or the one configured ([USB] VID, PID)
    // Rows with one maker share one driver, which tells them apart by the
    // configured type.
    DriverMaker pfnMake;
};

inline constexpr tReaderVariant kReaderVariants[] = {
    {ReaderType::SerialA, ReaderFamily::A, Transport::Serial, {0, 0}, &MakeSerialReaderA},
    {ReaderType::SerialB, ReaderFamily::B, Transport::Serial, {0, 0}, &MakeSerialReaderB},
    {ReaderType::SerialC, ReaderFamily::C, Transport::Serial, {0, 0}, &MakeSerialReaderC},
    {ReaderType::UsbA, ReaderFamily::A, Transport::UsbHid, {0x04A4, 0x008B}, &MakeHidReaderA},
    {ReaderType::UsbASecond, ReaderFamily::A, Transport::UsbHid, {0x0590, 0x0035}, &MakeHidReaderA},
    {ReaderType::UsbB, ReaderFamily::B, Transport::UsbHid, {0, 0}, &MakeHidReaderB},
};
constexpr size_t kReaderVariantCount = std::size(kReaderVariants);

// The row of a reader type; null for a type without a driver.
constexpr const tReaderVariant* pVariantOf(ReaderType eType) {
    for (const tReaderVariant& v : kReaderVariants)
        if (v.eType == eType)
            return &v;
    return nullptr;
}

// A variant on the serial line: its port is opened and its family probed.
constexpr bool IsSerial(ReaderType eType) {
    const tReaderVariant* pVariant = pVariantOf(eType);
    return pVariant && pVariant->eTransport == Transport::Serial;
}
// No serial port: a USB variant, or a type without a row from 4 up.
constexpr bool NeedsNoPort(ReaderType eType) {
    const tReaderVariant* pVariant = pVariantOf(eType);
    return pVariant ? pVariant->eTransport != Transport::Serial : IsBeyondSerial(eType);
}

// What a family supports, over whichever line.
struct tFamilyFacts {
    ReaderFamily eFamily;
    bool bWritesTracks;
    bool bRetainCounter;        // RetainCard hands back the reader's retain counter
    bool bLifeCounters;         // GetLifeInfo reads the reader's counters
    bool bReleasesAntiFishing;  // ReleaseAntiFishing frees the reader's guard
    uint32_t uiChipProtocols;   // QUILLON_CHIP_ bits
    int32_t iRetainedLifeValue; // the tIdcLife value counting retained cards; -1: none
};

inline constexpr uint32_t kAllChips = QUILLON_CHIP_T0 | QUILLON_CHIP_T1 | QUILLON_CHIP_MEMORY;
inline constexpr tFamilyFacts kFamilyFacts[] = {
    {ReaderFamily::A, true, true, true, false, kAllChips, 8},
    {ReaderFamily::B, true, true, true, true, kAllChips, 7},
    {ReaderFamily::C, false, false, false, false, kAllChips, -1},
    {ReaderFamily::Unknown, false, false, false, false, 0, -1},
};

// The facts of a family; those of no family for an unknown one.
constexpr const tFamilyFacts& FactsOf(ReaderFamily eFamily) {
    for (const tFamilyFacts& f : kFamilyFacts)
        if (f.eFamily == eFamily)
            return f;
    return kFamilyFacts[std::size(kFamilyFacts) - 1];
}

} // namespace quillon
