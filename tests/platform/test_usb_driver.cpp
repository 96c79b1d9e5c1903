// test-wrapper: umockdev
// The USB driver over the USB library, against devices on the emulated bus:
// finding the link interface, chunked writes, stalls, failed transfers and
// the tolerance of transient errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <numeric>

#include "common/aDebug.h"
#include "platform/Tessaline_libusb.h"
#include "platform/tlusb_driver.h"
#include "tests/sim/byte_endpoint.h"
#include "tests/sim/usb_carrier.h"

namespace {

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x01;

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 7 + 1);
    return bytes;
}

class UsbDriver : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (driver) {
            tlusb_close_tessaline_device(driver);
            tlusb_destroy(&driver);
        }
        Tessaline_libusb_exit();
    }

    aErr open(const sim::UsbDeviceDescription& description)
    {
        handle = carrier.plug(description, device);
        driver = tlusb_create_usb(tlusbModeUSBLib);
        return tlusb_open_tessaline_device(driver, description.serial.c_str());
    }

    void openTessaline(uint16_t maxPacket = 512)
    {
        ASSERT_EQ(aErrNone, open(sim::UsbDeviceDescription::tessaline(kSerial, maxPacket)));
    }

    aErr get(uint8_t& byte) { return tlusb_get_from_device(driver, &byte); }

    sim::UsbCarrier carrier;
    sim::ByteEndpoint device;
    int handle = 0;
    tlusb_device* driver = nullptr;
};

TEST_F(UsbDriver, OpensTheLinkInterfaceOfTheLastMatchingSettings)
{
    sim::UsbDeviceDescription d = sim::UsbDeviceDescription::tessaline(kSerial);
    sim::UsbAltSetting other;                    // not the link interface: ignored
    other.interfaceNumber = 0;
    other.subclass = 0x00;
    other.endpoints = {{0x83, 2, 64}, {0x03, 2, 64}};
    sim::UsbAltSetting first;                    // both directions, 64-byte packets
    first.interfaceNumber = 1;
    first.endpoints = {{0x84, 2, 64}, {0x04, 2, 64}, {0x85, 1, 64}};
    sim::UsbAltSetting second = first;           // an interrupt IN and an isochronous OUT only
    second.alternate = 1;
    second.endpoints = {{0x86, 3, 32}, {0x06, 1, 512}};
    d.settings = {other, first, second};

    ASSERT_EQ(aErrNone, open(d));
    EXPECT_EQ(tlusbStateReady, driver->state.load());
    EXPECT_EQ(1, driver->interfaceNumber);
    EXPECT_EQ(0x86, driver->inEndpoint);
    EXPECT_EQ(32, driver->inMaxPacket);
    EXPECT_EQ(0x04, driver->outEndpoint);
    EXPECT_EQ(64, driver->outMaxPacket);
    EXPECT_STREQ("0000ABCD", driver->serial);
    EXPECT_TRUE(carrier.claimed(handle));
}

TEST_F(UsbDriver, DeviceWithoutBothLinkEndpointsIsLeftClosed)
{
    struct Case {
        const char* what;
        uint8_t interfaceClass, subclass, protocol;
        std::vector<sim::UsbEndpointDescription> endpoints;
    };
    const std::vector<sim::UsbEndpointDescription> both = {{kIn, 2, 512}, {kOut, 2, 512}};
    const Case cases[] = {
        {"no OUT endpoint", 0xFF, 0x88, 0x10, {{kIn, 2, 512}}},
        {"no IN endpoint", 0xFF, 0x88, 0x10, {{kOut, 2, 512}}},
        {"isochronous endpoints only", 0xFF, 0x88, 0x10, {{kIn, 1, 512}, {kOut, 1, 512}}},
        {"other class", 0xFE, 0x88, 0x10, both},
        {"other subclass", 0xFF, 0x89, 0x10, both},
        {"other protocol", 0xFF, 0x88, 0x11, both},
    };
    uint32_t serial = 0x33330000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::UsbDeviceDescription d = sim::UsbDeviceDescription::tessaline(++serial);
        d.settings[0].interfaceClass = c.interfaceClass;
        d.settings[0].subclass = c.subclass;
        d.settings[0].protocol = c.protocol;
        d.settings[0].endpoints = c.endpoints;
        sim::ByteEndpoint unused;
        int h = carrier.plug(d, unused);
        tlusb_device* probe = tlusb_create_usb(tlusbModeUSBLib);
        EXPECT_EQ(aErrConfiguration, tlusb_open_tessaline_device(probe, d.serial.c_str()));
        EXPECT_EQ(tlusbStateClosed, probe->state.load());
        EXPECT_EQ(nullptr, probe->handle);
        EXPECT_FALSE(carrier.claimed(h));
        tlusb_destroy(&probe);
        carrier.unplug(h);
    }
}

