#include "transport/device_path.h"

#include <gtest/gtest.h>

namespace varnel {
namespace {

TEST(DevicePath, UsbAndTtyPathsYieldTheirInstanceAsDeviceName) {
    const std::string usb = UsbDevicePath(0xF055, 0x56D1, "R58M123ABC");
    EXPECT_EQ(usb,
              "\\\\?\\usb#vid_f055&pid_56d1#R58M123ABC#{7E2B91C4-3A58-4F0D-B6E3-1C9A5D82F074}");
    EXPECT_EQ(DeviceNameFromPath(usb), "R58M123ABC");
    EXPECT_EQ(DeviceNameFromPath(UsbDevicePath(1, 2, "1-2.3")), "1-2.3");
    EXPECT_EQ(DeviceNameFromPath(TtyDevicePath("handset-4")), "handset-4");
}

TEST(DevicePath, NamesOfOddPaths) {
    EXPECT_EQ(DeviceNameFromPath("no-hash-at-all"), "");
    EXPECT_EQ(DeviceNameFromPath("only#one"), "only");
    EXPECT_EQ(DeviceNameFromPath("a##b"), "");
    EXPECT_EQ(DeviceNameFromPath(""), "");
}

TEST(DevicePath, ComparisonIgnoresLetterCaseOnly) {
    EXPECT_TRUE(EqualIgnoringCase("\\\\?\\USB#VID_F055#Abc#{X}", "\\\\?\\usb#vid_f055#aBC#{x}"));
    EXPECT_FALSE(EqualIgnoringCase("abc", "abd"));
    EXPECT_FALSE(EqualIgnoringCase("abc", "abcd"));
}

}  // namespace
}  // namespace varnel
