// The transport beneath the i.MX boot ROM's serial download client: USB HID
// reports or a UART line, hidden behind one interface, and the sizes and
// addresses that the client and its transports share.
#pragma once

#include <cstdint>
#include <vector>

// A command report: report id and 16 command bytes.
static constexpr uint8_t MAX_COMMAND_BYTES = 17;
// A HID input report buffer: report id and 64 bytes.
static constexpr uint16_t MAX_READ_BYTES = 65;
// Image bytes per data report.
static constexpr uint16_t MAX_WRITE_BYTES = 1024;

namespace IMX1050 {
// The on-chip one-time-programmable controller and its unique-id fuse words.
static constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
static constexpr uint32_t CFG0_OFFSET = 0x410;
static constexpr uint32_t CFG1_OFFSET = 0x420;
// USB ids of the boot ROM's HID device.
static constexpr uint16_t VID = 0x1FC9;
static constexpr uint16_t PID = 0x0130;
// Where the live loader starts when its file names no address.
static constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
} // namespace IMX1050

class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() = default;

    // Opens the transport; true when it is open.
    virtual bool init() = 0;
    // Sends one report (report id first); the bytes written, negative on failure.
    virtual long writeData(const std::vector<uint8_t>& report) = 0;
    // Appends what the boot ROM sends within the time-out; the bytes appended.
    // A time-out of 0 only collects what has already arrived.
    virtual long readData(std::vector<uint8_t>& reply, unsigned int timeoutMs) = 0;
    // ORs the reply's status or data word (the one after its leading,
    // unexamined word; callers pass offset 0) into value; false, value
    // untouched, when the reply holds none.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned int offset, uint32_t& value) = 0;
};
