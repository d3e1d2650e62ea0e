// The Windows window's bench on its host: what a job stopped is started again however the
// window goes.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/win32/win32_bench.h"
#include "engine/clock.h"
#include "tests/app/fake_sync_host.h"
#include "ui/win32/win32_main_dialog.h"
#include "ui/win32/win32_window_thread.h"

namespace varnel::test {
namespace {

constexpr wchar_t kTestChoicesKey[] = L"Software\\Varnel\\Tests\\Bench";

TEST(Win32BenchTest, EndingTheSessionStartsTheStoppedSyncSoftwareAgainAndKeepsTheChoices) {
    FakeClock syncClock;
    testing::FakeSyncHost host(syncClock);
    const SyncSoftwareNames names;
    host.services[names.strMainService];
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestChoicesKey);

    Win32WindowThread windowThread;
    Win32MainDialog window;
    ASSERT_NE(window.Handle(), nullptr);
    Win32BenchOptions options;
    options.nSimulated = 1;
    options.syncHost = &host;
    options.strChoicesKey = kTestChoicesKey;
    Win32Bench bench(options, windowThread, window);
    std::string error;
    std::string warning;
    ASSERT_TRUE(bench.Start(error, warning)) << error;
    ASSERT_EQ(host.StopControls(names.strMainService), 1);

    // Asked whether the session may end, the window agrees and leaves the host as it is.
    EXPECT_EQ(SendMessageW(window.Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    EXPECT_EQ(host.Starts(names.strMainService), 0);

    SendMessageW(window.Handle(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_EQ(host.Starts(names.strMainService), 1);
    RegistryChoiceStore store(kTestChoicesKey);
    EXPECT_TRUE(ReadChoices(store).mode.has_value());
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestChoicesKey);
}

}  // namespace
}  // namespace varnel::test
