#include "readers/reader_variants.h"

#include <new>

#include "readers/family_a/hid_reader_a.h"
#include "readers/family_a/serial_reader_a.h"
#include "readers/family_b/hid_reader_b.h"
#include "readers/family_b/serial_reader_b.h"
#include "readers/family_c/serial_reader_c.h"

namespace quillon {

namespace {
template <class Driver> std::unique_ptr<OIdcDriver> Make(OReaderComm* pComm) {
    return std::unique_ptr<OIdcDriver>(new (std::nothrow) Driver(pComm));
}
} // namespace

std::unique_ptr<OIdcDriver> MakeSerialReaderA(OReaderComm* pComm) {
    return Make<OSerialReaderA>(pComm);
}
std::unique_ptr<OIdcDriver> MakeSerialReaderB(OReaderComm* pComm) {
    return Make<OSerialReaderB>(pComm);
}
std::unique_ptr<OIdcDriver> MakeSerialReaderC(OReaderComm* pComm) {
    return Make<OSerialReaderC>(pComm);
}
std::unique_ptr<OIdcDriver> MakeHidReaderA(OReaderComm* pComm) {
    return Make<OHidReaderA>(pComm);
}
std::unique_ptr<OIdcDriver> MakeHidReaderB(OReaderComm* pComm) {
    return Make<OHidReaderB>(pComm);
}

} // namespace quillon
