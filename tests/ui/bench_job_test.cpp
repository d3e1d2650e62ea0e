// Whole jobs through the window: Detect, handsets arriving on the simulated bus, the attach,
// "Start downloading", the port workers and the window's picture of the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/protocol.h"
#include "images/image_globals.h"
#include "sim/sim_bus.h"
#include "sim/sim_transport.h"
#include "support/image_dir.h"
#include "support/sim_port.h"
#include "tests/ui/fake_dialog_view.h"
#include "tests/ui/test_window.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"

namespace varnel::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kAllFinished[] = "[Success] All Download finished. \r\n";

ImageSpec PdaSpec(uint64_t size) {
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = size;
    spec.pda.langpack = true;
    return spec;
}

class BenchJobTest : public ::testing::Test {
  protected:
    BenchJobTest() : timeouts_(300) {
        ClearJobGlobals();
        DialogHooks hooks = TestWindowHooks(clock_);
        dlg_ = std::make_unique<CMorvaneDlg>(view_, loop_, std::move(hooks));
        for (auto& transport : dlg_->m_pTransport) {
            transport = std::make_unique<SimTransport>(bus_);
        }
        dlg_->InitDialogState();
        events_ = std::make_unique<WindowDeviceEvents>(*dlg_);
        bus_.AddListener(events_.get());
    }

    ~BenchJobTest() override {
        bus_.RemoveListener(events_.get());
        dlg_->Shutdown();
    }

    // Runs window messages until `done` holds; false when it does not within `limit`.
    bool PumpUntil(const std::function<bool()>& done,
                   std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            loop_.RunOne(std::chrono::milliseconds(20));
        }
        return true;
    }
    void PumpPending() {
        while (loop_.RunPending() > 0) {
        }
    }

    std::shared_ptr<VirtualHandset> Plug(const std::string& instance, HandsetConfig config = {}) {
        config.instance = instance;
        auto handset = std::make_shared<VirtualHandset>(config);
        paths_.push_back(bus_.Plug(handset));
        PumpPending();
        return handset;
    }

    std::string Choose(int imageKind, const std::string& fileName, const ImageSpec& spec,
                       ImageManifest* manifest) {
        const std::string path = images_.Build(fileName, spec, manifest);
        dlg_->SetPath(imageKind, path);
        dlg_->SelectedFlag(imageKind) = 1;
        dlg_->SetSpan(imageKind, {0, manifest->fileSize});
        dlg_->UpdateData(false);
        return path;
    }

    // A small PDA image chosen and Detect pressed.
    void StartDetecting() {
        ImageManifest pda;
        Choose(kKindPda, "a.nb0", PdaSpec(100), &pda);
        dlg_->OnDetect();
    }

    bool JobFinished() { return dlg_->MainLog().find(kAllFinished) != std::string::npos; }
    int Port(const std::string& instance) {
        for (int port = 0; port < kPortCount; ++port) {
            if (dlg_->m_strDeviceName[port] == instance) {
                return port;
            }
        }
        return -1;
    }

    ScopedProtocolTimeouts timeouts_;
    FakeClock clock_;
    SimBus bus_{clock_};
    ImageDir images_;
    MessageLoop loop_;
    FakeDialogView view_;
    std::unique_ptr<CMorvaneDlg> dlg_;
    std::unique_ptr<WindowDeviceEvents> events_;
    std::vector<std::string> paths_;
};

// A port's transport to the simulated bus whose next Open first runs `beforeOpen`: what a
// message box shown from inside Open does to the window thread, or a device the system refuses.
class HookedTransport final : public CUsbInterface {
  public:
    HookedTransport(SimBus& bus, std::function<bool()> beforeOpen)
        : inner_(bus), beforeOpen_(std::move(beforeOpen)) {}

