// Where a handset sits on the USB tree: its hub, its link speed from sysfs, and the warnings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/usb_topology.h"
#include "support/image_dir.h"

namespace varnel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;

TEST(UsbTopologyTest, SpeedAndHubComeOnlyFromABusPortChain) {
    ImageDir sysfs;
    std::filesystem::create_directories(sysfs.Path() + "/1-2.3");
    std::ofstream(sysfs.Path() + "/1-2.3/speed") << "12\n";
    std::ofstream(sysfs.Path() + "/speed") << "480\n";

    EXPECT_EQ(UsbSpeedMbps("1-2.3", sysfs.Path()), 12);
    EXPECT_EQ(UsbSpeedMbps("1-2.4", sysfs.Path()), 0);
    for (const char* notAChain : {"", "..", "1-", "-2", "1-2..3", "1-2.", "1-.2", "1-2/../..",
                                  "pci-0000:00:14.0-usb-0:2.3:1.0"}) {
        SCOPED_TRACE(notAChain);
        EXPECT_EQ(UsbSpeedMbps(notAChain, sysfs.Path() + "/1-2.3"), 0);
        EXPECT_EQ(HubOfPortPath(notAChain), "");
    }
    EXPECT_EQ(HubOfPortPath("1-2.3"), "1-2");
    EXPECT_EQ(HubOfPortPath("3-1.4.2"), "3-1.4");
    EXPECT_EQ(HubOfPortPath("1-2"), "usb1");
}

TEST(UsbTopologyTest, ASlowLinkAndAnOverfullHubAreWarnedOfWithSteadyKeys) {
    const std::vector<std::string> four = {"1-2.1", "1-2.2", "1-2.3", "1-2.4", "2-1"};
    EXPECT_TRUE(TopologyWarnings("1-2.4", kHighSpeedMbps, four).empty());

    std::vector<std::string> five = four;
    five.push_back("1-2.5");
    const auto warnings = TopologyWarnings("1-2.5", 12, five);
    ASSERT_THAT(warnings, ElementsAre(Field(&TopologyWarning::strKey, "speed 1-2.5"),
                                      Field(&TopologyWarning::strKey, "hub 1-2")));
    EXPECT_THAT(warnings[0].strText, HasSubstr("runs at 12 Mbit/s, below high speed"));
    EXPECT_THAT(warnings[1].strText, HasSubstr("5 handsets share the USB hub 1-2"));
}

}  // namespace
}  // namespace varnel::test
