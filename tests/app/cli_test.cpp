// varnel-cli end to end: the program run as a child process on simulated handsets, its exit
// status, what it prints, its report against the images and what the handsets flashed, and its
// log files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "images/format_entry.h"
#include "images/image_file.h"
#include "images/language_table.h"
#include "images/sha256.h"
#include "support/image_dir.h"
#include "tests/app/json_schema_check.h"
#include "tests/platform/child_process.h"

namespace varnel::test {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kProgram[] = VARNEL_CLI_PROGRAM;
constexpr char kAllFinished[] = "[Success] All Download finished. \n";
// The job's outcome follows that line.
std::string AllFinished(int finished, int failed) {
    return kAllFinished + ("[Result] " + std::to_string(finished) + " finished, " +
                           std::to_string(failed) + " failed\n");
}

// Handsets that answer at once and pauses a hundred times shorter: jobs take moments.
const std::vector<std::string> kFastBench = {"--sim-round-trip", "0",  "--sim-flash-rate", "0",
                                             "--sim-time-scale", "100"};

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Hex32(uint32_t value) {
    return FormatEntry("0x%08X", value);
}

// A log file's text without the time stamp that starts each of its lines; a line without one
// fails the test.
std::string Unstamped(const std::string& text) {
    static const std::regex kStamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )");
    std::string plain;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch stamp;
        EXPECT_TRUE(std::regex_search(line, stamp, kStamp)) << line;
        plain += line.substr(static_cast<size_t>(stamp.length(0))) + "\n";
    }
    return plain;
}

size_t LineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class CliTest : public ::testing::Test {
  protected:
    ChildResult Run(std::vector<std::string> args, bool fast = true) {
        if (fast) {
            args.insert(args.end(), kFastBench.begin(), kFastBench.end());
        }
        return RunChild(kProgram, args);
    }
    std::string Out(const std::string& name) const {
        return (std::filesystem::path(images_.Path()) / name).string();
    }
    // Every report a test reads is checked against the published schema first.
    nlohmann::json Report(const std::string& name = "report.json") const {
        const nlohmann::json report = nlohmann::json::parse(ReadText(Out(name)));
        static const nlohmann::json schema = nlohmann::json::parse(ReadText(VARNEL_REPORT_SCHEMA));
        std::vector<std::string> errors;
        CheckAgainstSchema(report, schema, "report", errors);
        EXPECT_THAT(errors, ::testing::IsEmpty()) << name;
        return report;
    }

    std::string Pda(ImageManifest* manifest = nullptr, uint64_t size = 20000) {
        ImageSpec image;
        image.format = ImageFormat::kPda;
        image.pda.dataSize = size;
        image.pda.langpack = true;
        image.pda.langpackSize = 3000;
        ImageManifest ignored;
        return images_.Build("pda.nb0", image, manifest != nullptr ? manifest : &ignored);
    }

    ImageDir images_;
};

// The flash record of a simulated handset with this command code.
const nlohmann::json* FlashOf(const nlohmann::json& port, uint32_t code) {
    for (const auto& flash : port["simulated_handset"]["flashed"]) {
        if (flash["code"] == code) {
            return &flash;
        }
    }
    return nullptr;
}

