#include "platform/linux/modem_manager_rules.h"
#include "app/sync_software_control.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace varnel {
namespace {

constexpr UsbId kSim{0xF055, 0x56D1};
constexpr UsbId kOther{0x04E8, 0x1234};

const std::string kPackagedRules =
    "# boot loaders\n"
    "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"f055\", ATTRS{idProduct}==\"56d1\", "
    "ENV{VARNEL_BOOTLOADER}=\"1\"\n"
    "ENV{VARNEL_BOOTLOADER}==\"1\", SUBSYSTEM==\"usb|tty\", TAG+=\"uaccess\", "
    "ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";

TEST(RulesKeepModemManagerOffTest, RecognisesOnlyRulesThatReallyMarkTheId) {
    EXPECT_TRUE(RulesKeepModemManagerOff({kPackagedRules}, kSim));
    EXPECT_FALSE(RulesKeepModemManagerOff({kPackagedRules}, kOther));
    // The boot-loader mark alone does nothing without the rule that turns it into the ignore.
    EXPECT_FALSE(RulesKeepModemManagerOff(
        {kPackagedRules.substr(0, kPackagedRules.find("ENV{VARNEL_BOOTLOADER}==")), ""}, kSim));
    // A local rule, continued over two lines, upper-case hex, in another file.
    const std::string local =
        "ATTR{idVendor}==\"04E8\", ATTR{idProduct}==\"1234\", \\\n"
        "  ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
    EXPECT_TRUE(RulesKeepModemManagerOff({"", local}, kOther));
    EXPECT_FALSE(RulesKeepModemManagerOff({"# " + local}, kOther));
    // Only the product matching is not enough.
    EXPECT_FALSE(RulesKeepModemManagerOff(
        {"ATTR{idVendor}==\"04e8\", ATTR{idProduct}==\"9999\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"},
        kOther));
}

std::string ReadPackagingFile(const std::string& name) {
    std::ifstream file(std::string(VARNEL_PACKAGING_DIR) + "/" + name);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(RulesKeepModemManagerOffTest, TheShippedRulesAndTheDropInTemplateAreRecognised) {
    const std::string packaged = ReadPackagingFile("70-varnel.rules");
    ASSERT_FALSE(packaged.empty());
    EXPECT_TRUE(RulesKeepModemManagerOff({packaged}, kSim));
    EXPECT_FALSE(RulesKeepModemManagerOff({packaged}, kOther));
    // The template's example for 04e8:1234, uncommented as its comment says.
    const std::string local = std::regex_replace(ReadPackagingFile("69-varnel-local.rules"),
                                                 std::regex("\n#SUBSYSTEM"), "\nSUBSYSTEM");
    EXPECT_FALSE(
        RulesKeepModemManagerOff({ReadPackagingFile("69-varnel-local.rules"), packaged}, kOther));
    EXPECT_TRUE(RulesKeepModemManagerOff({local, packaged}, kOther));
}

class FakeUdevMarks final : public UdevMarks {
  public:
    std::vector<UdevMatchingDevice> PresentDevices(const std::vector<UsbId>&) override {
        return present;
    }
    std::vector<std::string> InstalledRules() override { return rules; }

    std::vector<UdevMatchingDevice> present;
    std::vector<std::string> rules;
};

TEST(ModemManagerLeftRunningReasonTest, LeavesItRunningOnlyWhenEveryDeviceIsKeptOff) {
    FakeUdevMarks udev;
    EXPECT_EQ(ModemManagerLeftRunningReason(udev, {kSim}), std::nullopt);
    udev.rules = {kPackagedRules};
    EXPECT_NE(ModemManagerLeftRunningReason(udev, {kSim}), std::nullopt);
    // A folder of ttys has no match list to vouch for.
    EXPECT_EQ(ModemManagerLeftRunningReason(udev, {}), std::nullopt);

    // A device plugged in before the rules were loaded lacks the mark.
    udev.present = {{"ttyACM0", kSim, true}, {"1-2", kSim, false}};
    EXPECT_EQ(ModemManagerLeftRunningReason(udev, {kSim}), std::nullopt);

    // A marked device vouches for its id; an id neither present nor in the rules does not pass.
    udev.rules.clear();
    udev.present = {{"ttyACM0", kOther, true}};
    const std::optional<std::string> reason = ModemManagerLeftRunningReason(udev, {kOther});
    ASSERT_NE(reason, std::nullopt);
    EXPECT_NE(reason->find("1 matching device"), std::string::npos);
    EXPECT_EQ(ModemManagerLeftRunningReason(udev, {kOther, kSim}), std::nullopt);
}

class CountingSync final : public SyncSoftware {
  public:
    void StopSyncSoftware() override { ++stops; }
    void RestartSyncSoftware() override {}
    KilledFlags SaveKilledFlags() override { return {}; }
    void ClearKilledFlags() override {}
    void RestoreKilledFlags(const KilledFlags&) override {}

    int stops = 0;
};

class CapturedLog final : public MainLogSink {
  public:
    void AppendMainLogText(std::string_view entry) override { text += entry; }
    std::string text;
};

TEST(SyncSoftwareUnlessKeptOffTest, SaysOnceWhyItLeftItRunningAndStopsOtherwise) {
    CountingSync inner;
    CapturedLog log;
    std::optional<std::string> reason = "kept off";
    SyncSoftwareUnlessKeptOff sync(inner, log, [&reason] { return reason; });
    sync.StopSyncSoftware();
    sync.StopSyncSoftware();
    EXPECT_EQ(inner.stops, 0);
    EXPECT_EQ(log.text, "[Setup] ModemManager left running: kept off\r\n");

    reason.reset();
    sync.StopSyncSoftware();
    EXPECT_EQ(inner.stops, 1);
    reason = "kept off";
    sync.StopSyncSoftware();
    EXPECT_EQ(log.text,
              "[Setup] ModemManager left running: kept off\r\n"
              "[Setup] ModemManager left running: kept off\r\n");
}

}  // namespace
}  // namespace varnel
