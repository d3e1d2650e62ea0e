// varnel-cli's devices on the tty transport, run as a process: the listing of the nodes present,
// the slot map that pins a handset's place to a port, and the refusal of a wrong map.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/linux/fd_util.h"
#include "support/image_dir.h"
#include "tests/platform/child_process.h"
#include "tests/platform/pty_device.h"
#include "tests/platform/sim_process.h"

namespace varnel::test {
namespace {

using ::testing::HasSubstr;

constexpr char kCli[] = VARNEL_CLI_PROGRAM;

class DeviceChoiceTest : public ::testing::Test {
  protected:
    DeviceChoiceTest() { std::filesystem::create_directories(devices_); }

    std::vector<std::string> OnFolder(const std::vector<std::string>& extra) const {
        std::vector<std::string> arguments = {"--transport", "tty", "--tty-dir", devices_};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }

    ImageDir folder_;
    const std::string devices_ = folder_.Path() + "/by-id";
};

TEST_F(DeviceChoiceTest, ListDevicesGivesEveryNodeAsJsonWithWhetherItCanBeOpened) {
    PtyDevice free(devices_, "FREE");
    PtyDevice held(devices_, "HELD");
    UniqueFd holder(::open(held.Entry().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0);

    const ChildResult cli = RunChild(kCli, OnFolder({"--list-devices", "--json"}));

    ASSERT_EQ(cli.nExitStatus, 0) << cli.strErr;
    const nlohmann::json list = nlohmann::json::parse(cli.strOut, nullptr, false);
    ASSERT_TRUE(list.contains("devices")) << cli.strOut;
    ASSERT_EQ(list["devices"].size(), 2u);
    const nlohmann::json& first = list["devices"][0];
    const nlohmann::json& second = list["devices"][1];
    EXPECT_EQ(first["device"], free.DevicePath());
    EXPECT_EQ(first["port_path"], "FREE");
    EXPECT_EQ(first["transport"], "tty");
    EXPECT_EQ(first["openable"], true);
    EXPECT_TRUE(first["attached_port"].is_null());
    EXPECT_EQ(second["device"], held.DevicePath());
    EXPECT_EQ(second["openable"], false);
    EXPECT_EQ(second["why_not"], "in use by another port or program");
}

TEST_F(DeviceChoiceTest, AWrongSlotMapIsRefusedWithExitTwo) {
    const std::string mapFile = folder_.Path() + "/slots";
    std::ofstream(mapFile) << "# bench A\n0=SIM1\n\n1 SIM0\n";
    const std::vector<std::vector<std::string>> wrongs = {{"--ports", "2", "--slot", "2=SIM0"},
                                                          {"--slot=-1=SIM0"},
                                                          {"--slot", "0=SIM0", "--slot", "0=SIM1"},
                                                          {"--slot", "0=SIM0", "--slot", "1=SIM0"},
                                                          {"--slot-map", mapFile},
                                                          {"--slot-map", folder_.Path() + "/none"}};
    const std::vector<std::string> reasons = {"port 2 is not 0 to 1",
                                              "port -1 is not 0 to 7",
                                              "port 0 is mapped twice",
                                              "port path SIM0 is mapped twice",
                                              "line 4: '1 SIM0' is not N=PORTPATH",
                                              "--slot-map: cannot read"};
    for (size_t index = 0; index < wrongs.size(); ++index) {
        SCOPED_TRACE(index);
        const ChildResult cli = RunChild(kCli, OnFolder(wrongs[index]));
        EXPECT_EQ(cli.nExitStatus, 2);
        EXPECT_THAT(cli.strErr, HasSubstr(reasons[index]));
    }
}

TEST_F(DeviceChoiceTest, ASlotMapPutsEachSimulatedHandsetOnItsPinnedPort) {
    ImageSpec layout;
    layout.format = ImageFormat::kPda;
    layout.pda.dataSize = 3000;
    ImageManifest pda;
    const std::string pdaPath = folder_.Build("a.nb0", layout, &pda);
    const std::string report = folder_.Path() + "/report.json";
    SimProcess sim(devices_, {"--handsets", "3"});

    const ChildResult cli = RunChild(
        kCli,
        OnFolder({"--pda", pdaPath, "--skip-boot-wait", "--keep-sync-software", "--attach-present",
                  "--ports", "3", "--slot", "0=SIM2", "--slot", "2=SIM0", "--report", report}));

    ASSERT_EQ(cli.nExitStatus, 0) << cli.strErr << cli.strOut;
    std::ifstream in(report);
    const nlohmann::json written = nlohmann::json::parse(in, nullptr, false);
    ASSERT_EQ(written["ports"].size(), 3u) << written.dump();
    for (const auto& port : written["ports"]) {
        const int number = port["port"].get<int>();
        EXPECT_EQ(port["device"], "SIM" + std::to_string(2 - number));
        EXPECT_EQ(port["port_path"], "SIM" + std::to_string(2 - number));
    }
}

}  // namespace
}  // namespace varnel::test
