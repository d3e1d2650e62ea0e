// The libusb transport and the USB hot-plug monitor against boot loaders emulated by umockdev:
// which devices are taken, their paths, the exclusive claim, the messages about odd pipes,
// transfers and their ends, a whole job through the window, arrivals and removals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/protocol.h"
#include "platform/linux/udev_tty.h"
#include "platform/linux/usb_monitor.h"
#include "platform/linux/winusb_interface.h"
#include "tests/platform/device_event_log.h"
#include "tests/platform/window_job.h"
#include "tests/usb/fake_usb_bus.h"
#include "transport/device_path.h"
#include "ui/control_ids.h"

namespace varnel::test {
namespace {

using std::chrono::milliseconds;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string SimPath(const std::string& instance) {
    return UsbDevicePath(kSimVendorId, kSimProductId, instance);
}

class UsbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!FakeUsbBus::Available()) {
            GTEST_SKIP() << "needs umockdev's preload library (run it through ctest)";
        }
        bus_ = std::make_unique<FakeUsbBus>();
    }

    // libusb starts after the devices that are there from the beginning.
    void StartLibusb(std::vector<UsbId> ids = {UsbId{kSimVendorId, kSimProductId}}) {
        std::string error;
        context_ = UsbContext::Create(error);
        ASSERT_TRUE(context_) << error;
        ids_ = std::move(ids);
    }
    std::unique_ptr<CWinUsbInterface> Transport() {
        auto transport =
            std::make_unique<CWinUsbInterface>(context_, ids_, [this](const std::string& text) {
                std::lock_guard lock(mutex_);
                messages_.push_back(text);
            });
        transport->SetIoTimeout(2000);
        return transport;
    }
    // The window with a libusb transport on every port and the hot-plug monitor feeding it;
    // the PDA image chosen and Detect pressed.
    void StartWindow(uint64_t pdaSize, std::string& pdaPath, ImageManifest& pda) {
        StartLibusb();
        job_ = std::make_unique<WindowJob>([this] { return Transport(); });
        monitor_ = std::make_unique<UsbDeviceMonitor>(context_, ids_);
        monitor_->AddListener(&job_->Events());
        std::string error;
        ASSERT_TRUE(monitor_->Start(error)) << error;
        ImageSpec layout;
        layout.format = ImageFormat::kPda;
        layout.pda.dataSize = pdaSize;
        pdaPath = job_->Choose(kKindPda, "a.nb0", layout, &pda);
        job_->Dlg().OnDetect();
    }
    bool Attached(int count) {
        return job_->PumpUntil([&] { return job_->Dlg().m_nDetected == count; });
    }

    std::vector<std::string> Messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }

    std::unique_ptr<FakeUsbBus> bus_;
    std::shared_ptr<UsbContext> context_;
    std::vector<UsbId> ids_;
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::unique_ptr<WindowJob> job_;
    std::unique_ptr<UsbDeviceMonitor> monitor_;  // stops before the window goes
};

std::string Handshake(CUsbInterface& transport) {
    EXPECT_EQ(transport.Write(kHandshakeRequest, kReplySize), kReplySize);
    char reply[kReplySize] = {};
    return std::string(reply, transport.ReadWait(reply, kReplySize));
}

TEST_F(UsbTest, NothingPresentMeansNoOpenAndNoMessage) {
    FakeUsbDeviceConfig stranger;
    stranger.vendorId = 0x1234;
    stranger.productId = 0x5678;
    FakeUsbDevice* other = bus_->Plug(stranger);
    StartLibusb();
    auto transport = Transport();
    EXPECT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 0);
    EXPECT_EQ(transport->IsOpen(), 0);
    EXPECT_TRUE(Messages().empty());
    transport->Close();
    transport->Close();
    EXPECT_EQ(other->Handset().HostBytesReceived(), 0u) << "a device off the list is never used";
}