    // `beforeOpen` false: the open is refused as a device without access rights would be.
    int Open(const Guid& interfaceClass, const char* devicePath) override {
        ++opens;
        const bool allowed = beforeOpen_ ? std::exchange(beforeOpen_, nullptr)() : true;
        RecordOpenDenied(!allowed);
        if (!allowed || !inner_.Open(interfaceClass, devicePath)) {
            return 0;
        }
        RecordDevicePath(inner_.DevicePath());
        RecordIdentity(inner_.Identity());
        return 1;
    }
    void Close() override { inner_.Close(); }
    uint32_t Write(const void* data, uint32_t size) override { return inner_.Write(data, size); }
    uint32_t Read(void* buffer, uint32_t size, bool wait) override {
        return inner_.Read(buffer, size, wait);
    }
    int IsOpen() const override { return inner_.IsOpen(); }

    int opens = 0;

  private:
    SimTransport inner_;
    std::function<bool()> beforeOpen_;
};

TEST_F(BenchJobTest, EightHandsetsRunAWholeJobAndTheWindowEndsAllFinished) {
    ImageManifest pda;
    const std::string pdaPath = Choose(kKindPda, "a.nb0", PdaSpec(50000), &pda);
    ImageSpec phoneSpec;
    phoneSpec.format = ImageFormat::kPhone;
    phoneSpec.rawSize = 7000;
    ImageManifest phone;
    const std::string phonePath = Choose(kKindPhone, "m.bin", phoneSpec, &phone);
    dlg_->OnDetect();

    std::vector<std::shared_ptr<VirtualHandset>> handsets;
    for (int index = 0; index < kPortCount; ++index) {
        handsets.push_back(Plug("HS" + std::to_string(index)));
    }
    // The eighth attach starts the job by itself.
    ASSERT_TRUE(PumpUntil([this] { return JobFinished(); }));

    EXPECT_THAT(dlg_->MainLog(),
                EndsWith(std::string(kAllFinished) + "[Result] 8 finished, 0 failed\r\n"));
    EXPECT_EQ(dlg_->m_nFinished, kPortCount);
    EXPECT_EQ(dlg_->m_nFailed, 0);
    const auto pdaData = RegionBytes(pdaPath, pda, "pda.data");
    const auto phoneData = ReadFileRegion(phonePath, 0, phone.fileSize);
    for (int index = 0; index < kPortCount; ++index) {
        SCOPED_TRACE(index);
        const int port = Port("HS" + std::to_string(index));
        ASSERT_EQ(port, index) << "devices take the ports in arrival order";
        EXPECT_EQ(handsets[index]->FlashedBytes(kCmdWritePdaPiece), pdaData);
        EXPECT_EQ(handsets[index]->FlashedBytes(kCmdWritePhone), phoneData);
        EXPECT_EQ(view_.text[kPortCaptionIds[port]], "OK " + std::to_string(port));
        EXPECT_EQ(view_.bkColor[kPortCaptionIds[port]], kColorFinished);
        EXPECT_THAT(dlg_->PortLog(port), HasSubstr("[Setup:" + std::to_string(port) +
                                                   "] PDA Device Found! TimeOut:2\r\n"));
    }
    EXPECT_FALSE(view_.IsEnabled(IDC_DETECT));
    EXPECT_TRUE(view_.IsEnabled(IDC_RESET_ALL));
}

TEST_F(BenchJobTest, AFailingPortTurnsRedAndTheOthersStillFinish) {
    ImageManifest pda;
    Choose(kKindPda, "a.nb0", PdaSpec(20000), &pda);
    dlg_->OnDetect();
    Plug("GOOD");
    HandsetConfig failing;
    failing.faults.wrongChunkSumAt = 2;
    Plug("BAD", failing);
    ASSERT_EQ(dlg_->m_nDetected, 2);
    EXPECT_TRUE(view_.IsEnabled(IDC_START_DOWNLOADING));
    dlg_->OnStartDownloading();
    ASSERT_TRUE(PumpUntil([this] { return JobFinished(); }));

    const int bad = Port("BAD");
    const int good = Port("GOOD");
    EXPECT_EQ(view_.bkColor[kPortCaptionIds[bad]], kColorFailed);
    EXPECT_EQ(view_.text[ProgressId(bad)], "[FAIL] PDA Checksum !!");
    EXPECT_EQ(view_.bkColor[kPortCaptionIds[good]], kColorFinished);
    EXPECT_EQ(view_.text[IDC_DEVICE_COUNT], "Currently 1 device(s) detected.");
}

