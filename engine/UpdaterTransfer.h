// Writing a firmware file into a device: the loader stage (loader blocks in,
// loader started), finding the device again over USB once it restarted into
// its loader, and the firmware stage (each firmware block prepared, sent and
// committed, with retries, then the reboot into the new firmware); and the
// test, shared with the recovery, that a file has firmware to write at all.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "device_api/Module.h"
#include "engine/BirdFile.h"
#include "engine/UpdaterDisplayInterface.h"

// Attempts to find the device again after its loader started, 1000 ms apart.
constexpr unsigned CONNECT_ATTEMPTS = 15;
// Attempts per firmware block, the first included.
constexpr unsigned BLOCK_RETRIES = 5;

// Whether the file has firmware to write. False, with the reason shown, when
// no firmware block holds an image byte: the caller then sends nothing to the
// device or chip. Blocks that hold their load address alone are written by
// no road (each takes FindFirmwareImages); each is named here as skipped.
bool _firmware_to_write(UpdaterDisplayInterface& display, const BirdFile& file);

// 0 once the loader runs in the device.
aErr _transfer_loader(UpdaterDisplayInterface& display, Zentrova::Tessaline::Module& module, const BirdFile& file);

// Reconnects the module over USB to the device with that serial number when
// its link dropped, refreshing the USB context before every third attempt;
// true when the module is connected in the end.
bool _reconnect_loader(Zentrova::Tessaline::Module& module, uint32_t serial);

// noWait: do not wait for the link to drop after the reboot request (a device
// behind a routing device). ueiBytes: ask the device first for UEI byte-array
// data and pooled packets.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Zentrova::Tessaline::Module& module, const BirdFile& file,
                        bool noWait, bool ueiBytes);