TEST_F(UsbDriver, ReopenedRecordTakesNoDeviceWhoseSerialCannotBeRead)
{
    openTessaline();
    ASSERT_EQ(aErrNone, tlusb_close_tessaline_device(driver));
    carrier.unplug(handle);

    // Another device with the same serial string, which cannot be read now.
    sim::ByteEndpoint other;
    int h = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), other);
    carrier.failTransfers(h, 0x00, -EPIPE);
    EXPECT_EQ(aErrNotFound, tlusb_open_tessaline_device(driver, "0000ABCD"));
    EXPECT_FALSE(carrier.claimed(h));

    EXPECT_EQ(aErrNone, tlusb_open_tessaline_device(driver, "0000ABCD"));   // readable again
    EXPECT_TRUE(carrier.claimed(h));
}

TEST_F(UsbDriver, ClaimFailuresCloseTheDevice)
{
    struct Case {
        int error;
        aErr expected;
    };
    for (const Case& c : {Case{EBUSY, aErrBusy}, Case{ENODEV, aErrBusy}, Case{EPERM, aErrUnknown}}) {
        SCOPED_TRACE(c.error);
        sim::ByteEndpoint unused;
        int h = carrier.plug(sim::UsbDeviceDescription::tessaline(0x11110000u + uint32_t(c.error)), unused);
        carrier.setClaimError(h, c.error);
        char serial[16];
        snprintf(serial, sizeof serial, "%08X", 0x11110000u + uint32_t(c.error));
        tlusb_device* d = tlusb_create_usb(tlusbModeUSBLib);
        EXPECT_EQ(c.expected, tlusb_open_tessaline_device(d, serial));
        EXPECT_EQ(tlusbStateClosed, d->state.load());
        EXPECT_EQ(nullptr, d->handle);

        carrier.setClaimError(h, 0);
        EXPECT_EQ(aErrNone, tlusb_open_tessaline_device(d, serial));
        EXPECT_EQ(aErrNone, tlusb_close_tessaline_device(d));
        EXPECT_FALSE(carrier.claimed(h));
        tlusb_destroy(&d);
    }
}

TEST_F(UsbDriver, WritesInChunksOfTheOutPacketSize)
{
    struct Case {
        const char* what;
        uint16_t maxPacket;
        uint8_t activeConfiguration;
        std::vector<size_t> chunks;
    };
    std::vector<size_t> small(18, 64);
    small.push_back(48);
    const Case cases[] = {
        {"512-byte packets", 512, 1, {511, 511, 178}},
        {"64-byte packets", 64, 1, small},
        {"packet size 0: all at once", 0, 1, {1200}},
        {"packet size unknown: all at once", 512, 0, {1200}},
    };
    uint32_t serial = 0x22220000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::ByteEndpoint target;
        sim::UsbDeviceDescription description = sim::UsbDeviceDescription::tessaline(++serial, c.maxPacket);
        description.activeConfiguration = c.activeConfiguration;
        int h = carrier.plug(description, target);
        tlusb_device* d = tlusb_create_usb(tlusbModeUSBLib);
        ASSERT_EQ(aErrNone, tlusb_open_tessaline_device(d, description.serial.c_str()));
        EXPECT_EQ(c.activeConfiguration ? c.maxPacket : 0, d->outMaxPacket);

        std::vector<uint8_t> data = pattern(1200);
        EXPECT_EQ(aErrNone, tlusb_write_to_device(d, data.data(), data.size()));
        EXPECT_EQ(c.chunks, carrier.outTransfers(h));
        EXPECT_EQ(data, target.received());
        tlusb_close_tessaline_device(d);
        tlusb_destroy(&d);
        carrier.unplug(h);
    }
}

TEST_F(UsbDriver, PartlyAcceptedChunkIsNotSentTwice)
{
    openTessaline();
    carrier.limitNextOut(handle, 40);   // takes 40 bytes, then ignores the rest until the time-out
    std::vector<uint8_t> data = pattern(100);

    EXPECT_EQ(aErrNone, tlusb_write_to_device(driver, data.data(), data.size()));
    EXPECT_EQ((std::vector<size_t>{40, 60}), carrier.outTransfers(handle));
    EXPECT_EQ(data, device.received());
}

