// test-wrapper: umockdev
// The emulated USB bus seen through the USB library itself.
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include "tests/sim/byte_endpoint.h"
#include "tests/sim/usb_carrier.h"

namespace {

TEST(UsbCarrier, EchoOverBulkEndpoints)
{
    sim::UsbCarrier carrier;
    sim::ByteEndpoint echo(true);
    int dev = carrier.plug(sim::UsbDeviceDescription::tessaline(0x0000ABCD), echo);

    libusb_context* ctx = nullptr;
    ASSERT_EQ(0, libusb_init(&ctx));
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    ASSERT_EQ(1, n);
    libusb_device_descriptor dd;
    ASSERT_EQ(0, libusb_get_device_descriptor(list[0], &dd));
    EXPECT_EQ(0x24FF, dd.idVendor);
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(0, libusb_open(list[0], &h));
    unsigned char serial[256] = {};
    int r = libusb_get_string_descriptor_ascii(h, dd.iSerialNumber, serial, sizeof serial);
    EXPECT_EQ(8, r);
    EXPECT_STREQ("0000ABCD", (char*)serial);
    EXPECT_EQ(512, libusb_get_max_packet_size(list[0], 0x81));
    ASSERT_EQ(0, libusb_claim_interface(h, 0));
    unsigned char out[5] = {1, 2, 3, 4, 5};
    int done = 0;
    ASSERT_EQ(0, libusb_bulk_transfer(h, 0x01, out, 5, &done, 50));
    EXPECT_EQ(5, done);
    unsigned char in[1024];
    ASSERT_EQ(0, libusb_bulk_transfer(h, 0x81, in, sizeof in, &done, 1000));
    EXPECT_EQ(5, done);
    EXPECT_EQ(0, memcmp(in, out, 5));
    size_t before = carrier.ioctlCount(dev);
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, libusb_bulk_transfer(h, 0x81, in, sizeof in, &done, 200));
    EXPECT_LT(carrier.ioctlCount(dev) - before, 20u);
    carrier.failTransfers(dev, 0x81, -EPIPE);
    EXPECT_EQ(LIBUSB_ERROR_PIPE, libusb_bulk_transfer(h, 0x81, in, sizeof in, &done, 200));
    carrier.unplug(dev);
    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, libusb_bulk_transfer(h, 0x81, in, sizeof in, &done, 200));
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
}

} // namespace
#include <fcntl.h>
#include <unistd.h>
namespace {
TEST(UsbCarrier, DriverNode)
{
    sim::UsbCarrier carrier;
    sim::ByteEndpoint echo(true);
    carrier.addDriverNode(0xABCD, echo);
    int fd = open("/dev/tessaline.0000ABCD", O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    uint8_t b = 0;
    EXPECT_EQ(0, read(fd, &b, 1));
    EXPECT_EQ(3, write(fd, "abc", 3));
    EXPECT_EQ(1, read(fd, &b, 1));
    EXPECT_EQ('a', b);
    close(fd);
    carrier.addUnopenableDriverNode(0x1234);
    EXPECT_EQ(0, access("/dev/tessaline.00001234", F_OK));
    EXPECT_LT(open("/dev/tessaline.00001234", O_RDWR), 0);
    EXPECT_EQ(EISDIR, errno);
}
}
