// Module: one Tessaline device on a bus, the address its packets go to and the
// Link that carries them. Connects by serial number, by model, from a link
// specifier, again after a restart, or through a routing device's link; asks
// the device for its module information and echoes bytes through it.
#pragma once

#include <cstdint>

#include "common/aDiscovery.h"
#include "common/aError.h"
#include "common/aLink.h"
#include "device_api/Link.h"

namespace Zentrova {
namespace Tessaline {

class Module {
public:
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool autoNetworking, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Connecting. connect needs a serial number; discoverAndConnect with
    // serial number 0 takes the first device of the module's model.
    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    aErr connectFromSpec(linkSpec spec);
    aErr reconnect();
    // Joins the link of a connected routing device; the caller sets the module address.
    aErr connectThroughLinkModule(Module* linkModule);
    aErr disconnect();
    bool isConnected();
    aLinkStatus getStatus();

    uint8_t getModuleAddress() const { return moduleAddress; }
    void setModuleAddress(uint8_t address) { moduleAddress = address; }
    Link* getLink() const { return link; }
    aErr getLinkSpecifier(linkSpec* spec);
    aErr getConfig(aVorneConfig* config);
    aErr setConfig(aVorneConfig config);
    // Whether direct connections learn the module address from the link.
    void setNetworkingMode(bool autoNetwork) { autoNetworking = autoNetwork; }

    // Module information (command 0x49).
    aErr getBuild(uint32_t* build);
    // 0 when the device supports the option with the access of flags (0, 0x40 get, 0x80 set).
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t subclass, uint8_t* group);
    // Echo (command 23): 0 when the device sends the bytes back unchanged.
    aErr debug(const uint8_t* data, uint8_t length);

    // The Link's packet log; aErrConfiguration without a Link.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

private:
    aErr _autoNetwork();
    // One 0x49 request and the module's reply to it: the reply that repeats
    // the request's first echoLength bytes, its data in reply[0..*replyLength-1].
    aErr moduleInfo(const uint8_t* request, uint8_t requestLength, uint8_t echoLength, uint8_t* reply,
                    uint8_t* replyLength);
    // A 0x49 question whose reply repeats it and adds one answer byte.
    aErr askCount(const uint8_t* request, uint8_t requestLength, uint8_t* answer);

    Link* link;
    uint8_t moduleAddress;
    bool autoNetworking;
    uint8_t model;
};

} // namespace Tessaline
} // namespace Zentrova
