// The link-sharing server: shares one direct device link (USB, TCP/IP or
// serial) with client links of this and other processes over ZeroMQ. A broker
// thread routes each client's requests to the device one at a time and the
// device's replies back to the client that asked, and sends the device's
// stream packets in batches to every client that subscribed to streams.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/aDiscovery.h"
#include "common/aError.h"
#include "common/aLinkTable.h"

typedef struct _zactor_t zactor_t;
typedef struct _zsock_t zsock_t;
// The clients' UEI byte arrays in collection (broker only).
struct aServerPools;

// Bit of the flags byte: serve and announce on the loop-back interface only.
#define aSERVER_FLAG_LOCAL_ONLY 0x01

#define aSERVER_BATCH_SIZE 4096

// One server, held by the link-table entry of the shared device link.
struct aServer {
    aLinkEntry* entry;
    std::atomic<uint8_t> model;         // 0 until set: discovery stays unanswered
    std::atomic<uint8_t> moduleAddress;
    linkType serverType;                // AVORNE_USB, AVORNE_TCPIP or AVORNE_SERIAL
    uint8_t flags;
    uint32_t interface;                 // IPv4, network byte order
    uint64_t publishStartMs;
    bool publishing;
    zactor_t* broker;
    zactor_t* syncWorker;
    zactor_t* discovery;
    bool discoveryIsBeacon;
    uint16_t frontendPort;
    zsock_t* frontend;
    zsock_t* syncBackend;               // in-process pair with syncBroker
    zsock_t* syncBroker;
    zsock_t* streamingSource;           // in-process pair with streamingBroker
    zsock_t* streamingBroker;
    uint8_t batch[aSERVER_BATCH_SIZE];
    uint16_t batchLength;
    uint32_t advertisedAddress;         // IPv4, network byte order
    aServerPools* pools;
    uint16_t expectedReplies;
    bool filterInstalled;               // the device link's user filter is this server's
    // Set by the broker once the device went away and the clients' port was
    // closed; cleared when it serves again (aServer_Resume).
    std::atomic<bool> stoppedServing;
    std::atomic<size_t> subscribers;    // clients taking stream batches; one that left goes at the next batch
    // The frontend's in-process endpoint for clients of this process, while
    // it is published; empty otherwise.
    char localEndpoint[48];
};

// A new server for the device link (types USB, TCPIP and SERIAL), serving on
// the interface (IPv4, network byte order; 0 means 127.0.0.1). NULL for an
// unknown id, another link type or no memory. Nothing is started.
aServer* aServer_Create(aLinkId deviceLink, uint32_t networkInterface, uint8_t flags);
// Opens the sockets (the client port is one the system chooses), starts the
// broker, the synchronous-command worker and the discovery answerer, and
// takes over the device link's stream packets. aErrParam for NULL,
// aErrResource when anything cannot be set up (what was made stays until
// aServer_Destroy). A server is started once: aErrBusy for a second start.
aErr aServer_Start(aServer* server);
// Stops everything, frees the record and clears the handle; aErrParam for NULL.
aErr aServer_Destroy(aServer** server);
// The port clients connect to.
aErr aServer_GetPort(const aServer* server, uint16_t* port);
// The interface served on (the announcing may have replaced the one given).
aErr aServer_GetInterface(const aServer* server, uint32_t* networkInterface);
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
// From a non-zero model on, the server answers discovery.
aErr aServer_SetModel(aServer* server, uint8_t model);
// Puts the server's stream filter back on its device link, after a reset of
// the link cleared it; aErrParam for NULL.
aErr aServer_ReinstallFilter(aServer* server);
// Forgets every client waiting for a reply (after a failed query).
aErr aServer_FlushFIFO(aServer* server);
// Once the device link, whose device had gone away, has been made anew (a
// reset): the server serves again on the same port and answers discovery
// again. Nothing when it never stopped; aErrParam for NULL.
aErr aServer_Resume(aServer* server);

// For the announcing: the server's network spec, as discovery answers it.
linkSpec _createNetworkSpec(const aServer* server);
