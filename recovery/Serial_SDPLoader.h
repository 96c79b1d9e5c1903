// The serial download transport over the chip's UART: a raw 115200-baud
// line on which commands go without their report id and the boot ROM's
// four-byte words come back to back.
#pragma once

#include "recovery/SDPLoader_Interface.h"

#include <memory>

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    // How long a write may make no progress before the line counts as gone.
    static constexpr unsigned int WRITE_STALL_LIMIT_MS = 1000;

    // The path is not copied: the caller keeps it alive while the transport lives.
    explicit Serial_SDPLoader(const char* path);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    // Opens the port raw at 115200 baud and lets the line settle for a second;
    // false when the path is no terminal. An open port stays as it is.
    bool init() override;
    // Sends the report without its id and waits until the line has sent it;
    // the bytes sent, or -1 when the line fails or takes nothing for
    // WRITE_STALL_LIMIT_MS.
    long writeData(const std::vector<uint8_t>& report) override;
    // Waits the whole time-out, then takes what has arrived.
    long readData(std::vector<uint8_t>& reply, unsigned int timeoutMs) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned int offset, uint32_t& value) override;

    // Brings the boot ROM's assembly of 16-byte commands back to a command
    // boundary, whatever stray bytes an earlier user of the line left in it
    // (the probe of another boot ROM, say). It sends runs of status-request
    // bytes and learns from which runs are answered how many bytes the
    // assembly holds, then completes it. True when the ROM is at a boundary
    // and its answers are drained; false when it never answered.
    bool realign();

private:
    std::unique_ptr<PrivateSerial_SDPLoader> priv;
};
