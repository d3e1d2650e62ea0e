// The tty transport against ptys whose device side the tests drive: finding and opening nodes,
// exclusive use, raw bytes, the shapes of a read, time-outs, a device that vanishes, and Close
// from another thread.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/tty_interface.h"
#include "support/image_dir.h"
#include "tests/platform/pty_device.h"
#include "transport/device_path.h"

namespace varnel::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ::testing::HasSubstr;

class TtyInterfaceTest : public ::testing::Test {
  protected:
    std::unique_ptr<PtyDevice> Plug(const std::string& name) {
        return std::make_unique<PtyDevice>(folder_.Path(), name);
    }
    std::unique_ptr<CTtyInterface> Transport() {
        auto transport = std::make_unique<CTtyInterface>(folder_.Path());
        transport->SetIoTimeout(1000);
        return transport;
    }

    ImageDir folder_;
};

template <typename Call>
milliseconds TimeOf(Call call) {
    const auto start = steady_clock::now();
    call();
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
}

TEST_F(TtyInterfaceTest, OpenWithNothingPresentFailsAndCloseIsHarmlessInAnyState) {
    auto transport = Transport();
    transport->Close();
    EXPECT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 0);
    EXPECT_EQ(transport->IsOpen(), 0);
    transport->Close();
    transport->Close();
    EXPECT_EQ(transport->Write("ATUD", 4), 0u);
    uint8_t reply[4];
    EXPECT_EQ(transport->ReadWait(reply, 4), 0u);

    // A folder that does not exist is an empty bus, not an error.
    CTtyInterface missing(folder_.Path() + "/none");
    EXPECT_EQ(missing.Open(GUID_BOOTLOADER_INTERFACE), 0);
}

TEST_F(TtyInterfaceTest, OpenTakesTheFirstNodeNoOtherTransportHoldsAndRecordsItsPath) {
    auto a = Plug("a");
    auto b = Plug("b");
    auto c = Plug("c");
    auto first = Transport();
    auto second = Transport();
    ASSERT_EQ(first->Open(GUID_BOOTLOADER_INTERFACE), 1);
    ASSERT_EQ(second->Open(GUID_BOOTLOADER_INTERFACE), 1);

    auto third = Transport();
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(third->Open(GUID_BOOTLOADER_INTERFACE), 1);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(first->DevicePath(), a->DevicePath());
    EXPECT_EQ(second->DevicePath(), b->DevicePath());
    EXPECT_EQ(third->DevicePath(), c->DevicePath());
    EXPECT_EQ(printed, "Attempting to open " + a->DevicePath() + "\nFAILED to open " +
                           a->DevicePath() + "\nAttempting to open " + b->DevicePath() +
                           "\nFAILED to open " + b->DevicePath() + "\nAttempting to open " +
                           c->DevicePath() + "\n");
    EXPECT_EQ(DeviceNameFromPath(third->DevicePath()), "c");

    // A fourth finds nothing free; closing one frees its node for the next open.
    auto fourth = Transport();
    EXPECT_EQ(fourth->Open(GUID_BOOTLOADER_INTERFACE), 0);
    second->Close();
    ASSERT_EQ(fourth->Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(fourth->DevicePath(), b->DevicePath());
}

TEST_F(TtyInterfaceTest, OpenWithAPathTakesOnlyThatExactNodeAndRecordsIt) {
    auto first = Plug("dev0");
    auto second = Plug("dev1");
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE, second->DevicePath().c_str()), 1);
    EXPECT_EQ(transport->DevicePath(), second->DevicePath());

    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(transport->DevicePath(), first->DevicePath());
    EXPECT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE, TtyDevicePath("DEV0").c_str()), 0)
        << "letter case matters";
    EXPECT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE, TtyDevicePath("dev9").c_str()), 0);
    EXPECT_EQ(transport->IsOpen(), 0);
    EXPECT_EQ(transport->DevicePath(), first->DevicePath()) << "kept after failures and Close";

    Guid other = GUID_BOOTLOADER_INTERFACE;
    other.data1 ^= 1;
    EXPECT_EQ(transport->Open(other), 0) << "no node is of another interface class";
}