TEST_F(UsbTest, DevicesOfTheListAreTakenOncePerTransportUnderTheirPaths) {
    FakeUsbDeviceConfig withSerial;
    withSerial.serial = "SN#1 x/y";
    withSerial.port = 2;
    FakeUsbDeviceConfig withoutSerial;
    withoutSerial.port = 4;
    FakeUsbDeviceConfig extra;
    extra.vendorId = 0x04E8;
    extra.productId = 0x1234;
    extra.serial = "EXTRA";
    extra.port = 5;
    bus_->Plug(withSerial);
    FakeUsbDevice* plain = bus_->Plug(withoutSerial);
    bus_->Plug(extra);
    StartLibusb({UsbId{kSimVendorId, kSimProductId}, UsbId{0x04E8, 0x1234}});

    std::vector<std::unique_ptr<CWinUsbInterface>> transports;
    std::set<std::string> paths;
    for (int index = 0; index < 3; ++index) {
        transports.push_back(Transport());
        ASSERT_EQ(transports.back()->Open(GUID_BOOTLOADER_INTERFACE), 1) << index;
        paths.insert(transports.back()->DevicePath());
        EXPECT_EQ(Handshake(*transports.back()), "OKUD");
    }
    EXPECT_THAT(paths, ElementsAre(UsbDevicePath(0x04E8, 0x1234, "EXTRA@1-5"), SimPath("1-4"),
                                   SimPath("SN_1_x_y@1-2")));
    EXPECT_EQ(DeviceNameFromPath(SimPath("SN_1_x_y")), "SN_1_x_y");

    auto fourth = Transport();
    EXPECT_EQ(fourth->Open(GUID_BOOTLOADER_INTERFACE), 0) << "every device is claimed";
    EXPECT_GT(plain->RefusedClaims(), 0);

    // Reopening by path takes exactly that device once it is free; another case does not match.
    for (auto& transport : transports) {
        if (transport->DevicePath() == SimPath("1-4")) {
            transport->Close();
        }
    }
    EXPECT_EQ(fourth->Open(GUID_BOOTLOADER_INTERFACE, SimPath("1-4").c_str()), 1);
    EXPECT_EQ(fourth->DevicePath(), SimPath("1-4"));
    EXPECT_EQ(Handshake(*fourth), "OKUD");
    fourth->Close();
    EXPECT_EQ(fourth->Open(GUID_BOOTLOADER_INTERFACE, SimPath("SN_1_X_Y@1-2").c_str()), 0);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(UsbTest, OddPipesAreReportedAndTheDeviceStillOpens) {
    FakeUsbDeviceConfig interrupt;
    interrupt.pipeInType = 3;
    interrupt.port = 2;
    bus_->Plug(interrupt);
    StartLibusb();
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_THAT(Messages(), ElementsAre("SetPipePolicy Error 1"));
    EXPECT_EQ(transport->PipeIn().PipeType, 3);
    EXPECT_EQ(transport->PipeIn().PipeId, 0x81);
    EXPECT_EQ(transport->PipeOut().PipeId, 0x02);
    EXPECT_EQ(transport->PipeOut().MaximumPacketSize, 512);
}

TEST_F(UsbTest, ADeviceWithoutPipesOpensWithMessagesAndFailsItsTransfers) {
    FakeUsbDeviceConfig bare;
    bare.endpoints = 0;
    bare.port = 3;
    bus_->Plug(bare);
    StartLibusb();
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_THAT(Messages(), ElementsAre("WinUsb_QueryPipe Error 1", "WinUsb_QueryPipe Error 1",
                                        "SetPipePolicy Error 1"));
    EXPECT_EQ(transport->Write(kHandshakeRequest, kReplySize), 0u);
    uint8_t reply[kReplySize];
    EXPECT_EQ(transport->Read(reply, kReplySize, false), 0u);
}

TEST_F(UsbTest, ReadsWaitForTheirTransferKeepWhatIsLeftAndTimeOut) {
    FakeUsbDeviceConfig config;
    config.handset.smdRanges = {{7, 9}};
    FakeUsbDevice* device = bus_->Plug(config);
    StartLibusb();
    auto transport = Transport();
    ASSERT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(Handshake(*transport), "OKUD");

    // One transfer brings two words (the next SMD block range); two reads of 4 get them in turn.
    uint8_t packet[kPacketSize] = {};
    BuildPacketHeader(packet, kCmdSmdNextRange, 0, 0, 0);
    ASSERT_EQ(transport->Write(packet, kPacketSize), kPacketSize);
    uint8_t word[kReplySize];
    ASSERT_EQ(transport->Read(word, kReplySize, false), kReplySize) << "no polling form here";
    EXPECT_EQ(GetLE32(word), 7u);
    ASSERT_EQ(transport->ReadWait(word, kReplySize), kReplySize);
    EXPECT_EQ(GetLE32(word), 9u);

    // Nothing to say: the read ends at its time-out, and the next exchange is clean.
    transport->SetIoTimeout(200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transport->ReadWait(word, kReplySize), 0u);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(150));
    EXPECT_LT(waited, milliseconds(2000));
    transport->SetIoTimeout(2000);
    EXPECT_EQ(Handshake(*transport), "OKUD");
    EXPECT_EQ(device->Handset().HandshakeRequests(), 2u);
}

