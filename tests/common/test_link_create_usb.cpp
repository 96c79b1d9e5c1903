// test-labels: integration
// test-wrapper: umockdev
// Links to the simulated device on the emulated USB bus: made by start and
// then synchronisation, shared by serial number, torn down by the last holder,
// and reset by opening the device again.
#include <gtest/gtest.h>

#include <vector>

#include "common/aLink.h"
#include "common/aLinkCreate.h"
#include "common/aLinkTable.h"
#include "platform/Tessaline_libusb.h"
#include "tests/common/link_create_checks.h"
#include "tests/sim/device_model.h"
#include "tests/sim/usb_carrier.h"

namespace {

using linkcreate::echoes;
using linkcreate::endedWithForceRouteOff;

constexpr uint32_t kSerial = 0x0BADCAFE;

class UsbLink : public ::testing::Test {
protected:
    void TearDown() override { Tessaline_libusb_exit(); }

    sim::UsbCarrier carrier;
    sim::DeviceModel device{sim::DeviceConfig{0x04}};
    int handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), device);
};

TEST_F(UsbLink, StartsThenSynchronisesAndIsSharedUntilTheLastDestroy)
{
    aLinkId first = aLink_CreateUSB(kSerial);
    ASSERT_NE(0u, first);
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(first));
    EXPECT_TRUE(carrier.claimed(handle));

    // Force route on first, then the address queries of the synchronisation
    // (those still unsent once in step are dropped).
    std::vector<sim::Packet> packets = device.records().packets;
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ((sim::Packet{sim::kForceRoute, {1}}), packets[0]);
    for (size_t i = 1; i < packets.size(); i++)
        EXPECT_EQ((sim::Packet{sim::kAddressQuery, {}}), packets[i]) << i;
    // The answers the synchronisation did not need were dropped.
    EXPECT_EQ(nullptr, aLink_GetPacket(first));
    EXPECT_TRUE(echoes(first, 1, 0x04));

    size_t sent = device.records().packets.size();
    aLinkId second = aLink_CreateUSB(kSerial);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(echoes(second, 2, 0x04));
    EXPECT_EQ(sent + 1, device.records().packets.size()) << "the reuse sent something";

    aLinkId id = first;
    EXPECT_EQ(aErrNone, aLink_Destroy(&first));
    EXPECT_EQ(0u, first);
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));
    EXPECT_TRUE(echoes(second, 3, 0x04));

    EXPECT_EQ(aErrNone, aLink_Destroy(&second));
    EXPECT_EQ(kLinkStatusNoStream, aLink_GetStatus(id));
    EXPECT_FALSE(carrier.claimed(handle));
    EXPECT_TRUE(endedWithForceRouteOff(device));
}

TEST_F(UsbLink, DeviceOutOfStepMakesNoLink)
{
    sim::Faults faults;
    faults.silent = true;
    device.setFaults(faults);
    EXPECT_EQ(0u, aLink_CreateUSB(kSerial));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(kSerial, USB));
    EXPECT_FALSE(carrier.claimed(handle));
}

TEST_F(UsbLink, NoSuchDeviceMakesNoLink)
{
    for (uint32_t serial : {0u, kSerial + 1}) {
        SCOPED_TRACE(serial);
        EXPECT_EQ(0u, aLink_CreateUSB(serial));
        EXPECT_EQ(nullptr, sLookupEntryByIdentifier(serial, USB));
    }
}

TEST_F(UsbLink, ResetOpensTheDeviceAgain)
{
    aLinkId id = aLink_CreateUSB(kSerial);
    ASSERT_NE(0u, id);
    EXPECT_EQ(aErrNone, aLink_Reset(id));
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));
    EXPECT_TRUE(carrier.claimed(handle));
    EXPECT_TRUE(echoes(id, 1, 0x04));
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 1}), device.records().forceRoutes);
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    EXPECT_FALSE(carrier.claimed(handle));
}

} // namespace
