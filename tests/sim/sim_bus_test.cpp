// The simulated bus and the in-process transport: finding, holding and losing devices.
#include "sim/sim_bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/protocol.h"
#include "images/image_file.h"
#include "sim/sim_transport.h"
#include "support/recording_status.h"
#include "support/sim_port.h"
#include "support/temp_file.h"
#include "transport/device_path.h"

namespace varnel {
namespace {

using Clock = std::chrono::steady_clock;

class EventLog final : public DeviceEventListener {
  public:
    void OnDeviceArrival(const std::string& path) override { Add("+" + path); }
    void OnDeviceRemoval(const std::string& path) override { Add("-" + path); }
    std::vector<std::string> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    void Add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::mutex mutex_;
    std::vector<std::string> events_;
};

std::shared_ptr<VirtualHandset> Handset(const std::string& instance, HandsetFaults faults = {}) {
    HandsetConfig config;
    config.instance = instance;
    config.faults = faults;
    return std::make_shared<VirtualHandset>(config);
}

bool Handshake(CUsbInterface& transport) {
    char reply[4] = {};
    return transport.Write(kHandshakeRequest, 4) == 4 && transport.ReadWait(reply, 4) == 4 &&
           std::memcmp(reply, kHandshakeAck, 4) == 0;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(SimBus, PathsUseTheSimulatorIdsAndTheInstance) {
    EXPECT_EQ(SimDevicePath("A1"), UsbDevicePath(kSimVendorId, kSimProductId, "A1"));
    EXPECT_EQ(DeviceNameFromPath(SimDevicePath("A1")), "A1");
}

TEST(SimTransport, OpenWithoutDeviceFailsAndStaysClosed) {
    FakeClock clock;
    SimBus bus(clock);
    SimTransport transport(bus);
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 0);
    EXPECT_FALSE(transport.IsOpen());
    uint8_t byte = 0;
    EXPECT_EQ(transport.Write(&byte, 1), 0u);
    EXPECT_EQ(transport.Read(&byte, 1, false), 0u);
    transport.Close();
    transport.Close();
}

TEST(SimTransport, OpenWithoutPathTakesTheFirstFreeDeviceInPlugOrder) {
    FakeClock clock;
    SimBus bus(clock);
    const std::string first = bus.Plug(Handset("C"));
    const std::string second = bus.Plug(Handset("A"));
    const std::string third = bus.Plug(Handset("B"));
    EXPECT_EQ(bus.PresentPaths(), (std::vector<std::string>{first, second, third}));
    EXPECT_TRUE(bus.Plug(Handset("A")).empty());

    SimTransport ports[4] = {SimTransport(bus), SimTransport(bus), SimTransport(bus),
                             SimTransport(bus)};
    ASSERT_EQ(ports[1].Open(GUID_BOOTLOADER_INTERFACE, second.c_str()), 1);
    EXPECT_EQ(ports[1].DevicePath(), second);
    EXPECT_EQ(ports[1].Identity(), (DeviceIdentity{"A", "sim-1.2"}));
    ASSERT_EQ(ports[0].Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(ports[0].DevicePath(), first);
    ASSERT_EQ(ports[2].Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(ports[2].DevicePath(), third);
    EXPECT_EQ(ports[3].Open(GUID_BOOTLOADER_INTERFACE), 0);

    // A device held by one transport does not open on another, by path either; once closed, it
    // does.
    EXPECT_EQ(ports[3].Open(GUID_BOOTLOADER_INTERFACE, first.c_str()), 0);
    ports[0].Close();
    EXPECT_EQ(ports[3].Open(GUID_BOOTLOADER_INTERFACE, first.c_str()), 1);
    EXPECT_TRUE(Handshake(ports[3]));
    for (SimTransport& port : ports) {
        port.Close();
    }
}

TEST(SimTransport, PathMustMatchExactly) {
    FakeClock clock;
    SimBus bus(clock);
    const std::string path = bus.Plug(Handset("Serial9"));
    SimTransport transport(bus);
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE, SimDevicePath("serial9").c_str()), 0);
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE, (path + "x").c_str()), 0);
    Guid other = GUID_BOOTLOADER_INTERFACE;
    other.data1 ^= 1;
    EXPECT_EQ(transport.Open(other, path.c_str()), 0);
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()), 1);
    transport.Close();
}

