// test-labels: integration netns threaded
// Entities of a module over TCP to the simulated device in the test's own
// network namespace: the UEI get, set and call forms and their replies, the
// stream-cache short cut, byte arrays in chunks, the store commands, the
// system entity's options and the I2C bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <numeric>
#include <vector>

#include "device_api/Entity.h"
#include "device_api/I2CClass.h"
#include "device_api/Module.h"
#include "device_api/SystemClass.h"
#include "tests/device_api/tcp_device.h"
#include "tests/sim/i2c_bus.h"
#include "tests/sim/stream_control.h"
#include "tests/sim/system_entity.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::unshared;
using sim::Packet;
using sim::UeiAnswer;
using sim::UeiType;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

constexpr uint8_t kModule = 0x02;
constexpr uint8_t kRaw = 40; // an entity class answered by hand

class Entities : public apitest::TcpDevice {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, module.setConfig(unshared()));
        ASSERT_EQ(aErrNone, module.connectFromSpec(spec()));
        entity.init(&module, cmdSYSTEM, 0);
        system.init(&module, 0);
        i2c.init(&module, 0);
    }

    // Packets the device received for the module, but for the link's own.
    std::vector<Packet> requests()
    {
        std::vector<Packet> out;
        for (const Packet& p : device.records().packets)
            if (p.address == kModule) out.push_back(p);
        return out;
    }

    bool sent(const std::vector<uint8_t>& data) { return received(Packet{kModule, data}); }

    // Answers every request of the raw entity class with the reply given.
    void answerRaw(std::vector<uint8_t> reply)
    {
        device.setCommandHandler(kRaw, [reply](sim::DeviceModel& d, const Packet&) { d.answer(Packet{kModule, reply}); });
    }

    sim::StreamControl control{entities};
    sim::I2cBus bus{entities};
    Module module{kModule, uint8_t{0}};
    EntityClass entity;
    SystemClass system;
    I2CClass i2c;
};

TEST_F(Entities, GetRepliesAreMatchedOnTheLowFiveBitsOfTheIndex)
{
    EntityClass raw;
    raw.init(&module, kRaw, 0);
    for (uint8_t specifier : {0x00, 0x20}) {
        SCOPED_TRACE(int(specifier));
        answerRaw({kRaw, 7, specifier, 0xB0, 0xB1, 0xB2, 0xB3});
        uint32_t value = 0;
        EXPECT_EQ(aErrNone, raw.getUEI32(7, &value));
        EXPECT_EQ(0xB0B1B2B3u, value);
    }
    EXPECT_TRUE(sent({kRaw, 0x47, 0x20}));
    // With bit 0x40 a packet long enough to be a stream packet is one, and
    // no reply; a shorter one is still a reply.
    device.setCommandHandler(kRaw, [](sim::DeviceModel& d, const Packet&) {
        d.answer(Packet{kModule, {kRaw, 7, 0x40, 0xB0, 0xB1, 0xB2, 0xB3}});
        d.answer(Packet{kModule, {kRaw, 7, 0x00, 0xC0, 0xC1, 0xC2, 0xC3}});
    });
    uint32_t word = 0;
    EXPECT_EQ(aErrNone, raw.getUEI32(7, &word));
    EXPECT_EQ(0xC0C1C2C3u, word);
    answerRaw({kRaw, 7, 0x40, 0x5A});
    uint8_t byte = 0;
    EXPECT_EQ(aErrNone, raw.getUEI8(7, &byte));
    EXPECT_EQ(0x5A, byte);
    answerRaw({kRaw, 7, 0x80, 21});
    uint32_t value = 0;
    EXPECT_EQ(aErrUnimplemented, raw.getUEI32(7, &value));
    // An error reply whose code reads 0 is no success.
    answerRaw({kRaw, 7, 0x80, 0});
    EXPECT_EQ(aErrUnknown, raw.getUEI32(7, &value));
    answerRaw({kRaw, 0xC7, 0x80, 0});
    EXPECT_EQ(aErrUnknown, raw.setUEI32(7, 1));
}

