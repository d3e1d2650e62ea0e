// varnel-cli on the libusb transport, run as a process against a boot loader emulated in this
// process: the child reaches it through umockdev's preload library and the testbed it inherits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "engine/protocol.h"
#include "support/image_dir.h"
#include "tests/platform/child_process.h"
#include "tests/usb/fake_usb_bus.h"

namespace varnel::test {
namespace {

using ::testing::HasSubstr;

TEST(CliUsbTest, AHandsetOnTheBusRunsAWholeJobThroughTheCommandLine) {
    if (!FakeUsbBus::Available()) {
        GTEST_SKIP() << "needs umockdev's preload library (run it through ctest)";
    }
    FakeUsbBus bus;
    FakeUsbDeviceConfig config;
    config.serial = "CLI#7";
    FakeUsbDevice* device = bus.Plug(config);
    ASSERT_NE(device, nullptr);
    ImageDir folder;
    ImageSpec layout;
    layout.format = ImageFormat::kPda;
    layout.pda.dataSize = 12000;
    ImageManifest pda;
    const std::string pdaPath = folder.Build("a.nb0", layout, &pda);
    const std::string report = folder.Path() + "/report.json";

    const ChildResult cli =
        RunChild(VARNEL_CLI_PROGRAM,
                 {"--transport", "libusb", "--attach-present", "--ports", "1", "--pda", pdaPath,
                  "--skip-boot-wait", "--keep-sync-software", "--report", report});

    ASSERT_EQ(cli.nExitStatus, 0) << cli.strErr << cli.strOut;
    EXPECT_THAT(cli.strOut, HasSubstr("[Success] All Download finished."));
    std::ifstream in(report);
    const nlohmann::json written = nlohmann::json::parse(in, nullptr, false);
    ASSERT_EQ(written["ports"].size(), 1u);
    EXPECT_EQ(written["ports"][0]["state"], "finished");
    // The '#' of the serial would cut the device path; the port knows the handset by its
    // sanitised serial.
    EXPECT_EQ(written["ports"][0]["device"], "CLI_7");
    EXPECT_EQ(device->Handset().FlashedBytes(kCmdWritePdaPiece),
              RegionBytes(pdaPath, pda, "pda.data"));
    EXPECT_TRUE(device->Handset().Launched());
}

}  // namespace
}  // namespace varnel::test