TEST_F(CliTest, EightPortJobFlashesEveryImageAndReportsWhatItDid) {
    ImageSpec eboot;
    eboot.format = ImageFormat::kEboot;
    eboot.rawSize = 6000;
    ImageSpec csc;
    csc.format = ImageFormat::kCsc;
    csc.csc.multi = true;
    csc.csc.files = {CscFileSpec{}, CscFileSpec{}};
    csc.csc.files[0].name = "EUR";
    csc.csc.files[1].name = "NEE";
    csc.csc.files[1].bodySize = 3000;
    ImageSpec phone;
    phone.format = ImageFormat::kPhone;
    phone.rawSize = 7000;
    ImageSpec telvik;
    telvik.format = ImageFormat::kTelvik;
    telvik.telvik.firstSize = 5000;
    telvik.telvik.secondSize = 3000;
    ImageManifest ebootMap, pdaMap, cscMap, phoneMap, telvikMap;
    const std::string ebootPath = images_.Build("boot.eb0", eboot, &ebootMap);
    const std::string pdaPath = Pda(&pdaMap);
    const std::string cscPath = images_.Build("multi.csc", csc, &cscMap);
    const std::string phonePath = images_.Build("modem.bin", phone, &phoneMap);
    const std::string telvikPath = images_.Build("os.mst", telvik, &telvikMap);

    const ChildResult result = Run({"--eboot",
                                    ebootPath,
                                    "--pda",
                                    pdaPath,
                                    "--csc",
                                    cscPath,
                                    "--csc-file",
                                    "1",
                                    "--language",
                                    "1",
                                    "--phone",
                                    phonePath,
                                    "--telvik",
                                    telvikPath,
                                    "--skip-boot-wait",
                                    "--simulate",
                                    "8",
                                    "--report",
                                    Out("report.json"),
                                    "--port-logs",
                                    Out("ports"),
                                    "--log",
                                    Out("main.log")});

    ASSERT_EQ(result.nExitStatus, 0) << result.strErr;
    EXPECT_THAT(result.strOut, EndsWith(AllFinished(8, 0)));
    EXPECT_THAT(result.strOut, Not(HasSubstr("\r")));
    EXPECT_THAT(result.strErr, HasSubstr("finished: 8 finished, 0 failed, 8 attached"));
    EXPECT_EQ(Unstamped(ReadText(Out("main.log"))), result.strOut);

    const nlohmann::json report = Report();
    EXPECT_EQ(report["result"], "finished");
    EXPECT_EQ(report["exit_status"], 0);
    EXPECT_EQ(report["options"]["skip_boot_wait"], true);
    EXPECT_EQ(report["options"]["language"]["index"], 1);
    EXPECT_EQ(report["options"]["csc_file"]["entry"], "NEE");
    EXPECT_FALSE(report["download_started"].is_null());
    struct Expected {
        const char* kind;
        const std::string& path;
        const ImageManifest& manifest;
    };
    const Expected expected[] = {{"EBoot", ebootPath, ebootMap},
                                 {"PDA", pdaPath, pdaMap},
                                 {"CSC", cscPath, cscMap},
                                 {"Telvik", telvikPath, telvikMap},
                                 {"Phone", phonePath, phoneMap}};
    ASSERT_EQ(report["images"].size(), std::size(expected));
    for (size_t index = 0; index < std::size(expected); ++index) {
        const auto& image = report["images"][index];
        SCOPED_TRACE(expected[index].kind);
        EXPECT_EQ(image["kind"], expected[index].kind);
        EXPECT_EQ(image["path"], expected[index].path);
        EXPECT_EQ(image["size"], expected[index].manifest.fileSize);
        EXPECT_EQ(image["byte_sum32"], Hex32(expected[index].manifest.fileSum));
        ImageFile file;
        ASSERT_TRUE(file.Open(expected[index].path));
        EXPECT_EQ(image["sha256"], Sha256Hex(FileByteSumAndSha256(file).sha256));
    }

    // What every handset flashed, against the regions the images say must arrive.
    const std::pair<uint32_t, const ImageRegion*> flashes[] = {
        {kCmdWriteEboot, ebootMap.Find("eboot")},
        {kCmdWritePdaPiece, pdaMap.Find("pda.data")},
        {kCmdWriteLangPack, pdaMap.Find("langpack.data")},
        {kCmdWriteCsc, cscMap.Find("csc.file1")},
        {kCmdWritePhone, phoneMap.Find("phone")},
        {kCmdWriteFirstPartition, telvikMap.Find("telvik.first")},
        {kCmdWriteSecondPartition, telvikMap.Find("telvik.second")}};
    ASSERT_EQ(report["ports"].size(), 8u);
    for (int port = 0; port < 8; ++port) {
        SCOPED_TRACE(port);
        const auto& record = report["ports"][static_cast<size_t>(port)];
        const std::string device = "SIM" + std::to_string(port);
        EXPECT_EQ(record["port"], port);
        EXPECT_EQ(record["device"], device);
        EXPECT_EQ(record["serial"], device);
        EXPECT_EQ(record["port_path"], "sim-1." + std::to_string(port + 1));
        EXPECT_EQ(record["state"], "finished");
        EXPECT_EQ(record["status_code"], 518);
        EXPECT_EQ(record["status_text"], "Job Done.Launched!!");
        EXPECT_GT(record["seconds"].get<double>(), 0.0);
        EXPECT_EQ(record["simulated_handset"]["launched"], true);
        for (const auto& [code, region] : flashes) {
            SCOPED_TRACE(code);
            ASSERT_NE(region, nullptr);
            const nlohmann::json* flash = FlashOf(record, code);
            ASSERT_NE(flash, nullptr);
            EXPECT_EQ((*flash)["length"], region->length);
            EXPECT_EQ((*flash)["byte_sum32"], Hex32(region->byteSum));
        }

        // The port's file: its attach lines, its main-log lines, none of another port's.
        const std::string log =
            Unstamped(ReadText(std::filesystem::path(Out("ports")) /
                               ("port" + std::to_string(port) + "-" + device + ".log")));
        const std::string tag = std::to_string(port);
        EXPECT_THAT(log, AllOf(StartsWith("[Setup:" + tag + "] "),
                               HasSubstr("[Setup:" + tag + "] PDA Device detected. TimeOut:2\n"),
                               HasSubstr("[PDA:" + tag + "] Download start 0x0\n"),
                               HasSubstr("[PDA:" + tag + "] LANG_ID:[1]"),
                               HasSubstr("[CSC] SupportLanguage"),
                               EndsWith("[Success:" + tag + "] Finished downloading!\n[End:" + tag +
                                        "] finished, status 518: Job Done.Launched!!\n")));
        const std::string other = std::to_string((port + 1) % 8);
        EXPECT_THAT(log, Not(HasSubstr(":" + other + "]")));
        EXPECT_EQ(record["log"].size(), LineCount(log));
        EXPECT_EQ(record["log"].back(),
                  "[End:" + tag + "] finished, status 518: Job Done.Launched!!");
    }
}