TEST_F(Entities, RequestFormsOnTheWire)
{
    entities.setValue(cmdSYSTEM, 0, 5, UeiType::Short, {0, 0});
    entities.setOption(cmdSYSTEM, 0, 20, UeiType::Byte, nullptr, [](const sim::UeiRequest&) { return UeiAnswer::none(); });
    entities.setOption(cmdSYSTEM, 0, 6, UeiType::Byte,
                       [](const sim::UeiRequest& r) { return UeiAnswer::byte(static_cast<uint8_t>(r.value.at(0) + 1)); },
                       nullptr);
    struct Case {
        std::function<aErr()> call;
        std::vector<uint8_t> request;
    } cases[] = {
        {[&] { return entity.setUEI8(20, 1); }, {3, 0x94, 0x20, 0x01}},
        {[&] { return entity.setUEI16(5, 2, 0x1234); }, {3, 0x85, 0x20, 2, 0x12, 0x34}},
        {[&] { return entity.setUEI32(5, 0x01020304); }, {3, 0x85, 0x20, 1, 2, 3, 4}},
        {[&] { return entity.callUEI(5); }, {3, 0x85, 0x20}},
        {[&] { uint8_t v = 0; aErr r = entity.getUEI8(6, 9, &v); return r == aErrNone && v == 10 ? r : aErrUnknown; },
         {3, 0x46, 0x20, 9}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aErrNone, c.call());
        EXPECT_TRUE(sent(c.request));
    }
    // The device's refusals are the results.
    EXPECT_EQ(12, entity.callUEI(6));            // no set access
    EXPECT_EQ(29, entity.setUEI8(44, 1));         // no such option
}

TEST_F(Entities, UnboundOrMissingArguments)
{
    EntityClass unbound;
    uint8_t byte = 0;
    uint32_t word = 0;
    size_t count = 0;
    uint8_t buffer[4];
    EXPECT_EQ(aErrResource, unbound.getUEI8(1, &byte));
    EXPECT_EQ(aErrResource, unbound.callUEI(1));
    EXPECT_EQ(aErrResource, unbound.getUEIBytes(1, buffer, 4, &count));
    EXPECT_EQ(aErrResource, unbound.saveEntityToStore());
    EXPECT_EQ(aErrResource, unbound.sendPacket(1, 0, nullptr));
    EXPECT_EQ(aErrParam, entity.getUEI8(1, nullptr));
    EXPECT_EQ(aErrParam, entity.getUEI32(1, 2, nullptr));
    EXPECT_EQ(aErrParam, entity.awaitUEI32Val(1, nullptr, 0));
    EXPECT_EQ(aErrParam, entity.getUEIBytes(1, buffer, 0, &count));
    EXPECT_EQ(aErrParam, entity.getUEIBytes(1, nullptr, 4, &count));

    struct Check {
        size_t count, size;
        aErr result;
        size_t after;
    } checks[] = {{12, 4, aErrNone, 3}, {10, 4, aErrMemory, 10}, {0, 0, aErrNone, 0}, {3, 0, aErrMemory, 3},
                  {7, 1, aErrNone, 7}};
    for (const Check& c : checks) {
        count = c.count;
        EXPECT_EQ(c.result, entity.getUEIBytesCheck(&count, c.size)) << c.count << '/' << c.size;
        EXPECT_EQ(c.after, count);
    }
    EXPECT_EQ(aErrParam, entity.getUEIBytesCheck(nullptr, 1));

    // A module that is not connected.
    Module offline(kModule, uint8_t{0});
    EntityClass away;
    away.init(&offline, cmdSYSTEM, 0);
    EXPECT_EQ(aErrConnection, away.getUEI32(7, &word));
}

