// test-wrapper: umockdev
// The USB stream over the USB library: finding a device by its serial number,
// moving bytes both ways, and what a link sees when the device goes away,
// restarts, or is held by another program.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <libusb-1.0/libusb.h>

#include "platform/Tessaline_libusb.h"
#include "platform/aStreamUSB.h"
#include "tests/sim/byte_endpoint.h"
#include "tests/sim/device_model.h"
#include "tests/sim/usb_carrier.h"

namespace {

constexpr uint32_t kSerial = 0x0000ABCD;

// Reads n bytes, trying again while the stream is not ready.
aErr readBytes(aStream* stream, std::vector<uint8_t>& out, size_t n)
{
    out.assign(n, 0);
    aErr result = aErrNotReady;
    for (int tries = 0; tries < 10 && result == aErrNotReady; ++tries) result = aStream_Read(stream, out.data(), n);
    return result;
}

class UsbStream : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (stream) aStream_Destroy(&stream);
        Tessaline_libusb_exit();
    }

    // Writes the bytes and expects them back from the echoing device.
    void expectEcho(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(aErrNone, aStream_Write(stream, bytes.data(), bytes.size()));
        std::vector<uint8_t> back;
        ASSERT_EQ(aErrNone, readBytes(stream, back, bytes.size()));
        EXPECT_EQ(bytes, back);
    }

    sim::UsbCarrier carrier;
    sim::ByteEndpoint echo{true};
    aStream* stream = nullptr;
};

TEST_F(UsbStream, CarriesBytesBothWays)
{
    int handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), echo);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    EXPECT_TRUE(carrier.claimed(handle));

    expectEcho({0x42});                         // one byte goes out through put
    std::vector<uint8_t> block(1500);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i);
    expectEcho(block);                          // more than one read transfer

    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
    EXPECT_FALSE(carrier.claimed(handle));
}

TEST_F(UsbStream, FindsOnlyATessalineDeviceWithTheExactSerialText)
{
    struct Case {
        const char* what;
        uint16_t vendor;
        uint16_t product;
        const char* serial;
        aErr expected;
    };
    const Case cases[] = {
        {"matching", 0x24FF, 0x0013, "0000ABCD", aErrNone},
        {"product id bit 15 set", 0x24FF, 0x8013, "0000ABCD", aErrNotFound},
        {"other vendor", 0x1D6B, 0x0013, "0000ABCD", aErrNotFound},
        {"lower-case serial", 0x24FF, 0x0013, "0000abcd", aErrNotFound},
        {"no leading zeros", 0x24FF, 0x0013, "ABCD", aErrNotFound},
        {"seven digits", 0x24FF, 0x0013, "000ABCD", aErrNotFound},
        {"nine digits", 0x24FF, 0x0013, "00000ABCD", aErrNotFound},
        {"one character more", 0x24FF, 0x0013, "0000ABCD0", aErrNotFound},
        {"no serial string", 0x24FF, 0x0013, "", aErrNotFound},
        {"serial string unreadable", 0x24FF, 0x0013, nullptr, aErrNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::UsbDeviceDescription d = sim::UsbDeviceDescription::tessaline(kSerial);
        d.vendorId = c.vendor;
        d.productId = c.product;
        if (c.serial) d.serial = c.serial;
        int handle = carrier.plug(d, echo);
        if (!c.serial) carrier.failTransfers(handle, 0x00, -EPIPE);
        EXPECT_EQ(c.expected, aStream_CreateUSB(kSerial, &stream));
        EXPECT_EQ(c.expected == aErrNone, stream != nullptr);
        if (c.product & 0x8000 || c.vendor != 0x24FF) {
            EXPECT_EQ(0u, carrier.ioctlCount(handle)) << "was opened";
        }
        if (stream) aStream_Destroy(&stream);
        carrier.unplug(handle);
    }
}

TEST_F(UsbStream, RejectsSerialNumberZeroAndAMissingHandle)
{
    carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), echo);
    stream = reinterpret_cast<aStream*>(&echo);     // cleared before anything else
    EXPECT_EQ(aErrParam, aStream_CreateUSB(0, &stream));
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(aErrParam, aStream_CreateUSB(kSerial, nullptr));
}

TEST_F(UsbStream, BusyDeviceIsNotOpened)
{
    int handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), echo);
    carrier.setClaimError(handle, EBUSY);
    EXPECT_EQ(aErrBusy, aStream_CreateUSB(kSerial, &stream));
    EXPECT_EQ(nullptr, stream);

    carrier.setClaimError(handle, 0);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    expectEcho({1, 2, 3});
}

TEST_F(UsbStream, UnpluggedDeviceEndsInAReadError)
{
    int handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), echo);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    carrier.unplug(handle);

    uint8_t byte = 0;
    aErr result = aErrNone;
    int reads = 0;
    while ((result = aStream_Read(stream, &byte, 1)) == aErrNotReady && reads < 10) ++reads;
    EXPECT_EQ(aErrIO, result);
    EXPECT_EQ(4, reads);
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
    EXPECT_EQ(aErrNotFound, aStream_CreateUSB(kSerial, &stream));
}

TEST_F(UsbStream, RestartedDeviceIsFoundAgainUnderItsSerialNumber)
{
    int handle = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), echo);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    expectEcho({1, 2, 3});

    // Into its loader: the old stream fails, a new one reaches the loader.
    sim::ByteEndpoint loader(true);
    carrier.reenumerate(handle, &loader);
    uint8_t byte = 0;
    aErr result = aErrNotReady;
    for (int i = 0; i < 10 && result == aErrNotReady; ++i) result = aStream_Read(stream, &byte, 1);
    EXPECT_EQ(aErrIO, result);
    aStream_Destroy(&stream);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    expectEcho({4, 5, 6});
    EXPECT_EQ((std::vector<uint8_t>{4, 5, 6}), loader.received());
    aStream_Destroy(&stream);

    // After the reboot, with the USB context started afresh.
    carrier.reenumerate(handle, &echo);
    EXPECT_EQ(0, Tessaline_libusb_exit());
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    EXPECT_NE(nullptr, Tessaline_libusb_context());
    expectEcho({7, 8, 9});
}

TEST_F(UsbStream, ContextThatCannotBeStartedIsNotUsedNorShutDown)
{
    carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), echo);
    // Another user of the USB library in the process holds its default context.
    ASSERT_EQ(0, libusb_init(nullptr));

    libusb_context* context = reinterpret_cast<libusb_context*>(&echo);
    aErr created = aErrNone;
    int exited = -1;
    sim::runWithoutEventDescriptors([&] {
        context = Tessaline_libusb_context();
        created = aStream_CreateUSB(kSerial, &stream);
        exited = Tessaline_libusb_exit();
    });
    EXPECT_EQ(nullptr, context);
    EXPECT_EQ(aErrNotFound, created);
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(0, exited);

    // The other user's context is untouched, and ours starts at the next use.
    libusb_device** list = nullptr;
    EXPECT_GE(libusb_get_device_list(nullptr, &list), 1);
    libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    expectEcho({1, 2, 3});
}

TEST_F(UsbStream, CarriesPacketsOfTheSimulatedDevice)
{
    sim::DeviceModel model;
    carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), model);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));

    const uint8_t query[] = {0xAD, 0x00};              // which module address answers here
    ASSERT_EQ(aErrNone, aStream_Write(stream, query, sizeof query));
    ASSERT_TRUE(model.waitForPackets(1, 1000));
    std::vector<uint8_t> answer;
    ASSERT_EQ(aErrNone, readBytes(stream, answer, 2));
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x00}), answer);
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

} // namespace