TEST_F(CliTest, FailingPortTurnsTheJobRedWhileTheOthersFinish) {
    const std::string pdaPath = Pda();
    const ChildResult result =
        Run({"--pda", pdaPath, "--skip-boot-wait", "--simulate", "3", "--sim-fault",
             "1:wrong-chunk-sum=2", "--report", Out("report.json"), "--port-logs", Out("ports")});

    EXPECT_EQ(result.nExitStatus, 1) << result.strErr;
    EXPECT_THAT(result.strOut, EndsWith(AllFinished(2, 1)));
    // The summary's line of the failed port.
    const size_t line = result.strErr.find("\nPDA 1 ");
    ASSERT_NE(line, std::string::npos) << result.strErr;
    EXPECT_THAT(result.strErr.substr(line + 1, result.strErr.find('\n', line + 1) - line),
                HasSubstr("] [FAIL] PDA Checksum !!"));
    EXPECT_THAT(result.strErr, HasSubstr("failed: 2 finished, 1 failed, 3 attached"));

    const nlohmann::json report = Report();
    EXPECT_EQ(report["result"], "failed");
    EXPECT_EQ(report["exit_status"], 1);
    EXPECT_EQ(report["options"]["sim_fault"], nlohmann::json({"1:wrong-chunk-sum=2"}));
    std::vector<std::string> states;
    for (const auto& port : report["ports"]) {
        states.push_back(port["state"]);
    }
    EXPECT_THAT(states, ElementsAre("finished", "failed", "finished"));
    const auto& failed = report["ports"][1];
    EXPECT_EQ(failed["status_code"], 212);
    EXPECT_EQ(failed["status_text"], "[FAIL] PDA Checksum !!");
    EXPECT_EQ(failed["simulated_handset"]["launched"], false);
    EXPECT_EQ(FlashOf(failed, kCmdWritePdaPiece), nullptr);
    const std::string log =
        Unstamped(ReadText(std::filesystem::path(Out("ports")) / "port1-SIM1.log"));
    EXPECT_THAT(log, HasSubstr("[PDA:1] Download start 0x0\n"));
    EXPECT_THAT(log, Not(HasSubstr("Finished downloading")));
    EXPECT_THAT(log, EndsWith("[End:1] failed, status 212: [FAIL] PDA Checksum !!\n"));
}

// With --events -, standard output carries only the events; the main log moves to standard error.
// --loop: each batch of simulated handsets is a job of its own, with its numbered report and
// port-log folder and a line in the main log; the tally ends the loop.
TEST_F(CliTest, LoopRunsAJobPerBatchWithNumberedRecordsAndATally) {
    const std::string pdaPath = Pda();
    const ChildResult result =
        Run({"--pda", pdaPath, "--skip-boot-wait", "--simulate", "2", "--sim-fault",
             "1:wrong-chunk-sum=2", "--loop", "--jobs", "2", "--report", Out("report.json"),
             "--port-logs", Out("ports"), "--log", Out("main.log")});

    EXPECT_EQ(result.nExitStatus, 1) << result.strErr;
    EXPECT_THAT(result.strOut, HasSubstr(AllFinished(1, 1) + "[Job 1] 1 finished, 1 failed\n"));
    EXPECT_THAT(result.strOut,
                EndsWith(AllFinished(1, 1) + "[Job 2] 1 finished, 1 failed\n"
                                             "[Loop] 2 jobs, 2 finished, 2 failed\n"));
    EXPECT_EQ(Unstamped(ReadText(Out("main.log"))), result.strOut);
    EXPECT_FALSE(std::filesystem::exists(Out("report.json")));
    for (const int job : {1, 2}) {
        SCOPED_TRACE(job);
        const nlohmann::json report = Report(FormatEntry("report-%04d.json", job));
        EXPECT_EQ(report["job"], job);
        EXPECT_EQ(report["result"], "failed");
        ASSERT_EQ(report["ports"].size(), 2u);
        EXPECT_EQ(report["ports"][0]["state"], "finished");
        // The batch of this job was flashed: its handset recorded the PDA.
        EXPECT_NE(FlashOf(report["ports"][0], kCmdWritePdaPiece), nullptr);
        const std::string log = ReadText(std::filesystem::path(Out("ports")) /
                                         FormatEntry("job-%04d", job) / "port0-SIM0.log");
        EXPECT_THAT(log, HasSubstr("[End:0] finished, status"));
    }
}

