// test-wrapper: umockdev
// The USB stream over a device's kernel driver node, which takes the place
// of the USB library whenever the node for the serial number exists.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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

// The file behind a descriptor or a path, by device and inode; none when
// the descriptor is closed or the path names nothing.
struct FileId {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId& other) const
    {
        return exists == other.exists && device == other.device && inode == other.inode;
    }
};

FileId fileIdOf(const struct stat& status)
{
    return {true, status.st_dev, status.st_ino};
}

FileId fileOfDescriptor(int descriptor)
{
    struct stat status {};
    return fstat(descriptor, &status) == 0 ? fileIdOf(status) : FileId{};
}

FileId fileOfPath(const char* path)
{
    struct stat status {};
    return stat(path, &status) == 0 ? fileIdOf(status) : FileId{};
}

// Descriptor 0 is told apart from the node by the file it refers to: the
// testbed's own threads may be given number 0 for files of theirs whenever
// it is free, before the node's open and after its close.
TEST_F(UsbDriverNode, NodeOpenedAsDescriptorZeroIsUsedAndClosed)
{
    // Without standard input (as in CI) the node's open may return 0.
    ASSERT_TRUE(kStdinHeld);
    carrier.addDriverNode(kSerial, node);
    const FileId theNode = fileOfPath("/dev/tessaline.0000ABCD");
    ASSERT_TRUE(theNode.exists);
    // One stream over the node first: the testbed's thread that answers it
    // has started and made its own descriptors before 0 is free.
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
    uint8_t byte = 0x55;
    ASSERT_EQ(aErrNone, aStream_Write(stream, &byte, 1));
    ASSERT_EQ(aErrNone, aStream_Read(stream, &byte, 1));
    ASSERT_EQ(aErrNone, aStream_Destroy(&stream));

    int savedStdin = fcntl(0, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(savedStdin, 0);
    close(0);
    aErr created = aStream_CreateUSB(kSerial, &stream);
    const bool nodeOnZero = fileOfDescriptor(0) == theNode;
    const uint8_t out[] = {0x02, 0x01, 0x17};
    aErr written = stream ? aStream_Write(stream, out, sizeof out) : aErrParam;
    uint8_t back[3] = {};
    aErr read = stream ? aStream_Read(stream, back, sizeof back) : aErrParam;
    aErr destroyed = stream ? aStream_Destroy(&stream) : aErrParam;
    const bool nodeLeftOnZero = fileOfDescriptor(0) == theNode;
    // Standard input comes back on 0 only while 0 is free: a descriptor that
    // another thread was given meanwhile stays its own.
    int restored = fcntl(savedStdin, F_DUPFD, 0);
    if (restored > 0) close(restored);
    close(savedStdin);

    ASSERT_EQ(aErrNone, created);
    EXPECT_TRUE(nodeOnZero) << "the node did not get descriptor 0";
    EXPECT_EQ(aErrNone, written);
    EXPECT_EQ(aErrNone, read);
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x01, 0x17}), std::vector<uint8_t>(back, back + 3));
    EXPECT_EQ(aErrNone, destroyed);
    EXPECT_FALSE(nodeLeftOnZero) << "descriptor 0 was left open on the node";
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
