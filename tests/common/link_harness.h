// Links to the simulated device for tests and benchmarks: the device over a
// socket pair or over TCP on 127.0.0.1, and a link over a stream to it made
// straight on the link table and the link engine.
#pragma once

#include <arpa/inet.h>
#include <unistd.h>

#include <memory>
#include <ostream>
#include <stdexcept>

#include "common/aLink.h"
#include "common/aLinkTable.h"
#include "platform/aStreamsocket.h"
#include "tests/sim/device_model.h"
#include "tests/sim/socketpair_carrier.h"
#include "tests/sim/tcp_carrier.h"

namespace linktest {

enum class Carrier { Socketpair, Tcp };

inline const char* carrierName(Carrier carrier)
{
    return carrier == Carrier::Tcp ? "tcp" : "socketpair";
}
inline void PrintTo(Carrier carrier, std::ostream* out)
{
    *out << carrierName(carrier);
}

// The simulated device behind one of the two carriers.
class SimDevice {
public:
    explicit SimDevice(Carrier carrier, sim::DeviceConfig config = {}) : device(config), carrier_(carrier)
    {
        if (carrier == Carrier::Tcp)
            tcp_ = std::make_unique<sim::TcpCarrier>(device);
        else
            pair_ = std::make_unique<sim::SocketpairCarrier>(device);
    }
    ~SimDevice()
    {
        if (hostFd_ >= 0)
            close(hostFd_);
    }
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    Carrier carrier() const { return carrier_; }
    uint16_t port() const { return tcp_ ? tcp_->port() : 0; }
    sim::TcpCarrier* tcp() { return tcp_.get(); }

    // A new stream to the device (one only over the socket pair); throws when
    // none can be made.
    aStream* openStream()
    {
        aStream* stream = nullptr;
        aErr err = aErrResource;
        if (tcp_) {
            err = aStream_CreateSocket(htonl(INADDR_LOOPBACK), tcp_->port(), &stream);
        } else if (hostFd_ < 0) {
            hostFd_ = pair_->takeHostFd();
            err = aStream_AdoptSocket(hostFd_, &stream);
        }
        if (err != aErrNone)
            throw std::runtime_error("no stream to the simulated device");
        return stream;
    }

    void resetConnection()
    {
        if (tcp_)
            tcp_->resetConnection();
        else
            pair_->resetConnection();
    }
    // The device stops (or resumes) reading what the host sends.
    void setStallReading(bool stall)
    {
        if (tcp_)
            tcp_->setStallReading(stall);
        else
            pair_->setStallReading(stall);
    }

    sim::DeviceModel device;

private:
    Carrier carrier_;
    std::unique_ptr<sim::SocketpairCarrier> pair_;
    std::unique_ptr<sim::TcpCarrier> tcp_;
    int hostFd_ = -1;
};

// One link over a stream, held once in the link table; torn down as the
// last destroy of a link does: out of the table first, then stopped and released.
class TestLink {
public:
    explicit TestLink(aStream* stream) : id_(sCreate2(0xFFFFFFFF, 0, 0, INVALID))
    {
        if (!id_ || aLink_Init(id_, stream) != id_)
            throw std::runtime_error("no link record");
        sChangeUseCount(sLookupEntryByID(id_), 1);
    }
    ~TestLink() { destroy(); }
    TestLink(const TestLink&) = delete;
    TestLink& operator=(const TestLink&) = delete;

    aLinkId id() const { return id_; }
    aLink* record() const { return sGetLink(id_); }

    // Takes the entry out of the table, stops the link and frees it.
    aErr destroy()
    {
        aLinkEntry* entry = nullptr;
        if (!id_ || sReleaseUse(id_, &entry) != aErrNone || !entry)
            return aErrParam;
        id_ = 0;
        aErr stopped = aLink_Stop(entry->link);
        aErr released = aLink_Release(entry->link);
        sFreeEntry(&entry);
        return stopped != aErrNone ? stopped : released;
    }

private:
    aLinkId id_;
};

} // namespace linktest