TEST_F(UsbTest, TwoHandsetsWithOneSerialAreToldApartByTheirPorts) {
    FakeUsbDeviceConfig first;
    first.serial = "SAME";
    FakeUsbDeviceConfig second = first;
    second.port = 2;
    bus_->Plug(first);
    bus_->Plug(second);
    StartLibusb();
    auto a = Transport();
    auto b = Transport();
    ASSERT_EQ(a->Open(GUID_BOOTLOADER_INTERFACE, SimPath("SAME@1-2").c_str()), 1);
    ASSERT_EQ(b->Open(GUID_BOOTLOADER_INTERFACE, SimPath("SAME@1-1").c_str()), 1);
    EXPECT_EQ(a->Identity(), (DeviceIdentity{"SAME", "1-2"}));
    EXPECT_EQ(b->Identity(), (DeviceIdentity{"SAME", "1-1"}));
}

TEST_F(UsbTest, RealTtyCandidatesAreTheTtysOfListedUsbDevicesOnly) {
    ASSERT_TRUE(bus_->AddTty("ttyACM0", {"ID_BUS=usb", "ID_VENDOR_ID=1546", "ID_MODEL_ID=01a8",
                                         "ID_SERIAL_SHORT=MODEM", "ID_PATH=pci-0-usb-0:3:1.0"}));
    ASSERT_TRUE(bus_->AddTty("ttyACM1", {"ID_BUS=usb", "ID_VENDOR_ID=f055", "ID_MODEL_ID=56d1",
                                         "ID_SERIAL_SHORT=R58M", "ID_PATH=pci-0-usb-0:4:1.0"}));
    ASSERT_TRUE(bus_->AddTty("ttyS0", {}));
    const std::vector<UdevTty> ttys = UdevUsbTtys();
    ASSERT_EQ(ttys.size(), 2u) << "ttyS0 belongs to no USB device";
    const std::vector<UdevTty> candidates =
        MatchingTtys(ttys, {UsbId{kSimVendorId, kSimProductId}});
    ASSERT_EQ(candidates.size(), 1u);
    EXPECT_EQ(candidates[0].strName, "ttyACM1");
    EXPECT_EQ(IdentityOfProperties(candidates[0].properties), (DeviceIdentity{"R58M", "1-9"}));
}

TEST_F(UsbTest, UdevReportsArrivalsAndRemovalsOfListedTtysAndNamesOthers) {
    const std::vector<std::string> listed = {"ID_BUS=usb", "ID_VENDOR_ID=f055", "ID_MODEL_ID=56d1"};
    ASSERT_TRUE(bus_->AddTty("ttyACM0", listed));
    UdevTtyMonitor monitor({UsbId{kSimVendorId, kSimProductId}});
    DeviceEventLog events;
    monitor.AddListener(&events);
    ASSERT_TRUE(monitor.Start());

    ASSERT_TRUE(bus_->AddTty("ttyACM1", {"ID_BUS=usb", "ID_VENDOR_ID=1546", "ID_MODEL_ID=01a8"}));
    ASSERT_TRUE(bus_->AddTty("ttyACM2", listed));
    const std::string modem = "?/dev/ttyACM1 (USB 1546:01a8)";
    const std::string arrived = DeviceEventLog::Arrival(TtyDevicePath("ttyACM2"));
    EXPECT_THAT(events.WaitFor(2), ElementsAre(modem, arrived)) << "present ttys are no arrivals";
    bus_->RemoveTty("ttyACM1");
    bus_->RemoveTty("ttyACM2");
    const std::string left = DeviceEventLog::Removal(TtyDevicePath("ttyACM2"));
    EXPECT_THAT(events.WaitFor(3), ElementsAre(modem, arrived, left));
    monitor.AnnouncePresent();
    EXPECT_THAT(events.WaitFor(4), ElementsAre(modem, arrived, left,
                                               DeviceEventLog::Arrival(TtyDevicePath("ttyACM0"))));
    monitor.Stop();
}

