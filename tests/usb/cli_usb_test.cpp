// varnel-cli on the libusb transport, run as a process against a boot loader emulated in this
// process: the child reaches it through umockdev's preload library and the testbed it inherits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "support/image_dir.h"
#include "tests/platform/child_process.h"
#include "tests/usb/fake_usb_bus.h"

namespace varnel::test {
namespace {

using ::testing::HasSubstr;

class CliUsbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!FakeUsbBus::Available()) {
            GTEST_SKIP() << "needs umockdev's preload library (run it through ctest)";
        }
        bus_ = std::make_unique<FakeUsbBus>();
        ImageSpec layout;
        layout.format = ImageFormat::kPda;
        layout.pda.dataSize = 12000;
        pdaPath_ = folder_.Build("a.nb0", layout, &pda_);
    }
    // varnel-cli on the libusb transport, taking the handset already on the bus at Detect.
    ChildResult RunCli(const std::vector<std::string>& extra) {
        std::vector<std::string> arguments = {
            "--transport", "libusb",           "--attach-present",     "--ports",  "1",    "--pda",
            pdaPath_,      "--skip-boot-wait", "--keep-sync-software", "--report", report_};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return RunChild(VARNEL_CLI_PROGRAM, arguments);
    }

    std::unique_ptr<FakeUsbBus> bus_;
    ImageDir folder_;
    std::string pdaPath_;
    ImageManifest pda_;
    const std::string report_ = folder_.Path() + "/report.json";
};

TEST_F(CliUsbTest, AHandsetOnTheBusRunsAWholeJobThroughTheCommandLine) {
    FakeUsbDeviceConfig config;
    config.serial = "CLI#7";
    FakeUsbDevice* device = bus_->Plug(config);
    ASSERT_NE(device, nullptr);

    const ChildResult cli = RunCli({});

    ASSERT_EQ(cli.nExitStatus, 0) << cli.strErr << cli.strOut;
    EXPECT_THAT(cli.strOut, HasSubstr("[Success] All Download finished."));
    std::ifstream in(report_);
    const nlohmann::json written = nlohmann::json::parse(in, nullptr, false);
    ASSERT_EQ(written["ports"].size(), 1u);
    EXPECT_EQ(written["ports"][0]["state"], "finished");
    // The '#' of the serial would cut the device path; the port knows the handset by its
    // sanitised serial and its USB port.
    EXPECT_EQ(written["ports"][0]["device"], "CLI_7@1-1");
    EXPECT_EQ(written["ports"][0]["serial"], "CLI_7");
    EXPECT_EQ(written["ports"][0]["port_path"], "1-1");
    EXPECT_EQ(device->Handset().FlashedBytes(kCmdWritePdaPiece),
              RegionBytes(pdaPath_, pda_, "pda.data"));
    EXPECT_TRUE(device->Handset().Launched());
}

TEST_F(CliUsbTest, ADeviceWithoutPipesIsReportedAndNotAttached) {
    FakeUsbDeviceConfig bare;
    bare.endpoints = 0;
    ASSERT_NE(bus_->Plug(bare), nullptr);

    const ChildResult cli = RunCli({"--detect-timeout", "2"});

    EXPECT_EQ(cli.nExitStatus, 1) << cli.strErr << cli.strOut;
    EXPECT_THAT(cli.strErr, HasSubstr("varnel-cli: WinUsb_QueryPipe Error 1\n"));
    EXPECT_THAT(cli.strErr, HasSubstr("varnel-cli: SetPipePolicy Error 1\n"));
    EXPECT_THAT(cli.strErr, HasSubstr("no handset attached within 2 seconds"));
}

}  // namespace
}  // namespace varnel::test