TEST_F(CliTest, EventsFollowEachPortFromAttachToItsEnd) {
    const ChildResult result = Run({"--pda", Pda(), "--skip-boot-wait", "--simulate", "2",
                                    "--sim-fault", "1:wrong-chunk-sum=2", "--events", "-"});
    EXPECT_EQ(result.nExitStatus, 1) << result.strErr;
    EXPECT_THAT(result.strErr, HasSubstr(kAllFinished));
    std::vector<nlohmann::json> events;
    std::istringstream lines(result.strOut);
    for (std::string line; std::getline(lines, line);) {
        events.push_back(nlohmann::json::parse(line));
        EXPECT_THAT(events.back()["time"].get<std::string>(), EndsWith("Z"));
    }
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (nlohmann::json{{"event", "job_end"},
                                             {"time", events.back()["time"]},
                                             {"job", 1},
                                             {"result", "failed"},
                                             {"exit_status", 1},
                                             {"finished", 1},
                                             {"failed", 1},
                                             {"attached", 2}}));
    for (int port = 0; port < 2; ++port) {
        SCOPED_TRACE(port);
        std::vector<nlohmann::json> own;
        for (const auto& event : events) {
            if (event.value("port", -1) == port) {
                own.push_back(event);
            }
        }
        ASSERT_GE(own.size(), 3u);
        EXPECT_EQ(own.front()["event"], "attach");
        EXPECT_EQ(own.front()["device"], FormatEntry("SIM%d", port));
        EXPECT_EQ(own[1]["event"], "status");
        EXPECT_EQ(own.back()["event"], "port_end");
        EXPECT_EQ(own.back()["state"], port == 0 ? "finished" : "failed");
    }
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const nlohmann::json& event) {
        return event["event"] == "status" && event["port"] == 1 && event["code"] == 212 &&
               event["text"] == "[FAIL] PDA Checksum !!";
    }));
}

// --check chooses the images as a job does and prints what it found; a bad image exits 2.
TEST_F(CliTest, CheckPrintsTheChosenImagesWithoutADevice) {
    ImageManifest pdaMap;
    const std::string pdaPath = Pda(&pdaMap);
    ImageSpec csc;
    csc.format = ImageFormat::kCsc;
    csc.csc.multi = true;
    csc.csc.files = {CscFileSpec{}, CscFileSpec{}};
    csc.csc.files[0].name = "EUR";
    csc.csc.files[1].name = "NEE";
    ImageManifest cscMap;
    const std::string cscPath = images_.Build("multi.csc", csc, &cscMap);

    const ChildResult checked = Run(
        {"--check", "--pda", pdaPath, "--csc", cscPath, "--csc-file", "1", "--erase-csc"}, false);
    ASSERT_EQ(checked.nExitStatus, 0) << checked.strErr;
    ImageFile file;
    ASSERT_TRUE(file.Open(pdaPath));
    EXPECT_THAT(checked.strOut,
                AllOf(HasSubstr("PDA " + pdaPath + "\n"),
                      HasSubstr(FormatEntry("  file: %llu bytes, ByteSum32 %s, SHA-256 %s\n",
                                            static_cast<unsigned long long>(pdaMap.fileSize),
                                            Hex32(pdaMap.fileSum).c_str(),
                                            Sha256Hex(FileByteSumAndSha256(file).sha256).c_str())),
                      HasSubstr("CSC File Select (chosen: 1)\n  0 EUR\n  1 NEE\n"),
                      HasSubstr("option word 0x00000002\n")));
    // The regions inside the images, and the languages with their codes.
    const auto line = [](const char* name, const ImageRegion* region) {
        return FormatEntry("\n  %s: 0x%llX, %llu bytes, ByteSum32 %s\n", name,
                           static_cast<unsigned long long>(region->offset),
                           static_cast<unsigned long long>(region->length),
                           Hex32(region->byteSum).c_str());
    };
    EXPECT_THAT(checked.strOut, AllOf(HasSubstr(line("data", pdaMap.Find("pda.data"))),
                                      HasSubstr(line("LANGPACK", pdaMap.Find("langpack.data"))),
                                      HasSubstr(line("EUR", cscMap.Find("csc.file0"))),
                                      HasSubstr(line("NEE", cscMap.Find("csc.file1")))));
    std::string languages = "Language Select (chosen: 0)\n";
    for (const uint8_t row : CscFileSpec::kSupportRows) {
        languages += FormatEntry("  %zu %s (%s)\n", LineCount(languages) - 1,
                                 LanguageTable[row].szName, LanguageTable[row].szCode);
    }
    EXPECT_THAT(checked.strOut, HasSubstr(languages));

    std::string damaged = ReadText(pdaPath);
    damaged.resize(damaged.size() / 2);
    std::ofstream(Out("cut.nb0"), std::ios::binary) << damaged;
    EXPECT_EQ(Run({"--check", "--pda", Out("cut.nb0")}, false).nExitStatus, 2);
}

