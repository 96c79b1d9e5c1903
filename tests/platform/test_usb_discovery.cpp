// test-wrapper: umockdev
// USB discovery against devices on the emulated bus: which devices count as
// Tessaline devices, how their serial strings become serial numbers, and the
// callback's say over the enumeration.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "common/aDiscovery.h"
#include "tests/common/found_devices.h"
#include "platform/Tessaline_libusb.h"
#include "tests/sim/byte_endpoint.h"
#include "tests/sim/usb_carrier.h"

namespace {

class UsbDiscovery : public ::testing::Test {
protected:
    void TearDown() override { Tessaline_libusb_exit(); }

    void plug(sim::UsbDeviceDescription description)
    {
        endpoints_.emplace_back();
        carrier_.plug(description, endpoints_.back());
    }

    static sim::UsbDeviceDescription withSerialText(const std::string& text)
    {
        auto description = sim::UsbDeviceDescription::tessaline(1);
        description.serial = text;
        return description;
    }

    sim::UsbCarrier carrier_;
    std::deque<sim::ByteEndpoint> endpoints_;
};

TEST_F(UsbDiscovery, OnlyTessalineDevicesWithEightDigitSerialsAreReported)
{
    plug(sim::UsbDeviceDescription::tessaline(0x1234ABCD, 512, 0x0013));
    auto otherVendor = sim::UsbDeviceDescription::tessaline(0x22222222);
    otherVendor.vendorId = 0x1234;
    plug(otherVendor);
    plug(sim::UsbDeviceDescription::tessaline(0x33333333, 512, 0x8013)); // product-id bit 15 set
    plug(withSerialText("1234567"));                                   // seven characters
    plug(withSerialText("123456789"));                                 // nine characters
    plug(withSerialText("0000beef"));                                  // lower case counts
    plug(withSerialText("12G45678"));                                  // reads as its leading digits
    plug(withSerialText("-0000001"));                                  // no leading digit: 0
    plug(withSerialText(" 1234567"));                                  // no leading digit: 0
    plug(withSerialText(""));                                          // no serial string

    FoundDevices found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, FoundDevices::collect, &found, 0), 5);
    std::vector<uint32_t> serials;
    for (const linkSpec& spec : found.specs) serials.push_back(spec.serialNumber);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<uint32_t>{0, 0, 0x12, 0x0000BEEF, 0x1234ABCD}));
}

TEST_F(UsbDiscovery, ASpecifierCarriesSerialNumberTwiceAndModelFromTheProductId)
{
    plug(sim::UsbDeviceDescription::tessaline(0x0BADF00D, 512, 0x0113));
    FoundDevices found;
    ASSERT_EQ(aDiscovery_EnumerateModules(USB, FoundDevices::collect, &found, 0), 1);
    const linkSpec& spec = found.specs.at(0);
    EXPECT_EQ(spec.type, USB);
    EXPECT_EQ(spec.serialNumber, 0x0BADF00Du);
    EXPECT_EQ(spec.ipAddress, 0x0BADF00Du);
    EXPECT_EQ(spec.model, 0x13u);
    EXPECT_EQ(spec.moduleAddress, 0u);
    EXPECT_EQ(spec.routerAddress, 0u);
    EXPECT_EQ(spec.routerSerialNumber, 0u);
    EXPECT_EQ(spec.tcpPort, 0u);
}

TEST_F(UsbDiscovery, TheCallbackEndsTheEnumerationAndDecidesTheCount)
{
    for (uint32_t serial : {0x100u, 0x200u, 0x300u}) plug(sim::UsbDeviceDescription::tessaline(serial));

    FoundDevices stopAtFirst;
    stopAtFirst.stopAfter = 0;
    stopAtFirst.count = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, FoundDevices::collect, &stopAtFirst, 0), 0);
    EXPECT_EQ(stopAtFirst.specs.size(), 1u);

    FoundDevices all;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, FoundDevices::collect, &all, 0), 3);
    EXPECT_EQ(all.specs.size(), 3u);
}

TEST_F(UsbDiscovery, FindModuleAndFindFirstModule)
{
    plug(sim::UsbDeviceDescription::tessaline(0));
    plug(sim::UsbDeviceDescription::tessaline(0x200));
    plug(sim::UsbDeviceDescription::tessaline(0x300));

    linkSpec* spec = aDiscovery_FindModule(USB, 0x300, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x300u);
    aLinkSpec_Destroy(&spec);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x999, 0), nullptr);

    spec = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_NE(spec->serialNumber, 0u);
    aLinkSpec_Destroy(&spec);
}

TEST_F(UsbDiscovery, AnEmptyBusFindsNothing)
{
    FoundDevices found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, FoundDevices::collect, &found, 0), 0);
    EXPECT_TRUE(found.specs.empty());
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0), nullptr);
}

} // namespace
