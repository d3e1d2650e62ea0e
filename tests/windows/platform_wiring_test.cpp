#include "app/platform_wiring.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/fake_sync_host.h"
#include "app/startup_decisions.h"
#include "app/sync_software_control.h"

#include <windows.h>

namespace varnel {
namespace {

class SilentWindow final : public StartupWindow {
  public:
    int closeRequests = 0;
    void ShowMessageBox(const std::string&, const std::string&) override {}
    void RequestClose() override { ++closeRequests; }
    void SetWindowTitle(const std::string&) override {}
    void AppendAboutMenuItem(const std::string&) override {}
    bool RegisterDeviceNotifications(uint32_t&) override { return true; }
};

// The test prefix reports Wine's default, Windows 7 (6.1): the decision must follow that version
// whichever transport the ports were given, and the sync software goes through the services.
TEST(PlatformWiring, HostVersionPicksTransportClassAndSyncPath) {
    for (const TransportClass ports :
         {TransportClass::kUsbInterface, TransportClass::kWinUsbInterface}) {
        PlatformHost host = MakePlatformHost(ports, "");
        OsVersionInfo version;
        ASSERT_TRUE(host.versions->GetVersion(version));
        ASSERT_EQ(version.dwMajorVersion, 6u);
        ASSERT_EQ(version.dwMinorVersion, 1u);

        FakeClock clock;
        testing::RecordingLog log;
        SyncSoftwareControl sync{*host.syncHost, log, *host.debug, clock};
        StringTable strings;
        StartupDecisions startup{*host.versions, strings, sync};
        SilentWindow window;
        ASSERT_TRUE(startup.DecideOs(window));
        EXPECT_EQ(startup.ChosenTransport(), TransportClass::kWinUsbInterface);
        EXPECT_EQ(startup.VistaOrLater(), 1);
        EXPECT_EQ(startup.OsSetupLine(), "[Setup] Windows 7 \r\n");
        EXPECT_TRUE(host.bServiceManager);
        EXPECT_TRUE(host.bSyncControl);
        EXPECT_EQ(window.closeRequests, 0);
    }
}

// An empty record name keeps no record, and never touches the root key it would open.
TEST(PlatformWiring, EmptyStopRecordKeepsNoRecord) {
    PlatformHost host = MakePlatformHost(TransportClass::kWinUsbInterface, "");
    EXPECT_FALSE(host.syncHost->WriteStopRecord("WcesComm"));
    std::string text;
    EXPECT_FALSE(host.syncHost->ReadStopRecord(text));
}

TEST(PlatformWiring, PortWorkersRunAboveNormalPriority) {
    int priority = THREAD_PRIORITY_ERROR_RETURN;
    const auto worker = PlatformPortWorker(
        [&priority](PortThreadParam&) { priority = ::GetThreadPriority(::GetCurrentThread()); });
    std::thread thread([&worker] {
        PortThreadParam param{};
        worker(param);
    });
    thread.join();
    EXPECT_EQ(priority, THREAD_PRIORITY_ABOVE_NORMAL);
}

}  // namespace
}  // namespace varnel