// --check --json: an Integrated image's components with the regions inside them, and a Telvik
// image's parts, as the image builder laid them out.
TEST_F(CliTest, CheckAsJsonShowsComponentsAndPartsWhereTheyLie) {
    ImageSpec telvik;
    telvik.format = ImageFormat::kTelvik;
    ImageSpec integrated;
    integrated.format = ImageFormat::kIntegrated;
    integrated.integrated.eboot = 3000;
    integrated.integrated.pda = PdaImageSpec{};
    integrated.integrated.pda->langpack = true;
    ImageManifest telvikMap, integratedMap;
    const std::string telvikPath = images_.Build("os.mst", telvik, &telvikMap);
    const std::string integratedPath = images_.Build("all.img", integrated, &integratedMap);

    const ChildResult checked =
        Run({"--check", "--json", "--telvik", telvikPath, "--integrated", integratedPath}, false);
    ASSERT_EQ(checked.nExitStatus, 0) << checked.strErr;
    const nlohmann::json json = nlohmann::json::parse(checked.strOut);
    const auto expectRegion = [](const nlohmann::json& region, const char* name,
                                 const ImageRegion* expected) {
        ASSERT_NE(expected, nullptr) << name;
        EXPECT_EQ(region["name"], name);
        EXPECT_EQ(region["offset"], expected->offset) << name;
        EXPECT_EQ(region["size"], expected->length) << name;
        EXPECT_EQ(region["byte_sum32"], Hex32(expected->byteSum)) << name;
    };
    ASSERT_EQ(json["images"].size(), 2u);
    const nlohmann::json& parts = json["images"][0]["regions"];
    ASSERT_EQ(parts.size(), 2u);
    expectRegion(parts[0], "first part", telvikMap.Find("telvik.first"));
    expectRegion(parts[1], "second part", telvikMap.Find("telvik.second"));
    const nlohmann::json& components = json["images"][1]["regions"];
    ASSERT_EQ(components.size(), 2u);
    expectRegion(components[0], "EBoot", integratedMap.Find("component.eboot"));
    expectRegion(components[1], "PDA", integratedMap.Find("component.pda"));
    ASSERT_EQ(components[1]["regions"].size(), 2u);
    expectRegion(components[1]["regions"][0], "data", integratedMap.Find("pda.data"));
    expectRegion(components[1]["regions"][1], "LANGPACK", integratedMap.Find("langpack.data"));
    EXPECT_EQ(json["option_word"], "0x00000000");
}

