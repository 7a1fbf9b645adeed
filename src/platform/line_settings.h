// tLineSettings: how a serial line is to be set up - the port, its speed and
// character format, and the two modem-line choices the readers use.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

enum class DataBits : uint8_t { Five = 5, Six = 6, Seven = 7, Eight = 8 };
enum class Parity : uint8_t { None, Odd, Even };
enum class StopBits : uint8_t { One, Two };
enum class ModemLine : uint8_t { Rts, Dtr };

struct tLineSettings {
    std::string sPort; // "/dev/ttyUSB0" or "COM3"
    uint32_t uiBaud = 9600;
    DataBits eDataBits = DataBits::Eight;
    Parity eParity = Parity::None;
    StopBits eStopBits = StopBits::One;
    // DTR raised while the port is open (otherwise it stays low until raised).
    bool bDtrOn = false;
    // RTS follows the input buffer (RTS/CTS hardware flow control).
    bool bRtsHandshake = false;
};

} // namespace quillon