TEST_F(Entities, StreamedValueIsTakenFromTheCache)
{
    entities.setValue(cmdSYSTEM, 0, 12, UeiType::Short, {0, 1});
    ASSERT_EQ(aErrNone, entity.setStreamEnabled(true));
    EXPECT_TRUE(sent({93, 0x81, 0x20, kModule, cmdSYSTEM, 0xFF, 0}));
    uint16_t value = 0;
    // No sample yet: the device is asked.
    EXPECT_EQ(aErrNone, entity.getUEI16(12, &value));
    EXPECT_EQ(1, value);
    const size_t asked = entities.requests().size();

    device.send(Packet{kModule, sim::streamSample(cmdSYSTEM, 12, 0, sim::SampleKind::U16, 0x0A0B)});
    Link::StreamStatusEntry entries[2];
    size_t count = 0;
    for (int i = 0; i < 400 && count == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(aErrNone, entity.getStreamStatus(entries, 2, &count));
    }
    ASSERT_EQ(1u, count);
    EXPECT_EQ(Link::createStreamKey(kModule, cmdSYSTEM, 12, 0, 0), entries[0].key);
    EXPECT_EQ(aErrNone, entity.getUEI16(12, &value));
    EXPECT_EQ(0x0A0B, value);
    value = 0;
    EXPECT_EQ(aErrStreamStale, entity.getUEI16(12, &value));
    EXPECT_EQ(0x0A0B, value);
    EXPECT_EQ(asked, entities.requests().size());

    ASSERT_EQ(aErrNone, entity.setStreamEnabled(false));
    EXPECT_EQ(aErrNone, entity.getUEI16(12, &value));
    EXPECT_EQ(1, value);
}

TEST_F(Entities, ByteArraysInChunks)
{
    std::vector<uint8_t> thirty(30), large(3100);
    std::iota(thirty.begin(), thirty.end(), 1);
    for (size_t i = 0; i < large.size(); i++) large[i] = static_cast<uint8_t>(i * 7);
    entities.setValue(cmdSYSTEM, 0, 32, UeiType::Bytes, thirty);
    entities.setValue(cmdSYSTEM, 0, 33, UeiType::Bytes, large);

    std::vector<uint8_t> buffer(4000);
    size_t received = 0;
    ASSERT_EQ(aErrNone, entity.getUEIBytes(32, buffer.data(), buffer.size(), &received));
    EXPECT_EQ(thirty, std::vector<uint8_t>(buffer.begin(), buffer.begin() + received));
    // 130 chunks: the sequence number wraps after 127.
    ASSERT_EQ(aErrNone, entity.getUEIBytes(33, buffer.data(), buffer.size(), &received));
    EXPECT_EQ(large, std::vector<uint8_t>(buffer.begin(), buffer.begin() + received));
    // Too small a buffer for the first chunk.
    EXPECT_EQ(aErrMemory, entity.getUEIBytes(33, buffer.data(), 10, &received));
    EXPECT_EQ(0u, received);
    entity.drainUEI(33);

    // Set and read back.
    ASSERT_EQ(aErrNone, entity.setUEIBytes(32, large.data(), 50));
    EXPECT_EQ(std::vector<uint8_t>(large.begin(), large.begin() + 50), entities.value(cmdSYSTEM, 0, 32));
    // An error reply ends the read with the device's code.
    EXPECT_EQ(29, entity.getUEIBytes(34, buffer.data(), buffer.size(), &received));
}

// Chunks must come in order: one with sequence 2 first stays queued.
TEST_F(Entities, ByteArrayChunkOutOfOrderTimesOut)
{
    device.setCommandHandler(kRaw, [](sim::DeviceModel& d, const Packet&) {
        d.answer(Packet{kModule, {kRaw, 9, 0, 1, 2, 0x82}});
    });
    EntityClass raw;
    raw.init(&module, kRaw, 0);
    uint8_t buffer[64];
    size_t received = 5;
    EXPECT_EQ(aErrTimeout, raw.getUEIBytes(9, buffer, sizeof buffer, &received));
    EXPECT_EQ(0u, received);
}

