// test-wrapper: umockdev
// The USB stream over a device's kernel driver node, which takes the place
// of the USB library whenever the node for the serial number exists.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/Tessaline_libusb.h"
#include "platform/aStreamUSB.h"
#include "platform/tlusb_driver.h"
#include "tests/sim/byte_endpoint.h"
#include "tests/sim/usb_carrier.h"

namespace {

constexpr uint32_t kSerial = 0x0000ABCD;

// Descriptor 0 is standard input, or /dev/null when the process came without
// one, before anything else can take it: a test may then close it for a while.
const bool kStdinHeld = fcntl(0, F_GETFD) != -1 || open("/dev/null", O_RDONLY | O_CLOEXEC) == 0;

class UsbDriverNode : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (stream) aStream_Destroy(&stream);
        Tessaline_libusb_exit();
    }

    sim::UsbCarrier carrier;
    sim::ByteEndpoint node{true};
    sim::ByteEndpoint usb{true};
    aStream* stream = nullptr;
};

TEST_F(UsbDriverNode, IsNamedByTheSerialNumberInUpperCaseHex)
{
    carrier.addDriverNode(0x00C0FFEE, node);
    EXPECT_TRUE(tlusb_is_kernel_driver_installed(0x00C0FFEE));
    EXPECT_FALSE(tlusb_is_kernel_driver_installed(0x00C0FFEF));
}

TEST_F(UsbDriverNode, StreamUsesTheNodeAndNeverTheUSBLibrary)
{
    int device = carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), usb);
    carrier.addDriverNode(kSerial, node);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));

    uint8_t byte = 0;
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));   // nothing sent yet
    const uint8_t out[] = {0x02, 0x01, 0x17};
    ASSERT_EQ(aErrNone, aStream_Write(stream, out, sizeof out));
    ASSERT_EQ(aErrNone, aStream_Write(stream, out, 1));        // through put
    uint8_t back[4] = {};
    ASSERT_EQ(aErrNone, aStream_Read(stream, back, sizeof back));
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x01, 0x17, 0x02}), std::vector<uint8_t>(back, back + 4));
    EXPECT_EQ(4u, carrier.driverNodeWrites(kSerial));

    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
    EXPECT_EQ(0u, carrier.ioctlCount(device));
    EXPECT_TRUE(usb.received().empty());
}

TEST_F(UsbDriverNode, NodeThatCannotBeOpenedFailsTheStream)
{
    carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), usb);
    carrier.addUnopenableDriverNode(kSerial);
    EXPECT_EQ(aErrIO, aStream_CreateUSB(kSerial, &stream));
    EXPECT_EQ(nullptr, stream);
}

TEST_F(UsbDriverNode, BusyNodeGivesBusy)
{
    carrier.addDriverNode(kSerial, node);
    aErr result = aErrNone;
    sim::runWithOpensBusy([&] { result = aStream_CreateUSB(kSerial, &stream); });
    EXPECT_EQ(aErrBusy, result);
    EXPECT_EQ(nullptr, stream);
}

TEST_F(UsbDriverNode, ClosedNodeIsNoLongerUsed)
{
    carrier.addDriverNode(kSerial, node);
    tlusb_device* driver = tlusb_create_usb(tlusbModeKernelNode);
    ASSERT_EQ(aErrNone, tlusb_open_tessaline_device(driver, "0000ABCD"));
    EXPECT_STREQ("0000ABCD", driver->serial);
    EXPECT_EQ(tlusbStateCreated, driver->state.load());

    EXPECT_EQ(aErrNone, tlusb_close_tessaline_device(driver));
    EXPECT_EQ(tlusbStateClosed, driver->state.load());
    EXPECT_EQ(-1, driver->nodeDescriptor);
    uint8_t byte = 1;
    EXPECT_EQ(aErrMode, tlusb_write_to_device(driver, &byte, 1));
    EXPECT_EQ(aErrMode, tlusb_get_from_device(driver, &byte));
    EXPECT_EQ(0u, carrier.driverNodeWrites(kSerial));
    tlusb_destroy(&driver);
}

TEST_F(UsbDriverNode, NodeOpenedAsDescriptorZeroIsUsedAndClosed)
{
    // Without standard input (as in CI) the node's open may return 0.
    ASSERT_TRUE(kStdinHeld);
    carrier.addDriverNode(kSerial, node);
    int savedStdin = fcntl(0, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(savedStdin, 0);
    close(0);
    aErr created = aStream_CreateUSB(kSerial, &stream);
    bool zeroOpen = fcntl(0, F_GETFD) != -1;
    const uint8_t out[] = {0x02, 0x01, 0x17};
    aErr written = stream ? aStream_Write(stream, out, sizeof out) : aErrParam;
    uint8_t back[3] = {};
    aErr read = stream ? aStream_Read(stream, back, sizeof back) : aErrParam;
    aErr destroyed = stream ? aStream_Destroy(&stream) : aErrParam;
    bool zeroClosed = fcntl(0, F_GETFD) == -1;
    dup2(savedStdin, 0);
    close(savedStdin);

    ASSERT_EQ(aErrNone, created);
    EXPECT_TRUE(zeroOpen) << "the node did not get descriptor 0";
    EXPECT_EQ(aErrNone, written);
    EXPECT_EQ(aErrNone, read);
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x01, 0x17}), std::vector<uint8_t>(back, back + 3));
    EXPECT_EQ(aErrNone, destroyed);
    EXPECT_TRUE(zeroClosed) << "descriptor 0 was left open";
}

TEST_F(UsbDriverNode, FailedNodeCalls)
{
    using Call = sim::UsbCarrier::NodeCall;
    struct Case {
        const char* what;
        Call call;
        int error;
        aErr expected;
    };
    const Case cases[] = {
        {"read interrupted by a signal", Call::Read, EINTR, aErrNotReady},
        {"read with no byte ready", Call::Read, EFAULT, aErrNotReady},
        {"read fails", Call::Read, EIO, aErrIO},
        {"write interrupted by a signal", Call::Write, EINTR, aErrNone},
        {"write fails", Call::Write, EIO, aErrIO},
    };
    carrier.addDriverNode(kSerial, node);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    const uint8_t out[] = {0x31, 0x32};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        node.send({0x40});
        carrier.failDriverNodeCalls(kSerial, c.call, c.error);
        uint8_t byte = 0;
        if (c.call == Call::Read) {
            EXPECT_EQ(c.expected, aStream_Read(stream, &byte, 1));
        } else {
            size_t before = carrier.driverNodeWrites(kSerial);
            EXPECT_EQ(c.expected, aStream_Write(stream, out, sizeof out));
            EXPECT_EQ(c.expected == aErrNone ? sizeof out : 0, carrier.driverNodeWrites(kSerial) - before);
        }
        // The node is still in use: the next byte comes through.
        std::vector<uint8_t> rest;
        while (aStream_Read(stream, &byte, 1) == aErrNone) rest.push_back(byte);
        EXPECT_FALSE(rest.empty());
        EXPECT_EQ(0x40, rest.front());
    }
}

} // namespace