TEST_F(UsbTest, UnplugAndCloseEndABlockedReadPromptly) {
    bus_->Plug({});
    FakeUsbDeviceConfig second;
    second.port = 2;
    FakeUsbDevice* leaving = bus_->Plug(second);
    StartLibusb();
    auto first = Transport();
    auto other = Transport();
    ASSERT_EQ(first->Open(GUID_BOOTLOADER_INTERFACE), 1);
    ASSERT_EQ(other->Open(GUID_BOOTLOADER_INTERFACE), 1);
    CWinUsbInterface* onLeaving = other->DevicePath() == SimPath("1-2") ? other.get() : first.get();
    CWinUsbInterface* staying = onLeaving == other.get() ? first.get() : other.get();
    onLeaving->SetIoTimeout(30000);
    staying->SetIoTimeout(30000);

    uint8_t word[kReplySize];
    std::thread unplug([&] {
        std::this_thread::sleep_for(milliseconds(100));
        bus_->Unplug(leaving);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(onLeaving->ReadWait(word, kReplySize), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
    unplug.join();
    EXPECT_EQ(onLeaving->Write(kHandshakeRequest, kReplySize), 0u);

    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(100));
        staying->Close();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(staying->ReadWait(word, kReplySize), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
    closer.join();
    EXPECT_EQ(staying->IsOpen(), 0);
}

TEST_F(UsbTest, HotPlugReportsArrivalsAndRemovalsOfListedDevicesByPath) {
    FakeUsbDeviceConfig early;
    early.serial = "EARLY";
    bus_->Plug(early);
    StartLibusb();
    UsbDeviceMonitor monitor(context_, ids_);
    DeviceEventLog events;
    monitor.AddListener(&events);
    std::string error;
    ASSERT_TRUE(monitor.Start(error)) << error;

    FakeUsbDeviceConfig stranger;
    stranger.vendorId = 0x1234;
    stranger.port = 2;
    bus_->Plug(stranger);
    FakeUsbDeviceConfig late;
    late.serial = "LATE";
    late.port = 3;
    FakeUsbDevice* device = bus_->Plug(late);
    const std::string lateArrived = DeviceEventLog::Arrival(SimPath("LATE@1-3"));
    const std::string lateLeft = DeviceEventLog::Removal(SimPath("LATE@1-3"));
    const std::string named = "?USB device 1-2 (1234:56d1)";
    EXPECT_THAT(events.WaitFor(2), ElementsAre(named, lateArrived));
    bus_->Unplug(device);
    EXPECT_THAT(events.WaitFor(3), ElementsAre(named, lateArrived, lateLeft))
        << "the removal carries the serial read when it came";
    monitor.AnnouncePresent();
    EXPECT_THAT(events.WaitFor(4), ElementsAre(named, lateArrived, lateLeft,
                                               DeviceEventLog::Arrival(SimPath("EARLY@1-1"))));
    monitor.Stop();
}

TEST_F(UsbTest, AWholeJobRunsThroughTheWindowOnAHotPluggedDevice) {
    std::string path;
    ImageManifest pda;
    StartWindow(20000, path, pda);
    FakeUsbDeviceConfig handset;
    handset.serial = "JOB1";
    FakeUsbDevice* device = bus_->Plug(handset);
    ASSERT_TRUE(Attached(1));
    EXPECT_EQ(job_->Dlg().m_strDeviceName[0], "JOB1@1-1");
    job_->Dlg().OnStartDownloading();
    ASSERT_TRUE(job_->PumpUntil([&] { return job_->Finished(); })) << job_->Dlg().MainLog();
    EXPECT_EQ(job_->Dlg().m_nFinished, 1) << job_->Dlg().MainLog();
    EXPECT_EQ(device->Handset().FlashedBytes(kCmdWritePdaPiece),
              RegionBytes(path, pda, "pda.data"));
    EXPECT_TRUE(device->Handset().Launched());
}

TEST_F(UsbTest, UnpluggingTheAttachedDeviceReleasesItsPort) {
    std::string path;
    ImageManifest pda;
    StartWindow(4096, path, pda);
    FakeUsbDevice* device = bus_->Plug({});
    ASSERT_TRUE(Attached(1));
    bus_->Unplug(device);
    ASSERT_TRUE(Attached(0));
    EXPECT_THAT(job_->Dlg().MainLog(), HasSubstr("[Setup:0] PDA Device removed.\r\n"));
    EXPECT_TRUE(job_->View().IsEnabled(IDC_DETECT));
}

}  // namespace
}  // namespace varnel::test