// A reply answers only the request it belongs to: neither a stream sample of
// the option nor a reply to an earlier request of the same kind, come after
// its wait had ended, is taken as the answer.
TEST_F(Entities, OnlyTheRequestsOwnReplyAnswersIt)
{
    std::vector<uint8_t> thirty(30);
    std::iota(thirty.begin(), thirty.end(), 1);
    const std::vector<uint8_t> word{0x11, 0x22, 0x33, 0x44};
    // Each case has options of its own: what one leaves queued is no other's.
    for (uint8_t option : {12, 13}) entities.setValue(cmdSYSTEM, 0, option, UeiType::Int, word);
    for (uint8_t option : {32, 35}) entities.setValue(cmdSYSTEM, 0, option, UeiType::Bytes, thirty);
    entities.setValue(cmdSYSTEM, 0, 20, UeiType::Byte, {0});
    // Option 9 answers its first get only after the get has given up.
    std::atomic<bool> late{true};
    entities.setOption(cmdSYSTEM, 0, 9, UeiType::Int,
                       [&](const sim::UeiRequest&) {
                           return late.exchange(false) ? UeiAnswer::noReply() : UeiAnswer::intValue(2);
                       },
                       nullptr);

    // Once the echo is back, everything the device sent before it is queued.
    auto echo = [&] {
        const uint8_t tag = 0x5C;
        ASSERT_EQ(aErrNone, module.debug(&tag, 1));
    };
    auto queued = [&](std::vector<uint8_t> data) {
        return [&, data] {
            device.send(Packet{kModule, data});
            echo();
        };
    };
    auto sampled = [&](uint8_t option) {
        return [&, option] {
            device.send(Packet{kModule, sim::streamSample(cmdSYSTEM, option, 0, sim::SampleKind::U8, 0xEE,
                                                          0x0102030405060708ull)});
        };
    };
    auto get32 = [&](uint8_t option) {
        return [&, option](std::vector<uint8_t>* out) {
            uint32_t value = 0;
            aErr result = entity.getUEI32(option, &value);
            *out = sim::ueiBytes(UeiType::Int, value);
            return result;
        };
    };
    auto getBytes = [&](uint8_t option) {
        return [&, option](std::vector<uint8_t>* out) {
            std::vector<uint8_t> buffer(64);
            size_t received = 0;
            aErr result = entity.getUEIBytes(option, buffer.data(), buffer.size(), &received);
            buffer.resize(received);
            *out = buffer;
            return result;
        };
    };
    struct Case {
        const char* what;
        std::function<void()> before; // what reaches the link before the request
        std::function<aErr(std::vector<uint8_t>*)> request;
        std::vector<uint8_t> answer;
    } cases[] = {
        {"sample of the option before a get", sampled(12), get32(12), word},
        {"sample of the option before a byte-array read", sampled(32), getBytes(32), thirty},
        {"reply to a get that had timed out",
         [&] {
             uint32_t value = 0;
             EXPECT_EQ(aErrTimeout, entity.getUEI32(9, &value));
             queued({cmdSYSTEM, 9, 0x00, 0, 0, 0, 1})();
         },
         get32(9), {0, 0, 0, 2}},
        {"earlier error reply of the same get", queued({cmdSYSTEM, 13, 0x80, 29}), get32(13), word},
        {"earlier error reply of the same set", queued({cmdSYSTEM, 0xD4, 0x80, 29}),
         [&](std::vector<uint8_t>* out) {
             out->clear();
             return entity.setUEI8(20, 1);
         },
         {}},
        {"earlier chunk of the same byte-array read", queued({cmdSYSTEM, 35, 0x00, 9, 9, 9, 0x00}), getBytes(35),
         thirty},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.before();
        std::vector<uint8_t> got;
        EXPECT_EQ(aErrNone, c.request(&got));
        EXPECT_EQ(c.answer, got);
    }
}

TEST_F(Entities, AwaitAndDrainReplies)
{
    device.send(Packet{kModule, {3, 7, 0, 1, 2, 3, 4}});
    uint32_t value = 0;
    ASSERT_EQ(aErrNone, entity.awaitUEI32Val(7, &value, 0));
    EXPECT_EQ(0x01020304u, value);
    device.send(Packet{kModule, {3, 7, 0, 9, 9, 9, 9}});
    device.send(Packet{kModule, {3, 7, 0, 8, 8, 8, 8}});
    device.send(Packet{kModule, {3, 8, 0, 5, 5, 5, 5}});
    // Let the three arrive behind a reply that is awaited.
    device.send(Packet{kModule, {3, 9, 0, 0, 0, 0, 1}});
    ASSERT_EQ(aErrNone, entity.awaitUEI32Val(9, &value, 0));
    EXPECT_EQ(aErrNone, entity.drainUEI(7));
    device.send(Packet{kModule, {3, 7, 0, 0, 0, 0, 7}});
    ASSERT_EQ(aErrNone, entity.awaitUEI32Val(7, &value, 0));
    EXPECT_EQ(7u, value);
    ASSERT_EQ(aErrNone, entity.awaitUEI32Val(8, &value, 0));
    EXPECT_EQ(0x05050505u, value);
    device.send(Packet{kModule, {3, 7, 0x80, 21}});
    EXPECT_EQ(aErrUnimplemented, entity.awaitUEI32Val(7, &value, 0));
}

