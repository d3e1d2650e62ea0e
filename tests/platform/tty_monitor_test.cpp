// The tty device monitor: entries that appear in and vanish from the watched folder are reported
// as arrivals and removals of their device paths.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/tty_monitor.h"
#include "support/image_dir.h"
#include "tests/platform/device_event_log.h"
#include "tests/platform/pty_device.h"
#include "transport/device_path.h"

namespace varnel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// The arrival and the removal of the tty entry `name`.
std::string Plus(const std::string& name) {
    return DeviceEventLog::Arrival(TtyDevicePath(name));
}
std::string Minus(const std::string& name) {
    return DeviceEventLog::Removal(TtyDevicePath(name));
}

class TtyMonitorTest : public ::testing::Test {
  protected:
    TtyMonitorTest() : devices_(folder_.Path() + "/by-id"), monitor_(devices_) {
        monitor_.AddListener(&log_);
    }
    ~TtyMonitorTest() override { monitor_.Stop(); }

    ImageDir folder_;
    const std::string devices_;
    DeviceEventLog log_;
    TtyDeviceMonitor monitor_;
};

TEST_F(TtyMonitorTest, EntriesCreatedAndDeletedAreArrivalsAndRemovals) {
    std::filesystem::create_directories(devices_);
    auto early = std::make_unique<PtyDevice>(devices_, "early");
    ASSERT_TRUE(monitor_.Start());

    auto a = std::make_unique<PtyDevice>(devices_, "a");
    auto b = std::make_unique<PtyDevice>(devices_, "b");
    EXPECT_THAT(log_.WaitFor(2), ElementsAre(Plus("a"), Plus("b")))
        << "a node present before is no arrival";
    a->Unplug();
    EXPECT_THAT(log_.WaitFor(3), ElementsAre(Plus("a"), Plus("b"), Minus("a")));
    log_.Take();

    // A caller that wants present devices treated as arriving asks for them.
    monitor_.AnnouncePresent();
    EXPECT_THAT(log_.WaitFor(2), UnorderedElementsAre(Plus("early"), Plus("b")));
    log_.Take();

    // A link made under a hidden name and renamed into place (as udev does) arrives once, by
    // its final name.
    ::symlink("/dev/null", (devices_ + "/.tmp-c").c_str());
    ::rename((devices_ + "/.tmp-c").c_str(), (devices_ + "/c").c_str());
    EXPECT_THAT(log_.WaitFor(1), ElementsAre(Plus("c")));

    monitor_.Stop();
    log_.Take();
    b->Unplug();
    EXPECT_TRUE(log_.WaitFor(1, std::chrono::milliseconds(200)).empty())
        << "nothing is reported after Stop";
}

TEST_F(TtyMonitorTest, AFolderThatComesAndGoesIsFollowed) {
    ASSERT_TRUE(monitor_.Start()) << "a missing folder is waited for";
    std::filesystem::create_directories(devices_);
    auto first = std::make_unique<PtyDevice>(devices_, "first");
    EXPECT_THAT(log_.WaitFor(1), ElementsAre(Plus("first")));

    // The last device goes and takes the folder with it, as udev does with its by-id folder.
    std::filesystem::remove_all(devices_);
    EXPECT_THAT(log_.WaitFor(2), ElementsAre(Plus("first"), Minus("first")));

    std::filesystem::create_directories(devices_);
    auto second = std::make_unique<PtyDevice>(devices_, "second");
    EXPECT_THAT(log_.WaitFor(3), ElementsAre(Plus("first"), Minus("first"), Plus("second")));
}

}  // namespace
}  // namespace varnel::test