TEST_F(UsbDriver, StalledEndpointsAreClearedAndTheDataGoesThroughOnce)
{
    openTessaline();
    std::vector<uint8_t> data = pattern(5);
    carrier.failTransfers(handle, kOut, -EPIPE);
    EXPECT_EQ(aErrNone, tlusb_write_to_device(driver, data.data(), data.size()));
    EXPECT_EQ(data, device.received());
    EXPECT_EQ(1, carrier.clearedHalts(handle)[kOut]);

    carrier.failTransfers(handle, kIn, -EPIPE);
    uint8_t byte = 0;
    EXPECT_EQ(aErrNotReady, get(byte));
    EXPECT_EQ(1, carrier.clearedHalts(handle)[kIn]);
    device.send({0x42});
    EXPECT_EQ(aErrNone, get(byte));
    EXPECT_EQ(0x42, byte);
    EXPECT_EQ(0, driver->errorCount.load());
}

TEST_F(UsbDriver, HaltThatCannotBeClearedCountsAsAnIOFailure)
{
    openTessaline();
    carrier.setClearHaltError(handle, EIO);
    carrier.failTransfers(handle, kOut, -EPIPE);
    std::vector<uint8_t> data = pattern(5);

    EXPECT_EQ(aErrNone, tlusb_write_to_device(driver, data.data(), data.size()));   // forgiven
    EXPECT_EQ(1, driver->errorCount.load());
    EXPECT_EQ(data, device.received());
}

TEST_F(UsbDriver, WriteGivesUpAfterTenFailedTransfers)
{
    openTessaline();
    std::vector<uint8_t> data = pattern(5);
    carrier.failTransfers(handle, kOut, -EPROTO, 10);
    EXPECT_EQ(aErrWrite, tlusb_write_to_device(driver, data.data(), data.size()));
    EXPECT_TRUE(device.received().empty());
    EXPECT_EQ(tlusbStateReady, driver->state.load());

    carrier.failTransfers(handle, kOut, -EPROTO, 9);
    EXPECT_EQ(aErrNone, tlusb_write_to_device(driver, data.data(), data.size()));
    EXPECT_EQ(data, device.received());
}

