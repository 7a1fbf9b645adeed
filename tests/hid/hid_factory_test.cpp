#include <gtest/gtest.h>

#include "hid/mock_hid_transport.h"

using namespace quillon;

TEST(HidTransportFactory, DriversGetTheInstalledTransportUntilTheFactoryIsRestored) {
    auto* pMock = new MockHidTransport;
    {
        ScopedHidTransportFactory use([&] { return std::unique_ptr<OHidTransport>(pMock); });
        std::unique_ptr<OHidTransport> pMade = OHidTransportFactory::pMake();
        EXPECT_EQ(pMade.get(), pMock);
    }
    std::unique_ptr<OHidTransport> pSystem = OHidTransportFactory::pMake();
    ASSERT_NE(pSystem, nullptr);
    EXPECT_EQ(dynamic_cast<MockHidTransport*>(pSystem.get()), nullptr);
}
