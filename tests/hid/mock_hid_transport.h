// A scripted HID transport: while a ScopedHidTransportFactory lives, every
// OHidTransportFactory::pMake() (so every HID driver built then) gets what its factory makes.
#pragma once

#include <utility>

#include <gmock/gmock.h>

#include "transport/hid/hid_transport.h"

class MockHidTransport : public quillon::OHidTransport {
public:
    MOCK_METHOD(bool, bOpenDevice, (uint16_t, uint16_t), (override));
    MOCK_METHOD(bool, bWriteReport, (const uint8_t*, size_t, uint32_t), (override));
    MOCK_METHOD(bool, bReadReport, (uint8_t*, size_t, uint32_t&, uint32_t), (override));
    MOCK_METHOD(void, vDrainInput, (), (override));
    MOCK_METHOD(size_t, uiInputReportLength, (), (const, override));
    MOCK_METHOD(size_t, uiOutputReportLength, (), (const, override));
    MOCK_METHOD(void, vClose, (), (override));
};

class ScopedHidTransportFactory {
public:
    explicit ScopedHidTransportFactory(quillon::HidTransportFactory factory)
        : m_previous(quillon::OHidTransportFactory::fnReplace(std::move(factory))) {}
    ~ScopedHidTransportFactory() {
        quillon::OHidTransportFactory::fnReplace(std::move(m_previous));
    }
    ScopedHidTransportFactory(const ScopedHidTransportFactory&) = delete;
    ScopedHidTransportFactory& operator=(const ScopedHidTransportFactory&) = delete;

private:
    quillon::HidTransportFactory m_previous;
};