TEST_F(CliTest, BadArgumentsStopBeforeAnythingReachesADevice) {
    const std::string pdaPath = Pda();
    ImageSpec csc;
    csc.format = ImageFormat::kCsc;
    csc.csc.multi = true;
    ImageManifest cscMap;
    const std::string cscPath = images_.Build("multi.csc", csc, &cscMap);
    const std::string notPda = Out("blank.nb0");
    std::ofstream(notPda) << std::string(512, 'x');
    const std::string report = Out("report.json");

    struct Case {
        std::vector<std::string> args;
        const char* says;
        bool simulated = true;  // with the fast simulated pace
        bool reported = true;   // false: the command line itself could not be read
        size_t lines = 1;
    };
    const Case cases[] = {
        {{"--pda", pdaPath, "--simulate", "1", "--frobnicate"}, "--frobnicate", true, false},
        {{"--pda", Out("missing.nb0"), "--simulate", "1"}, "missing.nb0", true, false},
        {{"--pda", pdaPath, "--simulate", "1", "--ports", "9"}, "--ports", true, false},
        {{"--pda", pdaPath, "--simulate", "1", "--ports", "0"}, "--ports", true, false},
        {{"--csc", cscPath, "--simulate", "1", "--language", "3"}, "--language 3"},
        {{"--pda", pdaPath, "--simulate", "1", "--language", "0"}, "--language 0"},
        {{"--pda", pdaPath, "--simulate", "1", "--log", images_.Path()}, "--log"},
        {{"--pda", pdaPath, "--simulate", "1", "--report", Out("no/such/dir/r.json")},
         "--report",
         true,
         false},
        {{"--pda", notPda, "--simulate", "1"}, "Select PDA file is incorrected. 4", true, true, 2},
        {{"--pda", pdaPath, "--simulate", "1", "--transport", "tty"},
         "--simulate does not go with the tty transport"},
        {{"--pda", pdaPath, "--simulate", "1", "--tty-dir", images_.Path()},
         "--tty-dir does not go with the sim transport"},
        {{"--pda", pdaPath, "--transport", "tty", "--tty-dir", images_.Path(), "--usb-id",
          "04e8:1234"},
         "--usb-id does not go with --tty-dir",
         false},
        {{"--pda", pdaPath, "--transport", "libusb", "--usb-id", "4e8-1234"},
         "'4e8-1234' is not VID:PID",
         false,
         false},
        {{"--pda", pdaPath, "--transport", "sim"}, "--simulate N", false},
        {{"--pda", pdaPath, "--simulate", "2", "--sim-fault", "2:stall=1"}, "--sim-fault"},
        {{"--simulate", "1"}, "no image"},
    };
    for (const Case& bad : cases) {
        std::vector<std::string> args = bad.args;
        args.insert(args.end(), {"--report", report});
        const ChildResult result = Run(args, bad.simulated);
        SCOPED_TRACE(bad.says);
        EXPECT_EQ(result.nExitStatus, 2);
        EXPECT_EQ(LineCount(result.strErr), bad.lines) << result.strErr;
        EXPECT_THAT(result.strErr, AllOf(StartsWith("varnel-cli: "), HasSubstr(bad.says)));
        // Detect was never pressed, so no handset arrived.
        EXPECT_THAT(result.strOut, Not(HasSubstr("OnDeviceChange")));
        EXPECT_THAT(result.strOut, Not(HasSubstr("[Setup]")));
        ASSERT_EQ(std::filesystem::exists(report), bad.reported);
        if (bad.reported) {
            const nlohmann::json written = Report();
            EXPECT_EQ(written["result"], "bad input");
            EXPECT_EQ(written["exit_status"], 2);
            EXPECT_THAT(written["error"].get<std::string>(), HasSubstr(bad.says));
            EXPECT_TRUE(written["ports"].empty());
            EXPECT_TRUE(written["images"].empty());
            std::filesystem::remove(report);
        }
    }
}

TEST_F(CliTest, DetectTimeoutStartsWithTheHandsetsThereOrEndsWhenThereAreNone) {
    const std::string pdaPath = Pda();
    const ChildResult fewer =
        Run({"--pda", pdaPath, "--skip-boot-wait", "--simulate", "2", "--ports", "3",
             "--detect-timeout", "1", "--report", Out("fewer.json")});
    EXPECT_EQ(fewer.nExitStatus, 3) << fewer.strErr;
    EXPECT_THAT(fewer.strOut, EndsWith(AllFinished(2, 0)));
    EXPECT_THAT(fewer.strErr, HasSubstr("varnel-cli: 2 of the 3 handsets of --ports attached"));
    const nlohmann::json fewerReport = Report("fewer.json");
    EXPECT_EQ(fewerReport["result"], "fewer handsets");
    EXPECT_EQ(fewerReport["ports_expected"], 3);
    EXPECT_EQ(fewerReport["ports_attached"], 2);
    EXPECT_EQ(fewerReport["ports"].size(), 2u);

    // The only handset never answers the handshake, so it never attaches.
    const ChildResult none =
        Run({"--pda", pdaPath, "--simulate", "1", "--sim-fault", "0:refuse-handshake=3",
             "--detect-timeout", "0.5", "--report", Out("none.json")});
    EXPECT_EQ(none.nExitStatus, 1);
    EXPECT_THAT(none.strErr, HasSubstr("varnel-cli: no handset attached within 0.5 seconds"));
    EXPECT_THAT(none.strOut, HasSubstr("[Error:0] Not receive OKUD! TimeOut:0\n"));
    const nlohmann::json report = Report("none.json");
    EXPECT_EQ(report["result"], "no handset");
    EXPECT_TRUE(report["ports"].empty());
}

