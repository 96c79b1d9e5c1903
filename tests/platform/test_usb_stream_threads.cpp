// test-labels: threaded
// test-wrapper: umockdev
// A link reads a USB stream on one thread and writes it on another at once.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Tessaline_libusb.h"
#include "platform/aStreamUSB.h"
#include "tests/sim/byte_endpoint.h"
#include "tests/sim/usb_carrier.h"

namespace {

TEST(UsbStreamThreads, ReaderAndWriterRunAtOnce)
{
    constexpr uint32_t kSerial = 0x01234567;
    constexpr size_t kBlocks = 200;
    constexpr size_t kBlockSize = 30;
    sim::UsbCarrier carrier;
    sim::ByteEndpoint echo(true);
    carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial, 64), echo);
    aStream* stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));

    std::vector<uint8_t> sent;
    for (size_t i = 0; i < kBlocks * kBlockSize; ++i) sent.push_back(uint8_t(i % 251));
    std::vector<uint8_t> got;
    std::thread reader([&] {
        int idle = 0;
        while (got.size() < sent.size() && idle < 5) {
            uint8_t byte = 0;
            aErr result = aStream_Read(stream, &byte, 1);
            if (result == aErrNone) {
                got.push_back(byte);
                idle = 0;
            } else if (result == aErrNotReady) {
                ++idle;
            } else {
                break;
            }
        }
    });
    std::thread writer([&] {
        for (size_t i = 0; i < kBlocks; ++i)
            if (aStream_Write(stream, sent.data() + i * kBlockSize, kBlockSize) != aErrNone) break;
    });
    writer.join();
    reader.join();
    EXPECT_EQ(sent, echo.received());
    EXPECT_EQ(sent, got);
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
    Tessaline_libusb_exit();
}

} // namespace