TEST_F(BenchJobTest, PortsAreHandedOutInOrderAndAResetPortIsNextInLine) {
    Plug("EARLY");  // before Detect: ignored, and the count line is not refreshed
    EXPECT_EQ(dlg_->m_nDetected, 0);
    ImageManifest pda;
    Choose(kKindPda, "a.nb0", PdaSpec(100), &pda);
    bus_.Unplug(paths_[0]);
    dlg_->OnDetect();
    Plug("A");
    Plug("B");
    Plug("C");
    EXPECT_EQ(Port("A"), 0);
    EXPECT_EQ(Port("B"), 1);
    EXPECT_EQ(Port("C"), 2);
    EXPECT_EQ(view_.text[IDC_DEVICE_COUNT], "Currently 3 device(s) detected.");

    // Unplugging an attached device releases its port, which the next arrival takes.
    bus_.Unplug(paths_[2]);
    PumpPending();
    EXPECT_THAT(dlg_->MainLog(), HasSubstr("[Setup:1] PDA Device removed.\r\n"));
    EXPECT_EQ(dlg_->m_nDetected, 2);
    Plug("D");
    EXPECT_EQ(Port("D"), 1);
}

TEST_F(BenchJobTest, UnpluggingTheOnlyDeviceReturnsTheWindowToItsInitialState) {
    ImageManifest pda;
    Choose(kKindPda, "a.nb0", PdaSpec(100), &pda);
    dlg_->OnDetect();
    Plug("ONLY");
    ASSERT_EQ(dlg_->m_nDetected, 1);
    bus_.Unplug(paths_.back());
    PumpPending();
    EXPECT_EQ(dlg_->m_nDetected, 0);
    EXPECT_EQ(dlg_->m_bWaitingForDevice, 0);
    EXPECT_TRUE(view_.IsEnabled(IDC_DETECT));
    // Detection is off again: a new device is not taken.
    Plug("LATER");
    EXPECT_EQ(dlg_->m_nDetected, 0);
}

TEST_F(BenchJobTest, AttachRetriesTheHandshakeAndRejectsADeviceAlreadyInUse) {
    ImageManifest pda;
    Choose(kKindPda, "a.nb0", PdaSpec(100), &pda);
    dlg_->OnDetect();
    HandsetConfig shy;
    shy.faults.refuseHandshakes = 2;
    Plug("SHY", shy);
    EXPECT_EQ(Port("SHY"), 0);
    EXPECT_THAT(dlg_->MainLog(), HasSubstr("[Error:0] Not receive OKUD! TimeOut:1\r\n"));
    EXPECT_THAT(dlg_->PortLog(0), HasSubstr("[Setup:0] PDA Device detected. TimeOut:0\r\n"));

    // The same serial in another USB port is another handset; each row tells which is which.
    Plug("shy");
    EXPECT_EQ(Port("shy"), 1);
    EXPECT_THAT(dlg_->PortLog(0), HasSubstr("[Setup:0] Device serial SHY, port sim-1.1\r\n"));
    EXPECT_EQ(view_.toolTip[kPortCaptionIds[1]], "serial shy, port sim-1.2");
}

TEST_F(BenchJobTest, AnArrivalAttachesTheDeviceThatArrivedAndOnlyOnce) {
    ImageManifest pda;
    Choose(kKindPda, "a.nb0", PdaSpec(100), &pda);
    HandsetConfig modem;
    modem.faults.refuseHandshakes = 1000;
    auto present = Plug("AAA-MODEM", modem);  // sorts and plugs first, present before Detect
    dlg_->OnDetect();
    Plug("B1");
    Plug("B2");
    EXPECT_EQ(Port("B1"), 0);
    EXPECT_EQ(Port("B2"), 1);
    EXPECT_EQ(present->HandshakeRequests(), 0u);

    // Announcing present devices again attaches nothing twice.
    dlg_->OnDeviceChange(DeviceChange::kArrival, paths_[1]);
    EXPECT_EQ(dlg_->m_nDetected, 2);
}

