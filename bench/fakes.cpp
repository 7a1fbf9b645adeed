#include "fakes.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "alloc_count.h"
#include "platform/dev_base.h"

namespace bench {
namespace {

class OInMemoryLine : public quillon::OSerialLine {
public:
    explicit OInMemoryLine(InMemoryReader& reader) : m_reader(reader) {}
    int iOpen(const quillon::tLineSettings&) override {
        m_open = true;
        return 0;
    }
    void vClose() override { m_open = false; }
    int iWrite(const uint8_t* pData, size_t uiLen) override {
        if (!m_open)
            return 1;
        m_reader.vWrite(pData, uiLen);
        return 0;
    }
    int iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t) override {
        uiGot = m_open ? m_reader.uiRead(pBuf, uiWant) : 0;
        return uiGot ? 0 : 1;
    }
    int iSetModemLine(quillon::ModemLine, bool) override { return m_open ? 0 : 1; }
    void vPurgeInput() override { m_reader.vPurge(); }

private:
    InMemoryReader& m_reader;
    bool m_open = false;
};

class OFakeHidTransport : public quillon::OHidTransport {
public:
    explicit OFakeHidTransport(FakeHidReader& reader) : m_reader(reader) {}
    bool bOpenDevice(uint16_t, uint16_t) override { return m_open = true; }
    bool bWriteReport(const uint8_t* pReport, size_t, uint32_t) override {
        if (m_open)
            m_reader.vWrite(pReport);
        return m_open;
    }
    bool bReadReport(uint8_t* p, size_t n, uint32_t& count, uint32_t) override {
        count = 0;
        return m_open && m_reader.bRead(p, n, count);
    }
    void vDrainInput() override { m_reader.vDrain(); }
    size_t uiInputReportLength() const override { return m_open ? m_reader.uiReportLen() : 0; }
    size_t uiOutputReportLength() const override { return m_open ? 512 : 0; }
    void vClose() override { m_open = false; }

private:
    FakeHidReader& m_reader;
    bool m_open = false;
};

} // namespace

InMemoryReader::InMemoryReader(quillon::emu::Family family)
    : m_engine(quillon::emu::MakeEngine(family)) {
    m_previous = quillon::OSerialLineFactory::fnReplace(
        [this] { return std::unique_ptr<quillon::OSerialLine>(new OInMemoryLine(*this)); });
}

InMemoryReader::~InMemoryReader() {
    quillon::OSerialLineFactory::fnReplace(m_previous);
}

void InMemoryReader::vRecord() {
    m_mode = Mode::Record;
    m_steps.clear();
}

void InMemoryReader::vReplay() {
    m_mode = m_steps.empty() ? Mode::Live : Mode::Replay;
    m_next = 0;
}

void InMemoryReader::vWrite(const uint8_t* p, size_t n) {
    m_count.uiSent += n;
    if (m_mode == Mode::Replay) {
        const Step& step = m_steps[m_next];
        if (step.in.size() == n && std::memcmp(step.in.data(), p, n) == 0) {
            m_next = (m_next + 1) % m_steps.size();
            vQueue(step.out.data(), step.out.size());
            return;
        }
        ++m_misses;
    }
    PauseCounting notOurs;
    const quillon::emu::Bytes out = m_engine->Feed(p, n, ++m_now);
    if (m_mode == Mode::Record)
        m_steps.push_back({quillon::emu::Bytes(p, p + n), out});
    vQueue(out.data(), out.size());
}

void InMemoryReader::vQueue(const uint8_t* p, size_t n) {
    if (m_head == m_tail)
        m_head = m_tail = 0;
    const size_t room = m_pending.size() - m_tail;
    const size_t take = std::min(room, n);
    std::memcpy(m_pending.data() + m_tail, p, take);
    m_tail += take;
}

size_t InMemoryReader::uiRead(uint8_t* p, size_t n) {
    ++m_count.uiReads;
    const size_t take = std::min(n, m_tail - m_head);
    std::memcpy(p, m_pending.data() + m_head, take);
    m_head += take;
    m_count.uiDelivered += take;
    return take;
}

FakeHidReader::FakeHidReader(size_t uiReportLen) : m_reportLen(uiReportLen) {
    m_previous = quillon::OHidTransportFactory::fnReplace(
        [this] { return std::unique_ptr<quillon::OHidTransport>(new OFakeHidTransport(*this)); });
}

FakeHidReader::~FakeHidReader() {
    quillon::OHidTransportFactory::fnReplace(m_previous);
}

void FakeHidReader::vAnswer(const std::string& command, const std::string& replyText) {
    Reply& r = m_replies.at(m_used++);
    r.acCommand[0] = command.at(1);
    r.acCommand[1] = command.at(2);
    const size_t whole = 3 + replyText.size();
    r.uiReports = static_cast<uint32_t>((whole + m_reportLen - 1) / m_reportLen);
    if (r.uiReports * m_reportLen > r.bytes.size())
        throw std::length_error("reply too long for the fake HID reader");
    r.bytes.fill(0);
    r.bytes[1] = static_cast<uint8_t>(replyText.size() >> 8);
    r.bytes[2] = static_cast<uint8_t>(replyText.size());
    std::memcpy(r.bytes.data() + 3, replyText.data(), replyText.size());
}

void FakeHidReader::vWrite(const uint8_t* pReport) {
    m_pQueued = nullptr;
    m_next = m_count = 0;
    for (size_t i = 0; i < m_used; ++i) {
        if (pReport[4] == static_cast<uint8_t>(m_replies[i].acCommand[0]) &&
            pReport[5] == static_cast<uint8_t>(m_replies[i].acCommand[1])) {
            m_pQueued = &m_replies[i];
            m_count = m_replies[i].uiReports;
        }
    }
}

bool FakeHidReader::bRead(uint8_t* p, size_t n, uint32_t& count) {
    if (!m_pQueued || m_next >= m_count)
        return false;
    const size_t take = std::min(n, m_reportLen);
    std::memcpy(p, m_pQueued->bytes.data() + m_next * m_reportLen, take);
    ++m_next;
    count = static_cast<uint32_t>(take);
    return true;
}

} // namespace bench
