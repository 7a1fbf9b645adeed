// A family-A or family-B reader on USB: an emulator's engine (emulator.h)
// behind a hidraw node (hidraw_node.h). Each output report carries a command
// (report ID, length high byte first, text); the engine answers it as it
// answers the same command on the serial line, and the reply text comes back
// in input reports: report ID, length high byte first, then the text, in one
// report (family A) or cut into reports of 64 bytes (family B).
//
//   quillon::emu::HidReader reader(Family::B);
//   reader.bStart(why, "/tmp/hid");   // QUILLON_HIDRAW_ROOT=/tmp/hid
//   reader.Emu().PlaceCard(CardPosition::Inside);
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emulator.h"
#include "hidraw_node.h"

namespace quillon::emu {

class HidReader {
public:
    // The ids each family's reader has here: family A those of reader type
    // 5, family B those the configuration's [USB] VID and PID name.
    static constexpr uint16_t kVendorA = 0x0590, kProductA = 0x0035;
    static constexpr uint16_t kVendorB = 0x1234, kProductB = 0x5678;

    // A reader of its own, or the engine of an emulator that lives longer
    // (idc-emu: its commands on standard input then act on this reader).
    explicit HidReader(Family family, const Options& options = {});
    explicit HidReader(Emulator& emu);
    // The node's device: the family's ids, report ID and report lengths.
    static HidDevice Device(Family family);
    // The input reports that carry a reply text.
    static std::vector<Bytes> Reports(Family family, const Bytes& text);
    // The command text of an output report (empty when it carries none).
    static Bytes Command(const Bytes& report);

    bool bStart(std::string& why, const std::string& folder = "") {
        return m_node.bStart(why, folder);
    }
    HidrawNode& Node() { return m_node; }
    Emulator& Emu() { return m_emu; }

private:
    void OnReport(const Bytes& report);
    Bytes ReplyText(const Bytes& command);

    std::unique_ptr<Emulator> m_owned;
    Emulator& m_emu;
    Family m_family;
    HidrawNode m_node;
};

} // namespace quillon::emu