TEST_F(UsbDriver, FifthConsecutiveFailedReadFailsTheDevice)
{
    openTessaline();
    uint8_t byte = 0;
    carrier.failTransfers(handle, kIn, -EPROTO, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(aErrNotReady, get(byte)) << i;
    device.send({7});                                  // a good read in between starts the count again
    EXPECT_EQ(aErrNone, get(byte));
    EXPECT_EQ(0, driver->errorCount.load());

    carrier.failTransfers(handle, kIn, -EPROTO, 5);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(aErrNotReady, get(byte)) << i;
    EXPECT_EQ(tlusbStateReady, driver->state.load());
    EXPECT_EQ(aErrIO, get(byte));
    EXPECT_EQ(tlusbStateFailed, driver->state.load());

    // A failed device stays failed, however often it is used.
    device.send({8});
    for (int i = 0; i < 300; ++i) ASSERT_EQ(aErrIO, get(byte)) << i;
    EXPECT_EQ(aErrIO, tlusb_write_to_device(driver, &byte, 1));
    EXPECT_TRUE(device.received().empty());
}

TEST_F(UsbDriver, ReadThatTimesOutEmptyIsNotReadyAndStartsTheCountAgain)
{
    openTessaline();
    uint8_t byte = 0;
    carrier.failTransfers(handle, kIn, -EPROTO, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(aErrNotReady, get(byte)) << i;
    EXPECT_EQ(aErrNotReady, get(byte));         // nothing within 1000 ms
    EXPECT_EQ(0, driver->errorCount.load());
    carrier.failTransfers(handle, kIn, -EPROTO);
    EXPECT_EQ(aErrNotReady, get(byte));
    EXPECT_EQ(tlusbStateReady, driver->state.load());
}

TEST_F(UsbDriver, ReadThatTimesOutHandsOutWhatArrived)
{
    openTessaline();
    carrier.setHoldInTransfers(handle, true);   // no short packet ends the transfer
    std::vector<uint8_t> data = pattern(10);
    device.send(data);

    uint8_t byte = 0;
    ASSERT_EQ(aErrNone, get(byte));             // after the 1000 ms time-out
    std::vector<uint8_t> got = {byte};
    size_t ioctls = carrier.ioctlCount(handle);
    while (got.size() < data.size() && get(byte) == aErrNone) got.push_back(byte);
    EXPECT_EQ(data, got);
    EXPECT_EQ(ioctls, carrier.ioctlCount(handle));   // handed out without a new transfer

    carrier.setHoldInTransfers(handle, false);
    device.send({0x55});
    EXPECT_EQ(aErrNone, get(byte));
    EXPECT_EQ(0x55, byte);
}

TEST_F(UsbDriver, UnpluggedDeviceFailsOnTheFifthRead)
{
    openTessaline();
    carrier.unplug(handle);
    uint8_t byte = 0;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(aErrNotReady, get(byte)) << i;
    EXPECT_EQ(aErrIO, get(byte));
    EXPECT_EQ(aErrIO, tlusb_write_to_device(driver, &byte, 1));
    EXPECT_EQ(aErrNone, tlusb_close_tessaline_device(driver));
}

TEST_F(UsbDriver, TracesOnlyInTheUSBDriverCategory)
{
    aTessalineDebuggingEnable = true;
    aTessalineDebuggingLevel = aDEBUG_USB_DRIVER;
    testing::internal::CaptureStdout();
    openTessaline(64);
    EXPECT_EQ("In Endpoint Max packet: 64\nOut Endpoint Max packet: 64\n", testing::internal::GetCapturedStdout());

    uint8_t byte = 1;
    aTessalineDebuggingLevel = aDEBUG_LINKS;
    testing::internal::CaptureStdout();
    tlusb_write_to_device(driver, &byte, 1);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    aTessalineDebuggingLevel = aDEBUG_USB_DRIVER;
    carrier.failTransfers(handle, kOut, -EPROTO);
    testing::internal::CaptureStdout();
    tlusb_write_to_device(driver, &byte, 1);
    EXPECT_EQ("libusb lenSent: 0 - nSize: 1\nlibusb error: -1\nlibusb lenSent: 1 - nSize: 1\n",
              testing::internal::GetCapturedStdout());
    aTessalineDebuggingEnable = false;
    aTessalineDebuggingLevel = 0;
}

TEST_F(UsbDriver, OperationsCheckModeAndState)
{
    uint8_t byte = 0;
    tlusb_device* usb = tlusb_create_usb(tlusbModeUSBLib);
    tlusb_device* node = tlusb_create_usb(tlusbModeKernelNode);
    ASSERT_NE(nullptr, usb);
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(tlusbStateCreated, usb->state.load());
    EXPECT_EQ(usb->readBuffer, usb->readPointer);

    EXPECT_EQ(aErrMode, tlusb_open_tessaline_kernel_device(usb, "0000ABCD"));
    EXPECT_EQ(aErrMode, tlusb_write_to_kernel_device(usb, &byte, 1));
    EXPECT_EQ(aErrMode, tlusb_get_from_kernel_device(usb, &byte));
    EXPECT_EQ(aErrMode, tlusb_open_tessaline_USBlib_device(node, "0000ABCD"));
    EXPECT_EQ(aErrMode, tlusb_write_to_USBlib_device(node, &byte, 1));
    EXPECT_EQ(aErrMode, tlusb_get_from_USBlib_device(node, &byte));
    EXPECT_EQ(aErrMode, tlusb_get_from_device(node, &byte));        // no node open

    EXPECT_EQ(aErrNotReady, tlusb_write_to_device(usb, &byte, 1));  // created, not opened
    EXPECT_EQ(aErrNotReady, tlusb_get_from_device(usb, &byte));
    usb->state = tlusbStateClosed;
    EXPECT_EQ(aErrConnection, tlusb_write_to_device(usb, &byte, 1));
    EXPECT_EQ(aErrConnection, tlusb_get_from_device(usb, &byte));

    EXPECT_EQ(aErrMode, tlusb_close_tessaline_device(usb));         // no handle
    EXPECT_EQ(aErrNone, tlusb_close_tessaline_device(node));        // no node open
    EXPECT_EQ(aErrNone, tlusb_destroy(&usb));
    EXPECT_EQ(nullptr, usb);
    EXPECT_EQ(aErrParam, tlusb_destroy(&usb));
    EXPECT_EQ(aErrParam, tlusb_destroy(nullptr));
    EXPECT_EQ(aErrNone, tlusb_destroy(&node));
}

} // namespace