TEST(SimTransport, DroppedTransportFreesItsDevice) {
    FakeClock clock;
    SimBus bus(clock);
    bus.Plug(Handset("D"));
    {
        SimTransport transport(bus);
        ASSERT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    }
    SimTransport next(bus);
    EXPECT_EQ(next.Open(GUID_BOOTLOADER_INTERFACE), 1);
}

TEST(SimTransport, ShortReplyComesBackShortAndPollingReadGivesUp) {
    HandsetFaults faults;
    faults.shortReplyAt = 0;
    HandsetConfig config;
    config.faults = faults;
    SimPort port(config);
    ASSERT_TRUE(port.Open());
    uint8_t packet[kPacketSize] = {};
    BuildPacketHeader(packet, kCmdQueryVersion, 0, 0, 0);
    ASSERT_EQ(port.transport.Write(packet, kPacketSize), kPacketSize);
    uint8_t reply[4] = {};
    EXPECT_EQ(port.transport.ReadWait(reply, 4), 2u);
    EXPECT_EQ(port.transport.Read(reply, 4, false), 0u);
}

TEST(SimTransport, UnplugFailsEveryCallAtOnceAndIsReported) {
    FakeClock clock;
    SimBus bus(clock);
    EventLog events;
    bus.AddListener(&events);
    const std::string path = bus.Plug(Handset("U"));
    SimTransport transport(bus);
    transport.SetIoTimeout(20'000);
    ASSERT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_TRUE(bus.Unplug(path));
    EXPECT_FALSE(bus.Unplug(path));

    const auto start = Clock::now();
    uint8_t reply[4] = {};
    EXPECT_EQ(transport.Write(kHandshakeRequest, 4), 0u);
    EXPECT_EQ(transport.ReadWait(reply, 4), 0u);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_TRUE(transport.IsOpen());  // until its owner closes it, as a real handle would
    transport.Close();
    EXPECT_EQ(events.Events(), (std::vector<std::string>{"+" + path, "-" + path}));
    EXPECT_TRUE(bus.PresentPaths().empty());
    bus.RemoveListener(&events);
}

TEST(SimTransport, DisconnectFaultTakesTheDeviceOffTheBus) {
    FakeClock clock;
    SimBus bus(clock);
    HandsetFaults faults;
    faults.disconnectAfterBytes = 4;
    const auto handset = Handset("X", faults);
    const std::string path = bus.Plug(handset);
    SimTransport transport(bus);
    ASSERT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_TRUE(Handshake(transport));
    uint8_t packet[kPacketSize] = {};
    EXPECT_EQ(transport.Write(packet, kPacketSize), 0u);
    EXPECT_FALSE(bus.IsPresent(path));
    EXPECT_TRUE(handset->Commands().empty());
    uint8_t reply[4] = {};
    EXPECT_EQ(transport.ReadWait(reply, 4), 0u);
    transport.Close();
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 0);
}

TEST(SimTransport, ReattachComesBackUnderTheSamePathOnTheBusClock) {
    FakeClock clock;
    SimBus bus(clock);
    EventLog events;
    bus.AddListener(&events);
    HandsetFaults faults;
    faults.reattachDelayMs = 4500;
    const std::string path = bus.Plug(Handset("R", faults));
    SimTransport transport(bus);
    ASSERT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    ASSERT_TRUE(Handshake(transport));
    EXPECT_TRUE(SendCommand(transport, kCmdPrepareReattach, 0, 0, 0));
    uint8_t byte = 0;
    EXPECT_EQ(transport.Write(&byte, 1), 0u);
    transport.Close();

    // The reconnect loop: pause, then open by the recorded path.
    int attempt = 1;
    for (; attempt <= 20; ++attempt) {
        clock.Sleep(1000);
        if (transport.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()) == 1) {
            break;
        }
    }
    EXPECT_EQ(attempt, 5);
    EXPECT_EQ(clock.TotalSlept(), 5000u);
    ASSERT_TRUE(transport.IsOpen());
    EXPECT_TRUE(Handshake(transport));
    uint8_t reply[kReplySize] = {};
    ASSERT_EQ(SendVersionQuery(transport, reply, 1000), kReplySize);
    EXPECT_EQ(GetLE32(reply), 0x20100101u);
    EXPECT_EQ(events.Events(), (std::vector<std::string>{"+" + path, "-" + path, "+" + path}));
    transport.Close();
    bus.RemoveListener(&events);
}

