#include "app/startup_decisions.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>

#include "fake_sync_host.h"

namespace varnel::testing {
namespace {

class FakeVersions final : public OsVersionProvider {
  public:
    bool known = true;
    OsVersionInfo version;
    bool GetVersion(OsVersionInfo& out) override {
        out = version;
        return known;
    }
};

class RecordingWindow final : public StartupWindow {
  public:
    std::vector<std::pair<std::string, std::string>> messages;
    int closeRequests = 0;
    std::string title;
    std::vector<std::string> menuItems;
    bool registers = true;
    uint32_t registrationError = 0;

    void ShowMessageBox(const std::string& text, const std::string& caption) override {
        messages.emplace_back(text, caption);
    }
    void RequestClose() override { ++closeRequests; }
    void SetWindowTitle(const std::string& text) override { title = text; }
    void AppendAboutMenuItem(const std::string& text) override { menuItems.push_back(text); }
    bool RegisterDeviceNotifications(uint32_t& errorCode) override {
        errorCode = registrationError;
        return registers;
    }
};

constexpr char kTitle[] = "Varnel Downloader v2.11";

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override { g_nOsKind = -1; }

    FakeClock clock;
    FakeSyncHost host{clock};
    RecordingLog log;
    RecordingDebug debug;
    SyncSoftwareControl sync{host, log, debug, clock};
    FakeVersions versions;
    StringTable strings;
    StartupDecisions startup{versions, strings, sync};
    RecordingWindow window;
};

TEST_F(StartupTest, WindowsVersionsChooseKindTransportSyncPathAndSetupLine) {
    struct Case {
        uint32_t major, minor;
        int kind, vista;
        TransportClass transport;
        const char* line;
    };
    const Case cases[] = {
        {6, 1, 2, 1, TransportClass::kWinUsbInterface, "[Setup] Windows 7 \r\n"},
        {6, 0, 1, 1, TransportClass::kWinUsbInterface, "[Setup] Windows Vista \r\n"},
        {6, 2, 1, 1, TransportClass::kWinUsbInterface, "[Setup] Windows Vista \r\n"},
        {10, 0, 1, 1, TransportClass::kWinUsbInterface, "[Setup] Windows Vista \r\n"},
        {5, 0, 0, 0, TransportClass::kUsbInterface, "[Setup] Windows XP \r\n"},
        {5, 1, 0, 0, TransportClass::kUsbInterface, "[Setup] Windows XP \r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.major << "." << c.minor);
        FakeSyncHost localHost{clock};
        localHost.services["WcesComm"].state = kServiceStopped;
        SyncSoftwareControl localSync{localHost, log, debug, clock};
        FakeVersions localVersions;
        localVersions.version = {OsFamily::kWindows, c.major, c.minor, ""};
        StartupDecisions localStartup{localVersions, strings, localSync};
        RecordingWindow localWindow;

        EXPECT_TRUE(localStartup.DecideOs(localWindow));
        EXPECT_TRUE(localWindow.messages.empty());
        EXPECT_EQ(localWindow.closeRequests, 0);
        EXPECT_EQ(g_nOsKind, c.kind);
        EXPECT_EQ(localStartup.VistaOrLater(), c.vista);
        EXPECT_EQ(localStartup.ChosenTransport(), c.transport);
        EXPECT_EQ(localStartup.OsSetupLine(), c.line);

        // The sync-software path follows: services on 6 and later, the process walk on 5.
        localStartup.Sync().StopSyncSoftware();
        EXPECT_EQ(localHost.netCommands.size(), c.vista ? 1u : 0u);
        EXPECT_EQ(localHost.snapshots, c.vista ? 0 : 1);
    }
}

TEST_F(StartupTest, UnsupportedOrUnknownVersionEndsTheInitialisation) {
    versions.version = {OsFamily::kWindows, 4, 0, ""};
    EXPECT_FALSE(startup.DecideOs(window));
    versions.known = false;
    EXPECT_FALSE(startup.DecideOs(window));
    using Message = std::pair<std::string, std::string>;
    EXPECT_EQ(window.messages,
              (std::vector<Message>{{"Execute application in Win2K lately", kTitle},
                                    {"Cannot execute app by GetVersionEx API fail", kTitle}}));
    EXPECT_EQ(window.closeRequests, 2);
    EXPECT_EQ(g_nOsKind, -1);
}

TEST_F(StartupTest, LinuxNamesItselfInTheSetupLine) {
    versions.version = {OsFamily::kLinux, 6, 0, "6.1.0-18-amd64"};
    EXPECT_TRUE(startup.DecideOs(window));
    EXPECT_EQ(startup.OsSetupLine(), "[Setup] Linux 6.1.0-18-amd64 \r\n");
    EXPECT_EQ(startup.ChosenTransport(), TransportClass::kWinUsbInterface);

    versions.version = {OsFamily::kLinux, 5, 1, "6.1.0-18-amd64"};
    EXPECT_TRUE(startup.DecideOs(window));
    EXPECT_EQ(startup.ChosenTransport(), TransportClass::kUsbInterface);
    EXPECT_EQ(startup.OsSetupLine(), "[Setup] Linux 6.1.0-18-amd64 \r\n");
}

TEST_F(StartupTest, ShippedStringsGiveThirtyNineMegabytes) {
    startup.DecideDownloadRamSize(window);
    EXPECT_EQ(startup.DownloadRamSize(), 41777920u);
    EXPECT_EQ(startup.DownloadRamSize() >> 20, 39u);
    EXPECT_EQ(startup.DownloadRamSize() % 2032, 0u);
    EXPECT_EQ(startup.DownloadRamSize() % 2056, 0u);
    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(window.closeRequests, 0);
}

TEST_F(StartupTest, NoCommonMultipleWithinTheSizeShowsTheMessageAndGivesZero) {
    const std::pair<uint32_t, const char*> settings[] = {
        {kStringRamMegabytes, "0"},    {kStringRamMegabytes, "-3"},
        {kStringFlashUnit, "0"},       {kStringFlashUnitCount, "-1"},
        {kStringFlashUnit, "1048576"}, {kStringFlashUnit, "99999999999999999999"},
    };
    for (const auto& [id, value] : settings) {
        SCOPED_TRACE(value);
        StringTable localStrings;
        localStrings.Set(id, value);
        StartupDecisions localStartup{versions, localStrings, sync};
        RecordingWindow localWindow;
        localStartup.DecideDownloadRamSize(localWindow);
        EXPECT_EQ(localStartup.DownloadRamSize(), 0u);
        ASSERT_EQ(localWindow.messages.size(), 1u);
        EXPECT_EQ(localWindow.messages[0].first, "Usuable ram size cannot decide");
        EXPECT_EQ(localWindow.closeRequests, 1);
    }
}

TEST_F(StartupTest, RamSizeFollowsTheBlockAndStaysWithinThirtyTwoBits) {
    StringTable threeUnits;
    threeUnits.Set(kStringFlashUnitCount, "3");  // block 6168: common multiple 1566672
    EXPECT_EQ(DecideRamSize(threeUnits).dwDownloadRamSize, 26u * 1566672u);

    StringTable huge;
    huge.Set(kStringRamMegabytes, "5000");
    const RamSizeDecision capped = DecideRamSize(huge);
    EXPECT_TRUE(capped.bDecided);
    EXPECT_EQ(capped.dwDownloadRamSize % 522224, 0u);
    EXPECT_GT(uint64_t{capped.dwDownloadRamSize} + 522224,
              uint64_t{std::numeric_limits<uint32_t>::max()});

    StringTable suffixed;
    suffixed.Set(kStringRamMegabytes, "  40MB");
    EXPECT_EQ(DecideRamSize(suffixed).dwDownloadRamSize, 41777920u);
}

TEST_F(StartupTest, ParseDecimalReadsLikeAtolWithoutOverflow) {
    EXPECT_EQ(ParseDecimal(" +12abc"), 12);
    EXPECT_EQ(ParseDecimal("\t-5"), -5);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("x1"), 0);
    EXPECT_EQ(ParseDecimal("99999999999999999999999"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(ParseDecimal("-99999999999999999999999"), std::numeric_limits<int64_t>::min());
}

TEST_F(StartupTest, TitleAndAboutMenuItemComeFromTheStringTable) {
    startup.SetTitleAndSystemMenu(window);
    EXPECT_EQ(window.title, kTitle);
    EXPECT_EQ(window.menuItems,
              std::vector<std::string>{"Varnel Multi-Threaded Downloader Information..."});
    EXPECT_EQ(startup.ResourceString(kStringAboutBox),
              "Varnel Multi-Threaded Downloader Information...");

    strings.Set(kStringAboutBox, "");
    RecordingWindow bare;
    startup.SetTitleAndSystemMenu(bare);
    EXPECT_TRUE(bare.menuItems.empty());
}

TEST_F(StartupTest, FailedRegistrationShowsItsCodeAndClosesTheWindow) {
    startup.RegisterDeviceNotifications(window);
    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(window.closeRequests, 0);

    window.registers = false;
    window.registrationError = 1066;
    startup.RegisterDeviceNotifications(window);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].first, "HUB RegisterDeviceNotification failed: 1066\n");
    EXPECT_EQ(window.messages[0].second, "RegisterDeviceNotification");
    EXPECT_EQ(window.closeRequests, 1);
}

}  // namespace
}  // namespace varnel::testing