// A format that outlasts --long-reply-limit fails its port at once, naming the command.
TEST_F(CliTest, LongReplyLimitBoundsTheWaitForALongOperation) {
    ImageSpec smd;
    smd.format = ImageFormat::kSmd;
    smd.smdBlocks = 1;
    ImageManifest ignored;
    const std::string smdPath = images_.Build("s.smd", smd, &ignored);
    const ChildResult result =
        Run({"--smd", smdPath, "--mode", "smd", "--simulate", "1", "--sim-fault",
             "0:slow=1021:1500", "--long-reply-limit", "1", "--report", Out("report.json")});
    EXPECT_EQ(result.nExitStatus, 1) << result.strErr;
    EXPECT_THAT(result.strOut, HasSubstr("[Error:0] No reply to command 1021 within 1000 ms\n"));
    EXPECT_EQ(Report()["ports"][0]["status_code"], 209);
}

TEST_F(CliTest, InterruptAsksTheCloseQuestionAndStopsTheRunningJob) {
    const std::string pdaPath = Pda();
    // The handsets stop answering mid-download, so the job is still running when interrupted.
    std::vector<std::string> args = {"--pda",       pdaPath,           "--simulate",  "2",
                                     "--sim-fault", "0:stall=6",       "--sim-fault", "1:stall=6",
                                     "--report",    Out("report.json")};
    args.insert(args.end(), kFastBench.begin(), kFastBench.end());
    const auto started = std::chrono::steady_clock::now();
    const ChildResult result = RunChild(kProgram, args, [](const std::string& out) {
        return out.find("[Down] PDA Image.") != std::string::npos;
    });

    EXPECT_EQ(result.nExitStatus, 128 + SIGINT) << result.strErr;
    EXPECT_THAT(result.strErr, HasSubstr("Confirm: Now Downloading! Quit Anyway? OK\n"));
    // The stalled workers were released by the shutdown, not by their reply time-outs.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    const nlohmann::json report = Report();
    EXPECT_EQ(report["result"], "interrupted");
    ASSERT_EQ(report["ports"].size(), 2u);
    EXPECT_EQ(report["ports"][0]["state"], "stopped");
    EXPECT_EQ(report["ports"][1]["state"], "stopped");
}

// SIGTERM and SIGHUP end the job without a question and leave the whole record behind.
TEST_F(CliTest, TerminationLeavesTheReportTheLogsAndThePortLogs) {
    const std::string pdaPath = Pda();
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        std::vector<std::string> args = {
            "--pda",     pdaPath,         "--simulate",  "2",         "--sim-fault",
            "0:stall=6", "--sim-fault",   "1:stall=6",   "--report",  Out("report.json"),
            "--log",     Out("main.log"), "--port-logs", Out("ports")};
        args.insert(args.end(), kFastBench.begin(), kFastBench.end());
        const ChildResult result = RunChild(
            kProgram, args,
            [](const std::string& out) {
                return out.find("[Down] PDA Image.") != std::string::npos;
            },
            std::chrono::seconds(60), signal);

        EXPECT_EQ(result.nExitStatus, 128 + signal) << result.strErr;
        EXPECT_THAT(result.strErr, Not(HasSubstr("Quit Anyway?")));
        EXPECT_EQ(Unstamped(ReadText(Out("main.log"))), result.strOut);
        const nlohmann::json report = Report();
        EXPECT_EQ(report["result"], "interrupted");
        EXPECT_EQ(report["exit_status"], 128 + signal);
        ASSERT_EQ(report["ports"].size(), 2u);
        EXPECT_EQ(report["ports"][0]["status_code"], 0);
        EXPECT_THAT(report["ports"][0]["status_text"].get<std::string>(), StartsWith("Stopped"));
        const std::string log = ReadText(std::filesystem::path(Out("ports")) / "port0-SIM0.log");
        EXPECT_THAT(log, HasSubstr("[PDA:0] Download start 0x0\n"));
        EXPECT_THAT(log, EndsWith("[End:0] stopped, status 0: Stopped: the job ended before this "
                                  "port's did\n"));
    }
}