TEST(SimTransport, HandsetThatNeverReattachesStaysAway) {
    FakeClock clock;
    SimBus bus(clock);
    HandsetFaults faults;
    faults.neverReattach = true;
    const std::string path = bus.Plug(Handset("N", faults));
    SimTransport transport(bus);
    ASSERT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    SendCommand(transport, kCmdPrepareReattach, 0, 0, 0);
    transport.Close();
    clock.Advance(3'600'000);
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()), 0);
    EXPECT_TRUE(bus.Plug(Handset("N")).empty());
    EXPECT_TRUE(bus.Unplug(path));
    EXPECT_FALSE(bus.Plug(Handset("N")).empty());
}

TEST(SimTransport, CloseFromAnotherThreadWakesABlockedRead) {
    SimPort port;
    ASSERT_TRUE(port.Open());
    port.transport.SetIoTimeout(30'000);
    const auto start = Clock::now();
    uint32_t got = 99;
    std::thread reader([&] {
        uint8_t reply[4];
        got = port.transport.ReadWait(reply, 4);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    port.transport.Close();
    reader.join();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_FALSE(port.transport.IsOpen());
}

TEST(SimTransport, RoundTripHoldsTheReplyBack) {
    HandsetConfig config;
    config.timing.roundTripMicros = 300'000;
    SimPort port(config);
    ASSERT_TRUE(port.Open());
    ASSERT_EQ(port.transport.Write(kHandshakeRequest, 4), 4u);
    char reply[4] = {};
    port.transport.SetIoTimeout(10);
    EXPECT_EQ(port.transport.ReadWait(reply, 4), 0u);
    port.transport.SetIoTimeout(10'000);
    EXPECT_EQ(port.transport.ReadWait(reply, 4), 4u);
    EXPECT_EQ(std::string(reply, 4), "OKUD");
}

TEST(SimTransport, PortsDownloadInParallel) {
    constexpr int kPorts = 4;
    FakeClock clock;
    SimBus bus(clock);
    std::vector<std::vector<uint8_t>> images;
    std::vector<std::shared_ptr<VirtualHandset>> handsets;
    for (int port = 0; port < kPorts; ++port) {
        images.push_back(PatternBytes(40 * kChunkDataSize + port, port + 1));
        handsets.push_back(Handset("P" + std::to_string(port)));
        bus.Plug(handsets.back());
    }
    RecordingStatusSink sink;
    std::vector<int> results(kPorts, -1);
    std::vector<std::thread> workers;
    for (int port = 0; port < kPorts; ++port) {
        workers.emplace_back([&, port] {
            SimTransport transport(bus);
            if (transport.Open(GUID_BOOTLOADER_INTERFACE,
                               SimDevicePath("P" + std::to_string(port)).c_str()) != 1) {
                return;
            }
            TempFile temp(images[port]);
            ImageFile file;
            int errorSource = 0;
            if (!file.Open(temp.Path()) || DownloadToRam(transport, port, sink, file, 0,
                                                         file.Length(), 0, 1, errorSource) != 0) {
                return;
            }
            results[port] = WriteFlash(transport, kCmdWritePdaPiece, 0,
                                       static_cast<uint32_t>(file.Length()), 0, sink, port);
            transport.Close();
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (int port = 0; port < kPorts; ++port) {
        EXPECT_EQ(results[port], 0);
        EXPECT_EQ(handsets[port]->FlashedBytes(kCmdWritePdaPiece), images[port]);
    }
    EXPECT_EQ(sink.ArgumentsOf(kStatusFlashProgress).size(), 4u * kPorts);
}

}  // namespace
}  // namespace varnel
