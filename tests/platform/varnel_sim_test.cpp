// varnel-sim as a process, reached through the tty transport: framing of the host's byte stream,
// fault injection by name, a reattach that removes and re-creates the entry, an unplug, and
// its command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "platform/linux/tty_interface.h"
#include "platform/linux/tty_monitor.h"
#include "support/image_dir.h"
#include "tests/platform/device_event_log.h"
#include "tests/platform/sim_process.h"
#include "transport/device_path.h"

namespace varnel::test {
namespace {

using std::chrono::milliseconds;
using ::testing::HasSubstr;

std::string ReadReplyText(CUsbInterface& transport) {
    char reply[kReplySize] = {};
    const uint32_t got = transport.ReadWait(reply, kReplySize);
    return std::string(reply, got);
}

std::string Handshake(CUsbInterface& transport) {
    EXPECT_EQ(transport.Write(kHandshakeRequest, kReplySize), kReplySize);
    return ReadReplyText(transport);
}

std::string Reply(CUsbInterface& transport, uint32_t code) {
    uint8_t packet[kPacketSize] = {};
    BuildPacketHeader(packet, code, 0, 0, 0);
    EXPECT_EQ(transport.Write(packet, kPacketSize), kPacketSize);
    return ReadReplyText(transport);
}

class VarnelSimTest : public ::testing::Test {
  protected:
    VarnelSimTest() : devices_(folder_.Path() + "/dev"), transport_(devices_) {
        transport_.SetIoTimeout(2000);
    }

    ImageDir folder_;
    const std::string devices_;
    CTtyInterface transport_;
};

std::string Word(uint32_t value) {
    char bytes[4];
    PutLE32(reinterpret_cast<uint8_t*>(bytes), value);
    return std::string(bytes, 4);
}

TEST_F(VarnelSimTest, HandshakesAndPacketsAreFramedFromTheByteStream) {
    SimProcess sim(devices_, {"--handsets", "2", "--bootloader-version", "12345678"});
    ASSERT_EQ(transport_.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(transport_.DevicePath(), TtyDevicePath("SIM0"));
    EXPECT_EQ(Handshake(transport_), "OKUD");
    EXPECT_EQ(Reply(transport_, kCmdQueryVersion), Word(0x12345678));

    // A packet written in two pieces is one packet; two in one write are two.
    uint8_t packets[2 * kPacketSize] = {};
    BuildPacketHeader(packets, kCmdQueryVersion, 0, 0, 0);
    BuildPacketHeader(packets + kPacketSize, kCmdQueryVersion, 0, 0, 0);
    ASSERT_EQ(transport_.Write(packets, 1000), 1000u);
    ASSERT_EQ(transport_.Write(packets + 1000, kPacketSize - 1000), kPacketSize - 1000);
    EXPECT_EQ(ReadReplyText(transport_), Word(0x12345678));
    ASSERT_EQ(transport_.Write(packets, sizeof packets), sizeof packets);
    EXPECT_EQ(ReadReplyText(transport_), Word(0x12345678));
    EXPECT_EQ(ReadReplyText(transport_), Word(0x12345678));

    CTtyInterface second(devices_);
    ASSERT_EQ(second.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(second.DevicePath(), TtyDevicePath("SIM1"));
}

TEST_F(VarnelSimTest, FaultsAreInjectedByPortAndName) {
    SimProcess sim(devices_, {"--handsets", "2", "--fault", "1:refuse-handshake=1", "--fault",
                              "0:missing-reply=0"});
    ASSERT_EQ(transport_.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(Handshake(transport_), "OKUD");
    transport_.SetIoTimeout(200);
    EXPECT_EQ(Reply(transport_, kCmdQueryVersion), "") << "packet 0 of port 0 goes unanswered";

    CTtyInterface second(devices_);
    second.SetIoTimeout(2000);
    ASSERT_EQ(second.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(Handshake(second), "NOUD");
    EXPECT_EQ(Handshake(second), "OKUD");
}

TEST_F(VarnelSimTest, AReattachRemovesTheEntryAndBringsItBackUnderTheSameName) {
    SimProcess sim(devices_, {"--fault", "0:slow-reattach=300"});
    TtyDeviceMonitor monitor(devices_);
    DeviceEventLog events;
    monitor.AddListener(&events);
    ASSERT_TRUE(monitor.Start());
    ASSERT_EQ(transport_.Open(GUID_BOOTLOADER_INTERFACE), 1);
    const std::string path = transport_.DevicePath();
    EXPECT_EQ(Handshake(transport_), "OKUD");

    const auto left = std::chrono::steady_clock::now();
    EXPECT_EQ(Reply(transport_, kCmdPrepareReattach).size(), kReplySize)
        << "the reply comes before it goes";
    ASSERT_TRUE(events.WaitForEvent(DeviceEventLog::Removal(path)));
    EXPECT_FALSE(std::filesystem::exists(devices_ + "/SIM0"));
    EXPECT_EQ(ReadReplyText(transport_), "") << "the old node is hung up";
    transport_.Close();
    EXPECT_EQ(transport_.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()), 0);

    ASSERT_TRUE(events.WaitForEvent(DeviceEventLog::Arrival(path)));
    EXPECT_GE(std::chrono::steady_clock::now() - left, milliseconds(300));
    ASSERT_EQ(transport_.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()), 1);
    EXPECT_EQ(Handshake(transport_), "OKUD");
    EXPECT_EQ(Reply(transport_, kCmdQueryVersion), Word(0x20100101))
        << "the new boot loader answers";
    monitor.Stop();
    EXPECT_THAT(sim.Output(), HasSubstr("[sim] SIM0: reattaching, back in 300 ms\n"));
}

TEST_F(VarnelSimTest, AHandsetUnpluggedMidTransferFailsTheTransferAndLeaves) {
    SimProcess sim(devices_, {"--fault", "0:disconnect-after=3000"});
    ASSERT_EQ(transport_.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(Handshake(transport_), "OKUD");
    EXPECT_EQ(Reply(transport_, kCmdQueryVersion).size(), kReplySize);
    EXPECT_EQ(Reply(transport_, kCmdQueryVersion), "")
        << "the packet that crosses the limit is lost";
    EXPECT_TRUE(sim.WaitForOutput("[sim] SIM0: unplugged\n"));
    EXPECT_FALSE(std::filesystem::exists(devices_ + "/SIM0"));
    uint8_t packet[kPacketSize] = {};
    EXPECT_EQ(transport_.Write(packet, kPacketSize), 0u);
}

TEST_F(VarnelSimTest, BadArgumentsExitWithStatusTwoAndAClearLine) {
    std::string errors;
    EXPECT_EQ(RunSimToEnd({"--dir", devices_, "--fault", "0:no-such-fault"}, errors), 2);
    EXPECT_THAT(errors, HasSubstr("unknown fault 'no-such-fault'"));
    EXPECT_EQ(RunSimToEnd({"--dir", devices_, "--handsets", "2", "--fault", "2:stall=1"}, errors),
              2);
    EXPECT_THAT(errors, HasSubstr("is not PORT:FAULT with a port below 2"));
    EXPECT_EQ(RunSimToEnd({"--dir", devices_, "--fault", "0:stall"}, errors), 2);
    EXPECT_THAT(errors, HasSubstr("needs a count: stall=N"));
    EXPECT_NE(RunSimToEnd({"--handsets", "2"}, errors), 0);
    EXPECT_THAT(errors, HasSubstr("--dir"));
    EXPECT_FALSE(std::filesystem::exists(devices_)) << "nothing published";
}

}  // namespace
}  // namespace varnel::test
