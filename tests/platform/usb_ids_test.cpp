// The USB match list and the parts of a USB device path made from what a device reports.
#include <stdlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/udev_tty.h"
#include "platform/linux/usb_match_list.h"
#include "sim/sim_bus.h"
#include "transport/device_path.h"

namespace varnel::test {
namespace {

using ::testing::ElementsAre;

class ScopedVariable {
  public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            saved_ = old;
        }
        ::setenv(name, value, 1);
    }
    ~ScopedVariable() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(UsbIdsTest, IdsAreHexPairsAndAnythingElseIsRefused) {
    EXPECT_EQ(ParseUsbId("04e8:685D"), (UsbId{0x04E8, 0x685D}));
    EXPECT_EQ(ParseUsbId("1:2"), (UsbId{1, 2}));
    for (const char* bad : {"", "04e8", "04e8:", ":685d", "04e8:685d:1", "12345:1", "0x4:1",
                            "g4e8:685d", "04e8-685d", " 4e8:685d"}) {
        EXPECT_EQ(ParseUsbId(bad), std::nullopt) << bad;
    }
}

TEST(UsbIdsTest, TheMatchListHasTheSimulatorThenTheVariableThenTheOptionsWithoutRepeats) {
    std::vector<UsbId> ids;
    std::string error;
    {
        ScopedVariable variable(kUsbIdsVariable, " 04e8:685d,1234:5678  04E8:685D ");
        ASSERT_TRUE(BuildUsbMatchList({"abcd:ef01", "f055:56d1"}, ids, error)) << error;
        EXPECT_THAT(ids, ElementsAre(UsbId{kSimVendorId, kSimProductId}, UsbId{0x04E8, 0x685D},
                                     UsbId{0x1234, 0x5678}, UsbId{0xABCD, 0xEF01}));
        EXPECT_TRUE(MatchesUsbId(ids, 0x1234, 0x5678));
        EXPECT_FALSE(MatchesUsbId(ids, 0x1234, 0x5679));
    }
    {
        ScopedVariable variable(kUsbIdsVariable, "04e8:685d;1234:5678");
        EXPECT_FALSE(BuildUsbMatchList({}, ids, error));
        EXPECT_EQ(error, "'04e8:685d;1234:5678' is not a USB id VID:PID (hex)");
    }
    ::unsetenv(kUsbIdsVariable);
    EXPECT_FALSE(BuildUsbMatchList({"nope"}, ids, error));
    ASSERT_TRUE(BuildUsbMatchList({}, ids, error));
    EXPECT_THAT(ids, ElementsAre(UsbId{kSimVendorId, kSimProductId}));
}

TEST(UsbIdsTest, TheIdsFileHasCommentsAndIsReadWithinItsLimit) {
    const std::string path = ::testing::TempDir() + "usb-ids";
    std::vector<std::string> texts{"f055:56d1"};
    std::string error;
    ASSERT_TRUE(ReadUsbIdsFile((path + ".missing").c_str(), texts, error));
    EXPECT_THAT(texts, ElementsAre("f055:56d1"));
    {
        std::ofstream file(path, std::ios::trunc);
        file << "# bench 4\n04e8:685d, 1234:5678 # flasher\r\n\n\t#abcd:ef01\nabcd:0001";
    }
    ASSERT_TRUE(ReadUsbIdsFile(path.c_str(), texts, error)) << error;
    EXPECT_THAT(texts, ElementsAre("f055:56d1", "04e8:685d", "1234:5678", "abcd:0001"));
    {
        std::ofstream file(path, std::ios::trunc);
        file << "04e8:685d 04e8-685e\n";
    }
    EXPECT_FALSE(ReadUsbIdsFile(path.c_str(), texts, error));
    EXPECT_EQ(error, "'04e8-685e' in " + path + " is not a USB id VID:PID (hex)");
    EXPECT_EQ(texts.size(), 4u);
    {
        std::ofstream file(path, std::ios::trunc);
        file << std::string(64 * 1024 + 1, '#');
    }
    EXPECT_FALSE(ReadUsbIdsFile(path.c_str(), texts, error));
    EXPECT_EQ(error, "cannot read " + path + ": larger than 65536 bytes");
    EXPECT_FALSE(ReadUsbIdsFile(::testing::TempDir().c_str(), texts, error));
    std::remove(path.c_str());
}

TEST(UsbIdsTest, SerialsAreMadeSafeForTheDevicePath) {
    EXPECT_EQ(SanitiseSerial("R58M12AB.x-y_z"), "R58M12AB.x-y_z");
    EXPECT_EQ(SanitiseSerial("a#b{c}\\d e/\xff\x01"), "a_b_c__d_e___");
    EXPECT_EQ(SanitiseSerial(std::string(100, 'S')).size(), 64u);
    EXPECT_EQ(SanitiseSerial(""), "");
    // A '#' in the serial would otherwise move the cut the attach makes to name the device.
    EXPECT_EQ(DeviceNameFromPath(UsbDevicePath(1, 2, SanitiseSerial("AB#CD"))), "AB_CD");
}

TEST(UsbIdsTest, BusPortChainsNameThePlaceInTheHubTree) {
    const uint8_t ports[] = {2, 3, 1};
    EXPECT_EQ(BusPortChain(1, ports, 1), "1-2");
    EXPECT_EQ(BusPortChain(3, ports, 3), "3-2.3.1");
    EXPECT_EQ(BusPortChain(2, ports, 0), "2");
}

TEST(UsbIdsTest, ATtysPortPathIsTheChainOfItsUsbDeviceAsLibusbReportsIt) {
    const UdevProperties tty{
        {"DEVPATH", "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.0/tty/ttyACM0"},
        {"ID_PATH", "pci-0000:00:14.0-usb-0:2.3:1.0"},
        {"ID_SERIAL_SHORT", "R58M"}};
    EXPECT_EQ(IdentityOfProperties(tty), (DeviceIdentity{"R58M", "1-2.3"}));
    EXPECT_EQ(BusPortChainOfDevpath("/devices/platform/serial8250/tty/ttyS0"), "");
    EXPECT_EQ(BusPortChainOfDevpath("/devices/x/usb2/2-1/2-1:1.0/tty/ttyACM1"), "2-1");
}

}  // namespace
}  // namespace varnel::test