TEST_F(Entities, StoreCommandsNameTheEntity)
{
    entities.setValue(92, 0, 0, UeiType::Int, {});
    entities.setValue(92, 0, 1, UeiType::Int, {});
    entities.setValue(92, 0, 2, UeiType::Int, {});
    EntityClass bus1;
    bus1.init(&module, cmdI2C, 1);
    EXPECT_EQ(aErrNone, bus1.saveEntityToStore());
    EXPECT_TRUE(sent({92, 0x80, 0x20, 0, 0, 8, 1}));
    EXPECT_EQ(aErrNone, entity.resetEntityToFactoryDefaults());
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 3, 0}), entities.value(92, 0, 1));
    EXPECT_EQ(aErrNone, entity.loadEntityFromStore());
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 3, 0}), entities.value(92, 0, 2));
}

TEST_F(Entities, SystemOptions)
{
    sim::SystemValues values = sim::systemValues(device.config());
    values.model = 0x11;
    values.router = 0x10;
    values.version = 0x01020304;
    values.build = 0x00ABCDEF;
    values.protocolFeatures = 0x80000001;
    sim::installSystemEntity(entities, values);
    entities.setValue(cmdSYSTEM, 0, 27, UeiType::Int, {0xFF, 0xFF, 0xFF, 0xF6});
    entities.setValue(cmdSYSTEM, 0, 34, UeiType::Int, {0, 0, 0, 0});
    entities.setValue(cmdSYSTEM, 0, 31, UeiType::Bytes, {});

    struct Word {
        aErr (SystemClass::*get)(uint32_t*);
        uint8_t option;
        uint32_t value;
    } words32[] = {
        {&SystemClass::getSerialNumber, 9, apitest::kSerial},
        {&SystemClass::getVersion, 7, 0x01020304},
        {&SystemClass::getBuild, 43, 0x00ABCDEF},
        {&SystemClass::getProtocolFeatures, 45, 0x80000001},
    };
    for (const Word& w : words32) {
        uint32_t value = 0;
        ASSERT_EQ(aErrNone, (system.*w.get)(&value)) << int(w.option);
        EXPECT_EQ(w.value, value);
        EXPECT_TRUE(sent({3, static_cast<uint8_t>(0x40 | w.option), 0x20}));
    }
    struct Byte {
        aErr (SystemClass::*get)(uint8_t*);
        uint8_t value;
    } bytes8[] = {{&SystemClass::getModule, kModule}, {&SystemClass::getRouter, 0x10}, {&SystemClass::getModel, 0x11}};
    for (const Byte& b : bytes8) {
        uint8_t value = 0;
        ASSERT_EQ(aErrNone, (system.*b.get)(&value));
        EXPECT_EQ(b.value, value);
    }
    int32_t temperature = 0;
    ASSERT_EQ(aErrNone, system.getTemperature(&temperature));
    EXPECT_EQ(-10, temperature);
    EXPECT_EQ(aErrNone, system.routeToMe(1));
    EXPECT_TRUE(sent({3, 0x94, 0x20, 1}));
    EXPECT_EQ(aErrNone, system.setRouter(0x20));
    EXPECT_EQ((std::vector<uint8_t>{0x20}), entities.value(cmdSYSTEM, 0, 2));
    EXPECT_EQ(aErrNone, system.setPowerLimitMax(0x01020304));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), entities.value(cmdSYSTEM, 0, 34));
    EXPECT_EQ(aErrNone, system.save());
    EXPECT_TRUE(sent({3, 0x8A, 0x20}));
    EXPECT_EQ(aErrNone, system.reset());
    EXPECT_TRUE(sent({3, 0x8B, 0x20}));
    uint32_t uptime = 0;
    EXPECT_EQ(29, system.getUptime(&uptime)); // an option this device lacks
    EXPECT_EQ(aErrParam, system.getTemperature(nullptr));

    // Name and power behaviour configuration as byte arrays.
    const uint8_t name[] = "Tessaline hub";
    ASSERT_EQ(aErrNone, system.setName(name, sizeof name - 1));
    uint8_t buffer[64] = {};
    size_t received = 0;
    ASSERT_EQ(aErrNone, system.getName(buffer, sizeof buffer, &received));
    EXPECT_EQ(std::string("Tessaline hub"), std::string(reinterpret_cast<char*>(buffer), received));

    const uint32_t words[2] = {0x01020304, 0xA0B0C0D0};
    ASSERT_EQ(aErrNone, system.setInputPowerBehaviorConfig(words, 2));
    uint32_t back[4] = {};
    ASSERT_EQ(aErrNone, system.getInputPowerBehaviorConfig(back, 4, &received));
    EXPECT_EQ(2u, received);
    EXPECT_EQ(words[0], back[0]);
    EXPECT_EQ(words[1], back[1]);
    entities.setValue(cmdSYSTEM, 0, 31, UeiType::Bytes, std::vector<uint8_t>(10, 1));
    EXPECT_EQ(aErrMemory, system.getInputPowerBehaviorConfig(back, 4, &received));
    EXPECT_EQ(2u, received); // whole words, as on success
}

