#include "hid_reader.h"

#include <algorithm>

namespace quillon::emu {

namespace {

constexpr uint8_t kReportIdA = 0x02;
constexpr uint8_t kReportIdB = 0x04;
constexpr uint16_t kReportBytesA = 300; // a whole reply text (256 at most) in one
constexpr uint16_t kReportBytesB = 63;  // 64 with the report ID

// The text between the framing of a family-A reply (DLE STX ... DLE ETX
// BCC, every DLE of the text doubled).
Bytes UnframeA(const Bytes& out) {
    Bytes text;
    size_t i = 0;
    while (i + 1 < out.size() && !(out[i] == ctl::kDle && out[i + 1] == ctl::kStx))
        ++i;
    for (i += 2; i + 1 < out.size(); ++i) {
        if (out[i] == ctl::kDle && out[i + 1] == ctl::kEtx)
            return text;
        if (out[i] == ctl::kDle)
            ++i;
        text.push_back(out[i]);
    }
    return {};
}

// The text of a family-B reply (0xF2, length high byte first, text, CRC).
Bytes UnframeB(const Bytes& out) {
    const auto start = std::find(out.begin(), out.end(), ctl::kStartB);
    if (out.end() - start < 3)
        return {};
    const size_t len = size_t(start[1]) << 8 | start[2];
    if (size_t(out.end() - start) < 3 + len)
        return {};
    return Bytes(start + 3, start + 3 + long(len));
}

} // namespace

HidReader::HidReader(Family family, const Options& options)
    : m_owned(std::make_unique<Emulator>(family, options)), m_emu(*m_owned), m_family(family),
      m_node(Device(family)) {
    m_node.SetHandler([this](const Bytes& report) { OnReport(report); });
}

HidReader::HidReader(Emulator& emu)
    : m_emu(emu), m_family(emu.With([](Engine& e) { return e.eFamily(); })),
      m_node(Device(m_family)) {
    m_node.SetHandler([this](const Bytes& report) { OnReport(report); });
}

HidDevice HidReader::Device(Family family) {
    HidDevice d;
    const bool a = family == Family::A;
    d.vendorId = a ? kVendorA : kVendorB;
    d.productId = a ? kProductA : kProductB;
    d.descriptor = a ? VendorDescriptor(kReportIdA, kReportBytesA, 64)
                     : VendorDescriptor(kReportIdB, kReportBytesB, kReportBytesB);
    d.name = a ? "Emulated family-A card reader" : "Emulated family-B card reader";
    return d;
}

std::vector<Bytes> HidReader::Reports(Family family, const Bytes& text) {
    const bool a = family == Family::A;
    Bytes whole = {a ? kReportIdA : kReportIdB, uint8_t(text.size() >> 8),
                   uint8_t(text.size() & 0xFF)};
    whole.insert(whole.end(), text.begin(), text.end());
    const size_t step = a ? kReportBytesA + 1u : kReportBytesB + 1u;
    std::vector<Bytes> reports;
    for (size_t at = 0; at < whole.size(); at += step) {
        reports.emplace_back(whole.begin() + long(at),
                             whole.begin() + long(std::min(whole.size(), at + step)));
        reports.back().resize(step);
    }
    return reports;
}

Bytes HidReader::Command(const Bytes& report) {
    if (report.size() < 3)
        return {};
    const size_t len = size_t(report[1]) << 8 | report[2];
    return Bytes(report.begin() + 3, report.begin() + long(std::min(report.size(), 3 + len)));
}

Bytes HidReader::ReplyText(const Bytes& command) {
    const Millis now = m_emu.Now();
    return m_emu.With([&](Engine& engine) {
        if (m_family == Family::A) {
            engine.Feed(FrameA(command), now);
            return UnframeA(engine.Feed(Bytes{ctl::kDle, ctl::kEnq}, now));
        }
        const Bytes text = UnframeB(engine.Feed(FrameB(command), now));
        engine.Feed(Bytes{ctl::kAck}, now);
        return text;
    });
}

void HidReader::OnReport(const Bytes& report) {
    const Bytes command = Command(report);
    if (command.empty())
        return;
    const Bytes text = ReplyText(command);
    if (text.empty())
        return; // the engine was told to stay silent
    for (const Bytes& r : Reports(m_family, text))
        m_node.Send(r);
}

} // namespace quillon::emu