TEST_F(TtyInterfaceTest, AFailedProbeLeavesTheHoldersExclusiveModeAlone) {
    auto device = Plug("held");
    auto holder = Transport();
    ASSERT_EQ(holder->Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(Transport()->Open(GUID_BOOTLOADER_INTERFACE, device->DevicePath().c_str()), 0);

    UniqueFd probe(::open(device->Entry().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!probe.Valid()) {
        EXPECT_EQ(errno, EBUSY) << "exclusive mode refuses everyone but root";
        return;
    }
    int exclusive = 0;
    ASSERT_EQ(::ioctl(probe.Get(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
}

TEST_F(TtyInterfaceTest, ANodeThatIsNotATtyIsSkippedWithAClearLine) {
    std::ofstream(folder_.Path() + "/0-plain-file") << "not a device";
    auto device = Plug("1-tty");
    auto transport = Transport();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(out, HasSubstr("FAILED to open " + TtyDevicePath("0-plain-file") + "\n"));
    EXPECT_THAT(err, HasSubstr("0-plain-file: not a tty, skipped"));
    EXPECT_EQ(transport->DevicePath(), device->DevicePath());
}

TEST_F(TtyInterfaceTest, EveryByteValuePassesUnchangedBothWays) {
    auto device = Plug("raw");
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    std::vector<uint8_t> all(2048);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    ASSERT_EQ(transport->Write(all.data(), 2048), 2048u);
    EXPECT_EQ(device->Receive(2048), all);

    device->Send(all.data(), 256);
    std::vector<uint8_t> back(256);
    uint32_t got = 0;
    while (got < 256) {
        const uint32_t count = transport->ReadWait(back.data() + got, 256 - got);
        ASSERT_GT(count, 0u);
        got += count;
    }
    EXPECT_TRUE(std::equal(back.begin(), back.end(), all.begin()));
}

TEST_F(TtyInterfaceTest, ReadsReturnWhatIsThereAtMostAsMuchAsAskedAndGatherSplitReplies) {
    auto device = Plug("split");
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    uint8_t reply[4] = {};

    device->Send("OK");
    EXPECT_EQ(transport->ReadWait(reply, 4), 2u) << "two queued bytes are a short reply";

    device->Send("OKUDOKDN");
    EXPECT_EQ(transport->ReadWait(reply, 4), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 4), "OKUD");
    EXPECT_EQ(transport->ReadWait(reply, 4), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 4), "OKDN");

    // A reply that comes in two pieces close together is read as one. (A wide gap here, so
    // that a busy machine cannot stretch the pause between the pieces beyond it.)
    transport->SetGatherGap(500);
    std::thread late([&] {
        device->Send("OK");
        std::this_thread::sleep_for(milliseconds(20));
        device->Send("UD");
    });
    EXPECT_EQ(transport->ReadWait(reply, 4), 4u);
    late.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 4), "OKUD");
}

TEST_F(TtyInterfaceTest, SilentDeviceTimesOutInBothReadFormsAndAWaitingReadSeesLateData) {
    auto device = Plug("quiet");
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    transport->SetIoTimeout(200);
    uint8_t reply[4];
    uint32_t got = 99;
    const milliseconds waited = TimeOf([&] { got = transport->ReadWait(reply, 4); });
    EXPECT_EQ(got, 0u);
    EXPECT_GE(waited, milliseconds(190));
    EXPECT_LT(waited, milliseconds(1000));

    const milliseconds polled = TimeOf([&] { got = transport->Read(reply, 4, false); });
    EXPECT_EQ(got, 0u);
    EXPECT_LT(polled, milliseconds(1000));

    transport->SetIoTimeout(5000);
    std::thread answer([&] {
        std::this_thread::sleep_for(milliseconds(100));
        device->Send("OKUD");
    });
    EXPECT_EQ(transport->Read(reply, 4, false), 4u);
    answer.join();
}

TEST_F(TtyInterfaceTest, AFailedWriteReturnsZeroAndTheNextWriteGoesOutNormally) {
    auto device = Plug("full");
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    transport->SetIoTimeout(100);
    // The device reads nothing: the pty's buffers fill and a write cannot finish in time.
    std::vector<uint8_t> packet(2048, 0x5A);
    uint32_t written = 0;
    int writes = 0;
    do {
        written = transport->Write(packet.data(), 2048);
    } while (written == 2048 && ++writes < 1000);
    EXPECT_EQ(written, 0u);
    EXPECT_LT(writes, 1000);

    while (!device->Receive(65536, 50).empty()) {
    }
    transport->SetIoTimeout(1000);
    EXPECT_EQ(transport->Write("ATUD", 4), 4u);
    EXPECT_THAT(device->Receive(4), ::testing::ElementsAre('A', 'T', 'U', 'D'));
}

TEST_F(TtyInterfaceTest, ADeviceThatVanishesEndsTransfersAtOnceWithZero) {
    auto device = Plug("gone");
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    transport->SetIoTimeout(5000);
    uint8_t reply[4];
    uint32_t got = 99;
    std::thread unplug([&] {
        std::this_thread::sleep_for(milliseconds(50));
        device->Unplug();
    });
    const milliseconds waited = TimeOf([&] { got = transport->ReadWait(reply, 4); });
    unplug.join();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(waited, milliseconds(2000));
    EXPECT_EQ(transport->Write("ATUD", 4), 0u);
    EXPECT_EQ(transport->Read(reply, 4, false), 0u);
    transport->Close();
    EXPECT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE, device->DevicePath().c_str()), 0);
}

TEST_F(TtyInterfaceTest, CloseFromAnotherThreadWakesABlockedReadAndFreesTheNode) {
    auto device = Plug("wake");
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    transport->SetIoTimeout(30000);
    uint8_t reply[4];
    uint32_t got = 99;
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(50));
        transport->Close();
    });
    const milliseconds waited = TimeOf([&] { got = transport->ReadWait(reply, 4); });
    closer.join();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(waited, milliseconds(2000));
    EXPECT_EQ(transport->IsOpen(), 0);

    auto other = Transport();
    EXPECT_EQ(other->Open(GUID_BOOTLOADER_INTERFACE), 1) << "the node is free again";
}

TEST_F(TtyInterfaceTest, StaleBytesFromBeforeTheOpenAreDropped) {
    auto device = Plug("stale");
    device->Send("OLD!");
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    transport->SetIoTimeout(100);
    uint8_t reply[4];
    EXPECT_EQ(transport->ReadWait(reply, 4), 0u);
}

}  // namespace
}  // namespace varnel::test