TEST_F(BenchJobTest, AnArrivalDuringAnAttachWaitsUntilTheAttachHasEnded) {
    StartDetecting();
    dlg_->m_pTransport[0] = std::make_unique<HookedTransport>(bus_, [this] {
        Plug("SECOND");  // runs the window's messages, as a nested event loop would
        return true;
    });
    Plug("FIRST");
    EXPECT_EQ(Port("FIRST"), 0);
    EXPECT_EQ(Port("SECOND"), 1);
}

TEST_F(BenchJobTest, ADeviceWithoutAccessRightsIsNamedWithTheFixOnce) {
    StartDetecting();
    auto transport = std::make_unique<HookedTransport>(bus_, [] { return false; });
    HookedTransport& refused = *transport;
    dlg_->m_pTransport[0] = std::move(transport);
    Plug("LOCKED");
    EXPECT_EQ(refused.opens, 1);
    EXPECT_EQ(dlg_->m_nDetected, 0);
    EXPECT_THAT(dlg_->MainLog(), HasSubstr("[Error:0] No permission to open " + paths_[0] +
                                           ": install the udev rules"));
}

TEST_F(BenchJobTest, AUsbDeviceOutsideTheIdListIsNamedOnlyWhileDetecting) {
    events_->OnForeignDevice("USB device 1-3 (1234:5678)");
    PumpPending();
    EXPECT_THAT(dlg_->MainLog(), Not(HasSubstr("1-3")));
    StartDetecting();
    events_->OnForeignDevice("USB device 1-4 (1234:5678)");
    PumpPending();
    EXPECT_THAT(dlg_->MainLog(),
                HasSubstr("[Setup] USB device 1-4 (1234:5678) is not in the USB id "
                          "list: left alone (--usb-id adds it)\r\n"));
}

TEST_F(BenchJobTest, ADeviceThatRefusesTheHandshakeIsSetAsideUntilPluggedInAgain) {
    StartDetecting();
    HandsetConfig refusing;
    refusing.faults.refuseHandshakes = 1000;
    auto bad = Plug("BAD", refusing);
    EXPECT_EQ(bad->HandshakeRequests(), 3u);
    dlg_->OnDeviceChange(DeviceChange::kArrival, paths_[0]);
    EXPECT_EQ(bad->HandshakeRequests(), 3u) << "set aside";
    bus_.Unplug(paths_[0]);
    bus_.Plug(bad);
    PumpPending();
    EXPECT_EQ(bad->HandshakeRequests(), 6u) << "plugged in again";

    for (int index = 0; index < kPortCount; ++index) {
        Plug("OK" + std::to_string(index));
    }
    EXPECT_EQ(dlg_->m_nDetected, kPortCount);
    EXPECT_EQ(bad->HandshakeRequests(), 6u);
}

TEST_F(BenchJobTest, DeviceThatNeverAcknowledgesStaysUnattached) {
    ImageManifest pda;
    Choose(kKindPda, "a.nb0", PdaSpec(100), &pda);
    dlg_->OnDetect();
    HandsetConfig mute;
    mute.faults.refuseHandshakes = 3;
    Plug("MUTE", mute);
    EXPECT_EQ(dlg_->m_nDetected, 0);
    EXPECT_EQ(dlg_->m_FreePortStack.Top(), 0);
    EXPECT_THAT(dlg_->PortLog(0),
                HasSubstr("[Error:0] USB no ack. Check ActiveSync. TimeOut:-1\r\n"));
}