// A device that restarts at once never acknowledges the reset.
TEST_F(Entities, ResetWithoutReplyTimesOut)
{
    entities.setOption(cmdSYSTEM, 0, 11, UeiType::None, nullptr,
                       [](const sim::UeiRequest&) { return UeiAnswer::noReply(); });
    EXPECT_EQ(aErrTimeout, system.reset());
    EXPECT_TRUE(sent({3, 0x8B, 0x20}));
}

TEST_F(Entities, I2CTransfers)
{
    bus.addDevice(0, 0xA0, {9, 9});
    uint8_t speed = 9;
    EXPECT_EQ(aErrNone, i2c.getSpeed(&speed));
    EXPECT_EQ(0, speed);
    ASSERT_EQ(aErrNone, i2c.setSpeed(3));
    EXPECT_EQ(aErrParam, i2c.setSpeed(4));
    ASSERT_EQ(aErrNone, i2c.getSpeed(&speed));
    EXPECT_EQ(3, speed);

    const uint8_t data[] = {1, 2};
    ASSERT_EQ(aErrNone, i2c.write(0xA0, 2, data));
    EXPECT_TRUE(sent({8, 0, 0xA0, 2, 3, 1, 2}));
    EXPECT_EQ((std::vector<uint8_t>{1, 2}), bus.bytes(0, 0xA0));
    uint8_t buffer[24] = {};
    ASSERT_EQ(aErrNone, i2c.read(0xA0, 4, buffer)); // the device has only two
    EXPECT_TRUE(sent({8, 0, 0xA1, 4, 3}));
    EXPECT_EQ(1, buffer[0]);
    EXPECT_EQ(2, buffer[1]);
    EXPECT_EQ(0, buffer[2]);

    ASSERT_EQ(aErrNone, i2c.setPullup(true));
    EXPECT_TRUE(sent({8, 0, 1, 1}));
    EXPECT_EQ(1, bus.pullup(0));

    const size_t before = requests().size();
    EXPECT_EQ(aErrSize, i2c.read(0xA0, 24, buffer));
    EXPECT_EQ(aErrSize, i2c.write(0xA0, 24, buffer));
    EXPECT_EQ(before, requests().size());

    EXPECT_EQ(28, i2c.read(0xB0, 1, buffer)); // no device there
    bus.setStatus(0x9E);
    EXPECT_EQ(aErrResource, i2c.read(0xA0, 1, buffer));
    EXPECT_EQ(aErrResource, i2c.write(0xA0, 2, data));
    bus.setStatus(0x80); // an error status whose code reads 0
    EXPECT_EQ(aErrUnknown, i2c.setPullup(false));
    EXPECT_EQ(aErrUnknown, i2c.read(0xA0, 1, buffer));
}

TEST_F(Entities, I2CShortReplyIsAPacketError)
{
    device.setCommandHandler(cmdI2C, [](sim::DeviceModel& d, const Packet& p) {
        d.answer(Packet{kModule, {8, 0, p.data.at(2), 0}});
    });
    const uint8_t data[] = {1};
    EXPECT_EQ(aErrPacket, i2c.write(0xA0, 1, data));
}

} // namespace