TEST_F(CliTest, OutputsThatNameAnInputOrEachOtherAreRefusedBeforeAnythingIsWritten) {
    const std::string pdaPath = Pda();
    const std::string before = ReadText(pdaPath);
    const std::string linked = Out("linked.json");
    std::filesystem::create_hard_link(pdaPath, linked);
    std::filesystem::create_directory(Out("ports"));
    std::filesystem::create_symlink(pdaPath, Out("ports/port0-SIM0.log"));
    const std::vector<std::vector<std::string>> cases = {
        {"--log", pdaPath},
        {"--report", linked},
        {"--log", Out("same.txt"), "--report", Out("same.txt")},
        {"--port-logs", Out("ports")},
    };
    for (const auto& outputs : cases) {
        std::vector<std::string> args = {"--pda", pdaPath, "--simulate", "1"};
        args.insert(args.end(), outputs.begin(), outputs.end());
        const ChildResult result = Run(args);
        SCOPED_TRACE(outputs[1]);
        EXPECT_EQ(result.nExitStatus, 2);
        EXPECT_EQ(LineCount(result.strErr), 1u) << result.strErr;
        EXPECT_EQ(ReadText(pdaPath), before);
        EXPECT_FALSE(std::filesystem::exists(Out("same.txt")));
    }
}

TEST_F(CliTest, ImagesThatWouldFailOnAHandsetAreRefusedBeforeDetect) {
    const std::string pdaPath = Pda();
    ImageSpec eboot;
    eboot.format = ImageFormat::kEboot;
    ImageManifest ignored;
    const std::string ebootPath = images_.Build("boot.eb0", eboot, &ignored);
    const std::string empty = Out("empty.eb0");
    std::ofstream(empty).close();
    const std::string huge = Out("huge.bin");
    std::ofstream(huge).close();
    std::filesystem::resize_file(huge, (uint64_t{1} << 32) + 1);  // sparse
    std::string badEnd = ReadText(pdaPath);
    badEnd[252] = 0;
    const std::string badEndPath = Out("bad-end.nb0");
    std::ofstream(badEndPath, std::ios::binary) << badEnd;
    ImageSpec all;
    all.format = ImageFormat::kIntegrated;
    all.integrated.pda = PdaImageSpec{};
    const std::string allPath = images_.Build("all.img", all, &ignored);

    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"--eboot", empty}, "the file is empty"},
        {{"--phone", huge}, "does not fit the 32-bit length"},
        {{"--eboot", ebootPath, "--pda", badEndPath}, "has wrong marks"},
        {{"--pda", pdaPath, "--integrated", allPath}, "carries a PDA image"},
        {{"--integrated", allPath, "--pda", pdaPath}, "carries a PDA image"},
    };
    for (const Case& bad : cases) {
        std::vector<std::string> args = bad.args;
        args.insert(args.end(), {"--simulate", "2", "--report", Out("report.json")});
        const ChildResult result = Run(args);
        SCOPED_TRACE(bad.says);
        EXPECT_EQ(result.nExitStatus, 2) << result.strErr;
        EXPECT_THAT(result.strErr, HasSubstr(bad.says));
        EXPECT_THAT(result.strOut, Not(HasSubstr("[Setup")));
        const nlohmann::json report = Report();
        EXPECT_EQ(report["result"], "bad input");
        EXPECT_TRUE(report["images"].empty());
    }
}

// Image texts are 8-bit: Korean (CP949) and bytes of no code page reach the report in UTF-8.
TEST_F(CliTest, EightBitImageTextsReachTheReportAndLogsInUtf8) {
    ImageSpec image;
    image.format = ImageFormat::kPda;
    image.pda.osVersion = "\xC7\xD1\xB1\xB9-\xFF";
    ImageManifest ignored;
    const std::string pdaPath = images_.Build("korean.nb0", image, &ignored);
    const ChildResult result = Run({"--pda", pdaPath, "--skip-boot-wait", "--simulate", "1",
                                    "--report", Out("report.json"), "--log", Out("main.log")});
    ASSERT_EQ(result.nExitStatus, 0) << result.strErr;
    const std::string line = "[PDA:0] BSP_OSVER:[\xED\x95\x9C\xEA\xB5\xAD-\\xFF]";
    EXPECT_THAT(Unstamped(ReadText(Out("main.log"))), HasSubstr(line + "\n"));
    const nlohmann::json report = Report();
    EXPECT_THAT(report["ports"][0]["log"], ::testing::Contains(line));
}

}  // namespace
}  // namespace varnel::test