TEST_F(BenchJobTest, VersionIsReadOnlyWhenAnEbootImageIsChosen) {
    ImageManifest pda;
    Choose(kKindPda, "a.nb0", PdaSpec(100), &pda);
    dlg_->OnDetect();
    HandsetConfig config;
    config.bootloaderVersion = 0x12345678;
    Plug("NOEBOOT", config);
    EXPECT_EQ(dlg_->m_dwBootloaderVersion.load(), 0u);

    ImageSpec eboot;
    eboot.format = ImageFormat::kEboot;
    ImageManifest ebootManifest;
    Choose(kKindEboot, "e.eb0", eboot, &ebootManifest);
    Plug("EBOOT", config);
    EXPECT_EQ(dlg_->m_dwBootloaderVersion.load(), 0x12345678u);
    EXPECT_THAT(dlg_->MainLog(),
                HasSubstr("[Setup:1] Target Device BOOTLOADER version = 12345678\r\n"));
}

TEST_F(BenchJobTest, ClosingMidJobStopsAndJoinsTheWorkers) {
    SetProtocolTimeouts({60000, 60000, 2000});  // a stalled device would hold a worker a minute
    ImageManifest pda;
    Choose(kKindPda, "a.nb0", PdaSpec(100000), &pda);
    dlg_->OnDetect();
    HandsetConfig stalled;
    stalled.faults.stallAt = 4;
    Plug("STALL", stalled);
    dlg_->OnStartDownloading();
    PumpUntil([this] { return dlg_->m_PortSlot[0].nState.load() == kPortDownloading; });
    view_.messageBoxAnswers.push_back(MessageResult::kOk);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(dlg_->OnClose());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(BenchJobTest, ASlotMapPinsSocketsToPortsAndUnmappedSocketsTakeTheOthers) {
    std::string error;
    ASSERT_TRUE(dlg_->m_DeviceChoice.AddSlotLines("# hub sockets\n5 = sim-1.2\n0=sim-1.3\n",
                                                  kPortCount, error))
        << error;
    StartDetecting();
    Plug("A");  // sim-1.1, unmapped: port 0 is pinned, so the next free one
    Plug("B");  // sim-1.2
    Plug("C");  // sim-1.3
    Plug("D");  // sim-1.4
    EXPECT_EQ(Port("A"), 1);
    EXPECT_EQ(Port("B"), 5);
    EXPECT_EQ(Port("C"), 0);
    EXPECT_EQ(Port("D"), 2);
    EXPECT_EQ(dlg_->m_nDetected, 4);
}

TEST_F(BenchJobTest, AnUnmappedSocketNeverTakesAPinnedPort) {
    std::string error;
    for (int port = 0; port < kPortCount - 1; ++port) {
        const std::string slot = std::to_string(port) + "=sim-1." + std::to_string(port + 3);
        ASSERT_TRUE(dlg_->m_DeviceChoice.AddSlot(slot, kPortCount, error)) << error;
    }
    StartDetecting();
    Plug("A");
    auto second = Plug("B");
    Plug("C");  // sim-1.3, pinned to port 0
    EXPECT_EQ(Port("A"), kPortCount - 1);
    EXPECT_EQ(Port("B"), -1);
    EXPECT_EQ(second->HandshakeRequests(), 0u);
    EXPECT_THAT(dlg_->MainLog(), HasSubstr("[Setup] No free port for "));
    EXPECT_EQ(Port("C"), 0);
}

TEST_F(BenchJobTest, OnlyChosenHandsetsAttachAndOthersAreNeverSentAHandshake) {
    dlg_->m_DeviceChoice.Choose("B");        // by serial
    dlg_->m_DeviceChoice.Choose("sim-1.3");  // by port path
    StartDetecting();
    auto other = Plug("A");
    Plug("B");
    Plug("C");
    EXPECT_EQ(Port("A"), -1);
    EXPECT_EQ(other->HandshakeRequests(), 0u);
    EXPECT_THAT(dlg_->MainLog(), HasSubstr(") is not a chosen device: left alone\r\n"));
    EXPECT_EQ(Port("B"), 0);
    EXPECT_EQ(Port("C"), 1);
}

}  // namespace
}  // namespace varnel::test
