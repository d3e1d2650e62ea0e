// varnel-cli: the bench from a terminal. The main window's logic runs behind a terminal view:
// images and option boxes are chosen through the window's own handlers, Detect is pressed,
// handsets attach as they arrive and the job runs as it does in the window. The handsets are
// simulated in the process, or real ones on tty nodes or USB (libusb), or on Windows on COM ports
// and device interfaces. See --help.
//
// Exit status: 0 every attached port finished; 1 a port failed or no handset attached; 2 bad
// arguments or an image that failed its checks; 3 fewer handsets than --ports attached; 128 + N
// ended by signal N (SIGINT, SIGTERM, SIGHUP). A --loop ends on the worst of its jobs (1, then
// 3, then 0), or 128 + N when a signal ended a job.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/bench_application.h"
#include "app/bench_devices.h"
#include "app/image_contents.h"
#include "app/job_events.h"
#include "app/job_history.h"
#include "app/job_loop.h"
#include "app/job_observer.h"
#include "app/job_recorder.h"
#include "app/job_report.h"
#include "app/line_publisher.h"
#include "app/line_telemetry.h"
#include "app/log_text.h"
#include "app/memory_outbox.h"
#include "app/platform_wiring.h"
#include "app/program_arguments.h"
#include "app/version.h"
#include "engine/attach.h"
#include "engine/download_job.h"
#include "engine/protocol.h"
#include "images/bounded_file.h"
#include "images/bytesum.h"
#include "images/csc_image.h"
#include "images/format_entry.h"
#include "images/image_file.h"
#include "images/language_table.h"
#include "images/sha256.h"
#include "images/utf8_path.h"
#include "platform/system.h"
#include "sim/fault_names.h"
#include "sim/sim_bus.h"
#include "sim/virtual_handset.h"
#include "ui/control_ids.h"
#include "ui/terminal_view.h"
#include "ui/window_choices.h"
#include "ui/window_thread.h"

namespace {

using namespace varnel;

constexpr char kProgram[] = "varnel-cli";
constexpr int kExitFinished = 0;
constexpr int kExitFailed = 1;
constexpr int kExitFewerHandsets = 3;
constexpr int kExitSignalBase = 128;

// Simulated handsets arrive this far apart, as an operator plugs them in one by one.
constexpr auto kArrivalGap = std::chrono::milliseconds(100);
// The longest the window thread waits for a message before it looks at the job again.
constexpr auto kLoopTick = std::chrono::milliseconds(50);
constexpr int kModeSmd = 1;
// The widest a summary line gets when no terminal says how wide it may be.
constexpr size_t kSummaryWidth = 160;
// A RAM chunk packet carries this many image bytes in its 2048.
constexpr uint64_t kChunkPayload = 2032;
constexpr uint64_t kChunkPacket = 2048;
// How long the end of the program waits for the line's broker to take what is queued.
constexpr auto kLineDrainLimit = std::chrono::seconds(5);

// The signal that asked the program to end; 0 while none has.
std::atomic<int> g_nSignal{0};

void OnSignal(int signal) {
    g_nSignal = signal;
}

struct ImageOption {
    const char* name;
    int selectionKind;
    int imageKind;
    const char* help;
};
// In the order the images are chosen: the CSC lists exist before an entry of them is picked.
constexpr ImageOption kImageOptions[] = {
    {"--eboot", kSelectEboot, kKindEboot, "EBoot image (.eb0)"},
    {"--pda", kSelectPda, kKindPda, "PDA image (.nb0)"},
    {"--csc", kSelectCsc, kKindCsc, "CSC image (.csc), single or multi"},
    {"--telvik", kSelectTelvik, kKindTelvik, "Telvik image (.mst, .msd or .sst)"},
    {"--phone", kSelectPhone, kKindPhone, "Phone image (.bin)"},
    {"--smd", kSelectSmd, kKindSmd, "SMD image (.smd); needs --mode smd"},
    {"--integrated", kSelectIntegrated, kKindIntegrated, "Integrated image (.img)"},
    {"--contents", kSelectContents, kKindContents, "Contents image (.mct)"},
};
constexpr size_t kImageOptionCount = std::size(kImageOptions);

constexpr size_t kOptionBoxCount = kOptionChoiceKeys.size();

struct CliOptions {
    std::array<std::string, kImageOptionCount> images;
    std::array<bool, kOptionBoxCount> boxes{};
    std::string mode = "normal";
    int language = -1;
    int cscFile = -1;
    int ports = 0;  // 0: as many as are simulated, else eight
    double detectTimeout = 60;
    double replyLimit = GetProtocolTimeouts().commandReplyMs / 1000.0;
    double longReplyLimit = GetProtocolTimeouts().longOperationMs / 1000.0;
    int simulate = 0;
    std::vector<std::string> simFaults;
    uint32_t simRoundTripMicros = 250;
    double simFlashMegabytesPerSecond = 16;
    uint32_t simTimeScale = 1;
    std::string transport = "sim";
    std::string ttyDir = kDefaultTtyDirectory;
    std::vector<std::string> usbIds;
    std::vector<std::string> comPorts;
    bool attachPresent = false;
    bool keepSyncSoftware = false;
    std::string benchName = HostName();
    std::string historyFile;  // empty: the default place, when the build records a history
    bool noHistory = false;
    LineBroker broker;  // no URL: no broker
    bool listDevices = false;
    bool json = false;
    std::vector<std::string> devices;
    std::vector<std::string> slots;
    std::string slotMapFile;
    DeviceChoice deviceChoice;  // from --device, --slot and --slot-map
    // Options that only a simulated bench, or only real devices, take, as given.
    std::vector<std::string> simulatorOptions;
    std::vector<std::string> deviceOptions;
    std::string logFile;
    std::string portLogsDir;
    std::string reportFile;
    std::string eventsFile;  // "-": standard output
    bool check = false;      // choose and check the images, print them, touch no device
    bool loop = false;       // after each job reset all and Detect again
    int jobs = 0;            // with --loop: end after this many jobs; 0 until interrupted
};

void PrintError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
}

// A check whose description stays out of the help's type column, so each option keeps one line.
CLI::Validator Quiet(CLI::Validator validator) {
    return validator.description("");
}

// Parses the command line into `options`; an exit status when the program ends here (help, or a
// bad argument already reported).
// An image given on the command line: a file there, by its UTF-8 name.
std::string ExistingUtf8File(const std::string& path) {
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(Utf8Path(path), code);
    if (!std::filesystem::exists(status)) {
        return "File does not exist: " + path;
    }
    if (std::filesystem::is_directory(status)) {
        return "File is actually a directory: " + path;
    }
    return {};
}

std::optional<int> ParseCommandLine(int argc, char** argv, CliOptions& options) {
    CLI::App app(
        "Runs a download job on the bench from a terminal: chooses the images and "
        "option boxes as the main window does, presses Detect, attaches handsets as "
        "they arrive and starts the job.",
        kProgram);
    app.get_formatter()->column_width(30);
    for (size_t index = 0; index < kImageOptionCount; ++index) {
        const ImageOption& image = kImageOptions[index];
        app.add_option(image.name, options.images[index], image.help)
            ->type_name("FILE")
            ->check(Quiet(CLI::Validator(ExistingUtf8File, "")));
    }
    for (size_t index = 0; index < kOptionBoxCount; ++index) {
        const OptionChoice& box = kOptionChoiceKeys[index];
        app.add_flag(std::string("--") + box.name, options.boxes[index],
                     std::string("tick \"") + box.caption + "\"");
    }
    app.add_option("--mode", options.mode, "Mode Select: normal or smd")
        ->type_name("normal|smd")
        ->check(Quiet(CLI::IsMember({"normal", "smd"})));
    app.add_option("--language", options.language, "entry N (0 = first) of \"Language Select\"")
        ->type_name("N")
        ->check(Quiet(CLI::NonNegativeNumber));
    app.add_option("--csc-file", options.cscFile, "entry N (0 = first) of \"CSC File Select\"")
        ->type_name("N")
        ->check(Quiet(CLI::NonNegativeNumber));
    app.add_option("--ports", options.ports,
                   "start when N (1-8) are attached (default: --simulate N, else 8)")
        ->type_name("N")
        ->check(Quiet(CLI::Range(1, kPortCount)));
    app.add_option("--detect-timeout", options.detectTimeout,
                   "fewer attached by then: start with those, exit 3 (60)")
        ->type_name("SECONDS")
        ->check(Quiet(CLI::PositiveNumber));
    app.add_option("--reply-limit", options.replyLimit,
                   "longest wait for the reply to a command (10)")
        ->type_name("SECONDS")
        ->check(Quiet(CLI::Range(0.1, 3600.0)));
    app.add_option("--long-reply-limit", options.longReplyLimit,
                   "longest wait for a format, block write or check word (600)")
        ->type_name("SECONDS")
        ->check(Quiet(CLI::Range(1.0, 86400.0)));
    app.add_option("--simulate", options.simulate, "N (1-8) simulated handsets arrive after Detect")
        ->type_name("N")
        ->check(Quiet(CLI::Range(1, kPortCount)));
    app.add_option("--sim-fault", options.simFaults,
                   "give the handset of port PORT a fault (repeatable; see below)")
        ->type_name("PORT:FAULT");
    app.add_option("--sim-round-trip", options.simRoundTripMicros,
                   "simulated reply time in microseconds (250)")
        ->type_name("US")
        ->check(Quiet(CLI::Range(0, 10'000'000)));
    app.add_option("--sim-flash-rate", options.simFlashMegabytesPerSecond,
                   "simulated flash speed in MB/s (16; 0 = instant)")
        ->type_name("MBPS")
        ->check(Quiet(CLI::Range(0.0, 1e6)));
    app.add_option("--sim-time-scale", options.simTimeScale,
                   "with --simulate, every pause runs N times faster (1)")
        ->type_name("N")
        ->check(Quiet(CLI::Range(1, 1000)));
    const std::string fileHandle = kFileHandleTransportName;
    const std::string usb = kUsbTransportName;
    app.add_option("--transport", options.transport,
                   "sim, " + fileHandle + " or " + usb + " (default sim)")
        ->type_name("sim|" + fileHandle + "|" + usb)
        ->check(Quiet(CLI::IsMember({std::string("sim"), fileHandle, usb})));
    app.add_option("--tty-dir", options.ttyDir,
                   std::string("directory of the tty nodes (") + kDefaultTtyDirectory + ")")
        ->type_name("DIR");
    app.add_option("--com", options.comPorts,
                   "with --transport file: try COM port NAME too, e.g. COM5 (repeatable)")
        ->type_name("NAME");
    app.add_option("--usb-id", options.usbIds,
                   "boot-loader USB id, besides " + std::string(kUsbIdsVariable) + " (repeatable)")
        ->type_name("VID:PID")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return ParseUsbId(text) ? std::string()
                                        : "'" + text + "' is not VID:PID in hex, e.g. 04e8:1234";
            },
            ""));
    app.add_flag("--attach-present", options.attachPresent,
                 "handsets plugged in before the start attach at Detect too");
    app.add_flag("--keep-sync-software", options.keepSyncSoftware,
                 "leave the host's sync software (ModemManager) running");
    app.add_flag(
        "--list-devices", options.listDevices,
        "list the matching devices present (--transport " + fileHandle + "|" + usb + ") and exit");
    app.add_flag("--json", options.json, "with --list-devices or --check: print JSON");
    app.add_option("--device", options.devices,
                   "attach only this handset, by serial or USB port path (repeatable)")
        ->type_name("SERIAL|PORTPATH");
    app.add_option("--slot", options.slots,
                   "pin USB port path PORTPATH to port N, 0-based as in \"PDA N\" (repeatable)")
        ->type_name("N=PORTPATH");
    app.add_option("--slot-map", options.slotMapFile,
                   "read --slot entries from FILE, one N=PORTPATH a line, # comments")
        ->type_name("FILE");
    app.add_option("--log", options.logFile, "write the main log to FILE")->type_name("FILE");
    app.add_option("--port-logs", options.portLogsDir, "write one log per port into DIR")
        ->type_name("DIR");
    app.add_option("--report", options.reportFile, "write a JSON report of the job to FILE")
        ->type_name("FILE");
    app.add_flag("--check", options.check,
                 "choose and check the images as a job would, print what they hold and exit; "
                 "no device is touched");
    app.add_flag("--loop", options.loop,
                 "after each job reset all and Detect again for the next batch, until "
                 "interrupted; reports and port logs numbered per job (see below)");
    app.add_option("--bench", options.benchName,
                   "the bench's name in its job history and on the line's broker (default: the "
                   "host name)")
        ->type_name("NAME");
    app.add_option("--history", options.historyFile,
                   "record the jobs in the history database FILE (default: "
                   "$XDG_DATA_HOME/varnel/history.sqlite3); see \"" +
                       std::string(kProgram) + " history --help\"")
        ->type_name("FILE");
    app.add_flag("--no-history", options.noHistory, "record no job history");
    app.add_option("--mqtt", options.broker.strUrl,
                   "publish the bench's live state to the line's MQTT broker at URL")
        ->type_name("URL");
    app.add_option("--line", options.broker.strLine,
                   "the line's name in the broker's topics (default: line)")
        ->type_name("NAME");
    app.add_option("--mqtt-ca", options.broker.strCaFile,
                   "with mqtts://: the certificates the broker's is checked against")
        ->type_name("FILE");
    app.add_option("--mqtt-cert", options.broker.strCertFile,
                   "with mqtts://: the bench's own certificate")
        ->type_name("FILE");
    app.add_option("--mqtt-key", options.broker.strKeyFile, "with mqtts://: the key of --mqtt-cert")
        ->type_name("FILE");
    app.add_option("--jobs", options.jobs, "with --loop: end after N jobs")
        ->type_name("N")
        ->check(Quiet(CLI::PositiveNumber));
    app.add_option("--events", options.eventsFile,
                   "write the job's events to FILE (- standard output, the main log then on "
                   "standard error), one JSON object per line")
        ->type_name("FILE|-");
    app.footer("Faults of --sim-fault (N counts from 0):\n" + FaultNamesHelp() +
               "Exit status: 0 every attached port finished; 1 a port failed or no handset "
               "attached; 2 bad arguments or an image that failed its checks; 3 fewer handsets "
               "than --ports attached; 128+N ended by signal N.\n\n"
               "With --loop: job N writes --report FILE as FILE-000N (before its extension) and "
               "its port logs into DIR/job-000N; the main log gets \"[Job N] F finished, E "
               "failed\" after each job and \"[Loop] J jobs, F finished, E failed\" at the end. "
               "Handsets still plugged in from the last job are not attached again; only new "
               "arrivals are (--attach-present counts for the first job only). No handset ends "
               "the wait for a batch: --detect-timeout counts from its first attach. A signal "
               "while waiting for a batch ends the loop; during a job it ends that job as "
               "interrupted. Exit status of a loop: 1 when a job had a failed port, else 3 when "
               "a job started with fewer than --ports, else 0; 128+N when signal N ended a "
               "job.\n\n\"" +
               std::string(kProgram) +
               " history\" lists the recorded jobs (see its --help). A history that cannot be "
               "written is reported and the job runs on, but exits 1.");
    app.set_version_flag("--version", std::string(kProgram) + " " + kVersionText);
    if (const std::optional<int> status = ParseProgramArguments(app, argc, argv, kProgram)) {
        return status;
    }
    for (const char* name : {"--simulate", "--sim-fault", "--sim-round-trip", "--sim-flash-rate",
                             "--sim-time-scale"}) {
        if (app.count(name) > 0) {
            options.simulatorOptions.push_back(name);
        }
    }
    for (const char* name :
         {"--tty-dir", "--com", "--usb-id", "--attach-present", "--keep-sync-software"}) {
        if (app.count(name) > 0) {
            options.deviceOptions.push_back(name);
        }
    }
    return std::nullopt;
}

// Whether a file can be written there, without creating or emptying it yet.
bool CheckWritableFile(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code code;
    if (fs::is_directory(Utf8Path(path), code)) {
        error = "'" + path + "' is a directory";
        return false;
    }
    if (fs::exists(Utf8Path(path), code)) {
        if (std::string reason; !MayWrite(path, reason)) {
            error = "cannot write '" + path + "': " + reason;
            return false;
        }
        return true;
    }
    fs::path parent = Utf8Path(path).parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    if (!fs::is_directory(parent, code)) {
        error = "cannot write '" + path + "': no directory '" + Utf8Text(parent) + "'";
        return false;
    }
    if (std::string reason; !MayWrite(Utf8Text(parent), reason)) {
        error = "cannot write '" + path + "': " + reason;
        return false;
    }
    return true;
}

bool PrepareDirectory(const std::string& path, std::string& error) {
    std::error_code code;
    std::filesystem::create_directories(Utf8Path(path), code);
    if (!std::filesystem::is_directory(Utf8Path(path), code)) {
        error = "cannot make directory '" + path + "'";
        return false;
    }
    if (std::string reason; !MayWrite(path, reason)) {
        error = "cannot write into '" + path + "': " + reason;
        return false;
    }
    return true;
}

bool CheckTransportOptions(const CliOptions& options, std::string& error) {
    const bool simulated = options.transport == "sim";
    if (simulated && options.simulate == 0 && !options.check) {
        error = "the sim transport needs --simulate N (1-8)";
        return false;
    }
    const std::vector<std::string>& misplaced =
        simulated ? options.deviceOptions : options.simulatorOptions;
    if (!misplaced.empty()) {
        error = misplaced.front() + " does not go with the " + options.transport + " transport";
        return false;
    }
    const bool tty = options.transport == "tty";
    const auto given = [&](const char* option) {
        return std::find(options.deviceOptions.begin(), options.deviceOptions.end(), option) !=
               options.deviceOptions.end();
    };
    if (given("--com") && options.transport != "file") {
        error = "--com does not go with the " + options.transport + " transport";
        return false;
    }
    if (given("--tty-dir") && !tty) {
        error = "--tty-dir does not go with the " + options.transport + " transport";
        return false;
    }
    // A folder's nodes are all candidates; the id list picks the system's real ttys.
    if (given("--tty-dir") && given("--usb-id")) {
        error = "--usb-id does not go with --tty-dir";
        return false;
    }
    // A folder that is not there yet: the device events wait for it.
    if (std::error_code code; tty && options.ttyDir != kDefaultTtyDirectory &&
                              !std::filesystem::is_directory(options.ttyDir, code)) {
        PrintError("no folder '" + options.ttyDir + "' yet: waiting for handsets to make it");
    }
    return true;
}

DeviceOptions DeviceOptionsOf(const CliOptions& options) {
    DeviceOptions devices;
    devices.bFileHandle = options.transport == kFileHandleTransportName;
    devices.strTtyDirectory = options.ttyDir;
    devices.comPorts = options.comPorts;
    devices.usbIds = options.usbIds;
    return devices;
}

// --list-devices: what the transport would find now; nothing is written to any device.
int ListDevices(const CliOptions& options) {
    if (options.transport == "sim" || !options.simulatorOptions.empty()) {
        PrintError(std::string("--list-devices lists real devices: give --transport ") +
                   kFileHandleTransportName + " or " + kUsbTransportName);
        return kExitBadArguments;
    }
    std::string error;
    if (!CheckTransportOptions(options, error)) {
        PrintError(error);
        return kExitBadArguments;
    }
    const std::unique_ptr<DeviceSource> devices = MakeDeviceSource(
        DeviceOptionsOf(options), [](const std::string& text) { PrintError(text); });
    if (!devices->Prepare(error)) {
        PrintError(error);
        return kExitFailed;
    }
    const std::vector<ListedDevice> listed = devices->ListPresent(nullptr);
    std::cout << (options.json ? DeviceListJson(listed) : DeviceListText(listed)) << std::flush;
    return kExitFinished;
}

// Whether two paths name one file: the same inode when both exist, else the same place.
bool SameFile(const std::string& first, const std::string& second) {
    namespace fs = std::filesystem;
    std::error_code code;
    const fs::path firstPath = Utf8Path(first);
    const fs::path secondPath = Utf8Path(second);
    if (fs::equivalent(firstPath, secondPath, code)) {
        return true;
    }
    return fs::weakly_canonical(firstPath, code) == fs::weakly_canonical(secondPath, code);
}

// A port log's file name as PortLogFileName makes them.
bool IsPortLogName(const std::string& name) {
    return name.rfind("port", 0) == 0 && name.size() > 9 && name[4] >= '0' && name[4] <= '7' &&
           name[5] == '-' && name.compare(name.size() - 4, 4, ".log") == 0;
}

// No output may be an image or another output: --log, --report and the port logs of
// --port-logs each name a file of their own. Checked before anything is opened for writing.
bool IsImage(const CliOptions& options, const std::string& path, std::string& option) {
    for (size_t index = 0; index < kImageOptionCount; ++index) {
        const std::string& image = options.images[index];
        if (!image.empty() && SameFile(path, image)) {
            option = kImageOptions[index].name;
            return true;
        }
    }
    return false;
}

// Whether a port log at `path` would overwrite an image, --log or --report.
bool IsOtherFileOfTheJob(const CliOptions& options, const std::string& path) {
    std::string option;
    return IsImage(options, path, option) ||
           (!options.logFile.empty() && SameFile(path, options.logFile)) ||
           (!options.reportFile.empty() && SameFile(path, options.reportFile));
}

bool OutputApart(const CliOptions& options, const char* name, const std::string& path,
                 std::string& error) {
    if (path.empty()) {
        return true;
    }
    if (std::string option; IsImage(options, path, option)) {
        error = std::string(name) + ": '" + path + "' is the image of " + option;
        return false;
    }
    const std::filesystem::path file = Utf8Path(path);
    if (!options.portLogsDir.empty() && IsPortLogName(Utf8Text(file.filename())) &&
        SameFile(file.parent_path().empty() ? "." : Utf8Text(file.parent_path()),
                 options.portLogsDir)) {
        error = std::string(name) + ": '" + path + "' is a port log of --port-logs";
        return false;
    }
    return true;
}

bool CheckOutputsApart(const CliOptions& options, std::string& error) {
    if (!OutputApart(options, "--log", options.logFile, error) ||
        !OutputApart(options, "--report", options.reportFile, error) ||
        (options.eventsFile != "-" &&
         !OutputApart(options, "--events", options.eventsFile, error))) {
        return false;
    }
    if (!options.logFile.empty() && !options.reportFile.empty() &&
        SameFile(options.logFile, options.reportFile)) {
        error = "--log and --report name the same file '" + options.logFile + "'";
        return false;
    }
    // A port log already there (a link, say) that is an image or another output.
    std::error_code code;
    for (const auto& entry :
         std::filesystem::directory_iterator(Utf8Path(options.portLogsDir), code)) {
        const std::string path = Utf8Text(entry.path());
        if (IsPortLogName(Utf8Text(entry.path().filename())) &&
            IsOtherFileOfTheJob(options, path)) {
            error = "--port-logs: '" + path + "' is an image or another output of the job";
            return false;
        }
    }
    return true;
}

// Whether the report of a job that ends on bad input can still be written where it was asked.
bool ReportWritable(const CliOptions& options) {
    std::string error;
    return !options.reportFile.empty() &&
           OutputApart(options, "--report", options.reportFile, error) &&
           (options.logFile.empty() || !SameFile(options.logFile, options.reportFile)) &&
           CheckWritableFile(options.reportFile, error);
}

constexpr size_t kSlotMapFileLimit = 64 * 1024;

// The handsets to take and the ports their sockets are pinned to, from --device, --slot and
// --slot-map; the ports counted up to --ports.
bool BuildDeviceChoice(CliOptions& options, std::string& error) {
    for (const std::string& device : options.devices) {
        options.deviceChoice.Choose(device);
    }
    for (const std::string& slot : options.slots) {
        if (!options.deviceChoice.AddSlot(slot, options.ports, error)) {
            error = "--slot: " + error;
            return false;
        }
    }
    if (options.slotMapFile.empty()) {
        return true;
    }
    const std::optional<std::string> text =
        ReadBoundedFile(options.slotMapFile, kSlotMapFileLimit, error);
    if (!text) {
        error = "--slot-map: " + error;
        return false;
    }
    if (!options.deviceChoice.AddSlotLines(*text, options.ports, error)) {
        error = "--slot-map " + options.slotMapFile + ": " + error;
        return false;
    }
    return true;
}

// What the arguments mean together; the devices' faults by handset. False with a reason.
bool CheckArguments(CliOptions& options, std::vector<HandsetFaults>& faults, std::string& error) {
    if (!CheckTransportOptions(options, error)) {
        return false;
    }
    if (options.ports == 0) {
        options.ports = options.simulate > 0 ? options.simulate : kPortCount;
    }
    if (!BuildDeviceChoice(options, error)) {
        return false;
    }
    faults.assign(static_cast<size_t>(options.simulate), HandsetFaults{});
    for (const std::string& fault : options.simFaults) {
        if (!ApplyPortFault(fault, faults, error)) {
            error = "--sim-fault: " + error;
            return false;
        }
    }
    if (options.jobs > 0 && !options.loop) {
        error = "--jobs goes with --loop";
        return false;
    }
    if (options.loop && options.check) {
        error = "--loop does not go with --check";
        return false;
    }
    if (!options.historyFile.empty() && options.noHistory) {
        error = "--history does not go with --no-history";
        return false;
    }
    if (!options.historyFile.empty() && !JobHistoryBuilt()) {
        OpenJobHistory(options.historyFile, options.benchName, error);
        error = "--history: " + error;
        return false;
    }
    const bool smdMode = options.mode == "smd";
    for (size_t index = 0; index < kOptionBoxCount; ++index) {
        if (options.boxes[index] && kOptionChoiceKeys[index].id == IDC_SMD_CHECK && !smdMode) {
            error = "--smd-check needs --mode smd";
            return false;
        }
    }
    if (std::none_of(options.images.begin(), options.images.end(),
                     [](const std::string& path) { return !path.empty(); })) {
        error =
            "no image given: choose at least one with --eboot, --pda, --csc, --telvik, "
            "--phone, --smd, --integrated or --contents";
        return false;
    }
    if (!CheckOutputsApart(options, error)) {
        return false;
    }
    if (!options.logFile.empty() && !CheckWritableFile(options.logFile, error)) {
        error = "--log: " + error;
        return false;
    }
    if (!options.reportFile.empty() && !CheckWritableFile(options.reportFile, error)) {
        error = "--report: " + error;
        return false;
    }
    if (!options.portLogsDir.empty() && !PrepareDirectory(options.portLogsDir, error)) {
        error = "--port-logs: " + error;
        return false;
    }
    return true;
}

// The handsets of --simulate: made up front, plugged into the bus one after another from a
// thread of their own, as an operator plugs them in after pressing Detect. Under --loop each job
// gets a new batch in place of the last.
class SimulatedHandsets {
  public:
    SimulatedHandsets(SimBus& bus, const CliOptions& options,
                      const std::vector<HandsetFaults>& faults)
        : m_bus(bus) {
        for (int index = 0; index < options.simulate; ++index) {
            HandsetConfig config = DemoHandsetConfig(index);
            config.timing.roundTripMicros = options.simRoundTripMicros;
            config.timing.flashBytesPerSecond =
                static_cast<uint64_t>(options.simFlashMegabytesPerSecond * (1 << 20));
            config.faults = faults[static_cast<size_t>(index)];
            m_configs.push_back(config);
        }
        MakeBatch();
    }
    ~SimulatedHandsets() { Stop(); }
    SimulatedHandsets(const SimulatedHandsets&) = delete;
    SimulatedHandsets& operator=(const SimulatedHandsets&) = delete;

    void StartPlugging() {
        m_thread = std::thread([this] {
            for (const auto& handset : m_handsets) {
                std::unique_lock lock(m_mutex);
                if (m_stopping.wait_for(lock, kArrivalGap, [this] { return m_bStop; })) {
                    return;
                }
                lock.unlock();
                m_bus.Plug(handset);
            }
        });
    }
    void Stop() {
        {
            std::lock_guard lock(m_mutex);
            m_bStop = true;
        }
        m_stopping.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    // The last batch leaves the bus; fresh handsets of the same names wait to be plugged in.
    void ReplaceBatch() {
        Stop();
        for (const auto& handset : m_handsets) {
            m_bus.Unplug(SimDevicePath(handset->Config().instance));
        }
        MakeBatch();
        std::lock_guard lock(m_mutex);
        m_bStop = false;
    }
    std::shared_ptr<VirtualHandset> ByInstance(const std::string& instance) const {
        for (const auto& handset : m_handsets) {
            if (handset->Config().instance == instance) {
                return handset;
            }
        }
        return nullptr;
    }

  private:
    void MakeBatch() {
        m_handsets.clear();
        for (const HandsetConfig& config : m_configs) {
            m_handsets.push_back(std::make_shared<VirtualHandset>(config));
        }
    }

    SimBus& m_bus;
    std::vector<HandsetConfig> m_configs;
    std::vector<std::shared_ptr<VirtualHandset>> m_handsets;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_stopping;
    bool m_bStop = false;
};

int StatusColumns() {
    const int columns = TerminalColumns();
    return columns > 0 ? columns : 80;
}

// With the events on standard output, the main log goes to standard error.
TerminalStreams StandardStreams(bool eventsOnStdout) {
    TerminalStreams streams;
    const bool statusTerminal = IsTerminal(StandardStream::kError);
    streams.bLiveProgress = statusTerminal;
    if (eventsOnStdout) {
        streams.log = stderr;
    }
    streams.bLogOnTerminal =
        statusTerminal && (eventsOnStdout || IsTerminal(StandardStream::kOutput));
    streams.bInteractive = statusTerminal && IsTerminal(StandardStream::kInput);
    const char* noColour = std::getenv("NO_COLOR");
    streams.bColours = noColour == nullptr || *noColour == '\0';
    streams.bPlainProgress = !statusTerminal;
    streams.columns = StatusColumns;
    streams.logText = LogTextToUtf8;
    return streams;
}

enum class JobEnd {
    kAllDone,
    kNoHandset,
    kInterrupted,
    kStopped,  // --loop: a signal came while waiting for a batch, before any handset attached
};

// The report of a job that ended on bad input: the error, and nothing sent.
void WriteBadInputReport(const std::string& path, const std::string& error) {
    JobReport report;
    report.started = report.ended = std::chrono::system_clock::now();
    report.strVersion = kProjectVersion;
    report.strCommit = kGitCommit;
    report.strResult = "bad input";
    report.strError = error;
    report.nExitStatus = kExitBadArguments;
    if (std::string failure;
        !WriteFileAtomically(path, ReportJson(report).dump(2) + "\n", failure)) {
        PrintError("--report: " + failure);
    }
}

class CommandLineBench {
  public:
    CommandLineBench(const CliOptions& options, const std::vector<HandsetFaults>& faults)
        : m_options(options),
          m_view(StandardStreams(options.eventsFile == "-")),
          m_clock(options.simTimeScale),
          m_bus(m_clock),
          m_handsets(m_bus, options, faults),
          m_pDevices(MakeDevices()),
          m_app(m_view, m_loop, Setup()),
          m_recorder(m_app, m_view,
                     [this](int port) { return m_view.GetProgressPos(ProgressId(port)); }),
          m_report(m_recorder.Report()) {
        m_recorder.SetPortDetails([this](ReportPort& record) {
            if (const auto handset = m_handsets.ByInstance(record.strDevice)) {
                record.bLaunched = handset->Launched();
                for (const FlashRecord& flash : handset->Flashed()) {
                    record.flashed.push_back({flash.code, flash.kind, flash.length, flash.byteSum});
                }
            }
        });
    }

    ~CommandLineBench() {
        m_handsets.Stop();
        m_app.Dialog().Shutdown();
        m_bus.RemoveListener(&m_app.DeviceEvents());
        if (m_pDevices) {
            m_pDevices->Stop();
        }
        if (m_pLogFile != nullptr) {
            std::fclose(m_pLogFile);
        }
    }
    CommandLineBench(const CommandLineBench&) = delete;
    CommandLineBench& operator=(const CommandLineBench&) = delete;

    int Run() {
        m_report.started = std::chrono::system_clock::now();
        m_report.nPortsExpected = m_options.ports;
        if (std::string error; !OpenLogFile(error)) {
            return BadInput({error});
        }
        if (std::string error;
            !m_options.eventsFile.empty() && !m_events.Open(m_options.eventsFile, error)) {
            return BadInput({"--events: " + error});
        }
        if (std::string error; m_pDevices && !m_pDevices->Prepare(error)) {
            PrintError(error);
            return kExitFailed;
        }
        if (!m_app.Start()) {
            return kExitFailed;
        }
        m_report.strTitle = m_app.Title();
        m_report.strVersion = kProjectVersion;
        m_report.strCommit = kGitCommit;
        if (!m_options.check) {
            OpenHistory();
        }
        if (std::string error; !StartLineTelemetry(error)) {
            return BadInput({"--mqtt: " + error});
        }
        std::vector<std::string> errors;
        if (!ChooseOptions() || !ChooseImages(errors) || !ChooseListEntries(errors)) {
            return BadInput(errors);
        }
        if (m_options.check) {
            return PrintCheck() ? kExitFinished : kExitBadArguments;
        }
        if (g_nSignal != 0) {
            return Finish(JobEnd::kInterrupted);
        }
        m_view.SetTrafficSource([this](int port) {
            const bool attached = m_app.Dialog().m_PortSlot[port].nState != kPortIdle;
            return PortTraffic{m_app.BytesSent(port), m_qwExpectedBytes,
                               attached ? m_recorder.DownloadStart() : std::nullopt};
        });
        m_view.SetJobLineSource([this] { return JobLine(); });
        m_app.Dialog().m_DeviceChoice = m_options.deviceChoice;
        NotifyJobStarted();
        m_app.Dialog().OnDetect();
        if (m_pDevices && m_options.attachPresent) {
            m_pDevices->AnnouncePresent();
        }
        m_handsets.StartPlugging();
        if (m_options.loop) {
            return RunLoop();
        }
        const JobEnd end = RunJob();
        return Finish(end);
    }

    // What the line's broker has not yet taken gets a few seconds more; what stays is said.
    void FinishLineTelemetry() {
        if (!m_pLinePublisher) {
            return;
        }
        if (const size_t queued = m_pLinePublisher->Drain(kLineDrainLimit)) {
            const std::string problem = m_pLinePublisher->Problem();
            PrintError(FormatEntry("--mqtt: %zu message%s for the line's broker stay%s queued%s%s",
                                   queued, queued == 1 ? "" : "s", queued == 1 ? "s" : "",
                                   problem.empty() ? "" : ": ", problem.c_str()));
        }
        if (const size_t dropped = m_lineOutbox.Dropped()) {
            PrintError(
                FormatEntry("--mqtt: dropped %zu unsent message%s for the line's broker, "
                            "the oldest first: the queue holds %zu",
                            dropped, dropped == 1 ? "" : "s", MemoryOutbox::kDefaultCapacity));
        }
    }

  private:
    bool StartLineTelemetry(std::string& error) {
        if (m_options.broker.strUrl.empty() || m_options.check) {
            return true;
        }
        LineBroker broker = m_options.broker;
        broker.strBench = m_options.benchName;
        // The messages wait until the broker has them: in the history when there is one, so
        // that they outlive this process, else in memory.
        TelemetryOutbox& outbox = m_pHistory ? m_pHistory->Outbox() : m_lineOutbox;
        m_pLinePublisher = MakeLinePublisher(broker, outbox, error);
        if (!m_pLinePublisher) {
            return false;
        }
        m_pLineTelemetry = std::make_unique<LineTelemetry>(outbox, broker.strLine, broker.strBench);
        m_recorder.AddObserver(*m_pLineTelemetry);
        return true;
    }

    // --loop: job after job until a signal or --jobs ends it. Handsets still plugged in from the
    // last job make no arrival, so only new ones attach.
    int RunLoop() {
        JobLoopTally tally;
        int status = kExitFinished;
        for (;;) {
            const JobEnd end = RunJob();
            if (end == JobEnd::kStopped) {
                // No handset came: the job leaves no port-log folder behind.
                m_pPortLogs.reset();
                if (!m_options.portLogsDir.empty()) {
                    std::error_code code;
                    // Only when empty.
                    std::filesystem::remove(Utf8Path(JobPortLogsDirectory()), code);
                }
                break;
            }
            const int jobStatus = Finish(end);
            tally.Add(FinishedPorts(), FailedPorts(), jobStatus);
            m_app.Dialog().AppendMainLogText(tally.JobLine() + "\r\n");
            if (end == JobEnd::kInterrupted) {
                status = jobStatus;
                break;
            }
            if (tally.Jobs() == m_options.jobs) {
                break;
            }
            if (std::vector<std::string> errors; !StartNextJob(tally.Jobs() + 1, errors)) {
                m_app.Dialog().AppendMainLogText(tally.FinalLine() + "\r\n");
                return BadInput(errors);
            }
        }
        BenchDialog& dlg = m_app.Dialog();
        dlg.AppendMainLogText(tally.FinalLine() + "\r\n");
        if (status == kExitFinished) {
            dlg.OnClose();
            status = tally.ExitStatus();
        }
        m_handsets.Stop();
        m_view.PrintStatus(FormatEntry("%s: %s\n", kProgram, tally.FinalLine().c_str()));
        return status;
    }

    // Reset all, the images chosen again (a job uses its choices up) and Detect, as the window
    // starts over; a new batch of simulated handsets.
    bool StartNextJob(int job, std::vector<std::string>& errors) {
        BenchDialog& dlg = m_app.Dialog();
        m_handsets.ReplaceBatch();
        dlg.ResetAll();
        m_recorder.NextJob(job);
        m_bPortLogFailed = {};
        m_bOutputsFailed = false;
        m_qwExpectedBytes = 0;
        m_nJob = job;
        m_events.SetJob(job);
        m_pPortLogs = MakePortLogs();
        if (!ChooseImages(errors) || !ChooseListEntries(errors)) {
            return false;
        }
        NotifyJobStarted();
        dlg.OnDetect();
        m_handsets.StartPlugging();
        return true;
    }

    int FinishedPorts() const {
        return static_cast<int>(
            std::count_if(m_report.ports.begin(), m_report.ports.end(),
                          [](const ReportPort& port) { return port.strState == "finished"; }));
    }
    int FailedPorts() const {
        return static_cast<int>(
            std::count_if(m_report.ports.begin(), m_report.ports.end(),
                          [](const ReportPort& port) { return port.strState == "failed"; }));
    }

    std::unique_ptr<DeviceSource> MakeDevices() {
        if (m_options.transport == "sim" || m_options.check) {
            return nullptr;
        }
        return MakeDeviceSource(DeviceOptionsOf(m_options),
                                WindowMessageBox(m_view, m_loop, kProgram));
    }

    BenchSetup Setup() {
        return m_pDevices ? DeviceBenchSetup(*m_pDevices, m_options.keepSyncSoftware)
                          : SimulatedBenchSetup(m_bus, m_clock);
    }

    bool OpenLogFile(std::string& error) {
        if (m_options.logFile.empty()) {
            return true;
        }
        m_pLogFile = OpenUtf8File(m_options.logFile, "w");
        if (m_pLogFile == nullptr) {
            error = "--log: cannot write '" + m_options.logFile + "': " + std::strerror(errno);
            return false;
        }
        m_view.SetMainLogCopy([this](std::string_view text) {
            const std::string stamped = m_logStamps.Apply(text, std::chrono::system_clock::now());
            std::fwrite(stamped.data(), 1, stamped.size(), m_pLogFile);
            std::fflush(m_pLogFile);
        });
        return true;
    }

    // Mode Select and the option boxes, each as a click on it.
    bool ChooseOptions() {
        BenchDialog& dlg = m_app.Dialog();
        if (m_options.mode == "smd") {
            m_view.SetComboSelection(IDC_MODE_SELECT, kModeSmd);
            dlg.OnModeSelect();
        }
        for (size_t index = 0; index < kOptionBoxCount; ++index) {
            if (m_options.boxes[index]) {
                m_view.SetCheck(kOptionChoiceKeys[index].id, true);
                dlg.OnOptionCheck(kOptionChoiceKeys[index].id);
            }
        }
        return true;
    }

    // Ends the job before anything is sent: the errors on standard error and in the report.
    int BadInput(const std::vector<std::string>& errors) {
        std::string joined;
        for (const std::string& error : errors) {
            PrintError(error);
            joined += (joined.empty() ? "" : "\n") + error;
        }
        m_report.ended = std::chrono::system_clock::now();
        m_report.strResult = "bad input";
        m_report.strError = joined;
        m_report.nExitStatus = kExitBadArguments;
        m_report.images.clear();
        m_events.JobEnd(m_report.strResult, m_report.nExitStatus, 0, 0, 0);
        m_recorder.Ended();
        WriteOutputs();
        return kExitBadArguments;
    }

    // Each image through its button, the file dialog answered with the path given.
    bool ChooseImages(std::vector<std::string>& errors) {
        BenchDialog& dlg = m_app.Dialog();
        for (size_t index = 0; index < kImageOptionCount; ++index) {
            const ImageOption& image = kImageOptions[index];
            const std::string& given = m_options.images[index];
            if (given.empty()) {
                continue;
            }
            if (!m_view.IsControlShown(kImageButtonIds[image.imageKind])) {
                errors.push_back(
                    std::string(image.name) + ": the window does not offer this image now" +
                    (image.imageKind == kKindSmd ? " (it needs --mode smd)"
                                                 : " (the Integrated image carries it)"));
                return false;
            }
            if (dlg.IsSelected(image.imageKind)) {
                dlg.OnImageButton(image.selectionKind);  // a chosen image's button clears it
            }
            const size_t logBefore = dlg.MainLog().size();
            m_view.SetNextChosenFile(Utf8Text(std::filesystem::absolute(Utf8Path(given))));
            dlg.OnImageButton(image.selectionKind);
            if (!dlg.IsSelected(image.imageKind)) {
                for (const std::string& line : LogLines(dlg.MainLog().substr(logBefore))) {
                    errors.push_back(std::string(image.name) + " " + given + ": " +
                                     LogTextToUtf8(line));
                }
                return false;
            }
            const ImageSpan span = dlg.Span(image.imageKind);
            m_qwExpectedBytes += span.dwSize / kChunkPayload * kChunkPacket + kChunkPacket;
            m_report.images.push_back(
                DescribeImage(ReportImageKind(image.imageKind), dlg.Path(image.imageKind), span,
                              !m_options.reportFile.empty() || m_recorder.Observed()));
        }
        return true;
    }

    // "Job: 3 done, 1 failed of 4 attached; 12.5 of 40.0 MB written"
    std::string JobLine() {
        const BenchDialog& dlg = m_app.Dialog();
        uint64_t sent = 0;
        uint64_t expected = 0;
        for (int port = 0; port < kPortCount; ++port) {
            if (dlg.m_PortSlot[port].nState != kPortIdle) {
                sent += m_app.BytesSent(port);
                expected += m_qwExpectedBytes;
            }
        }
        constexpr double kMegabyte = 1 << 20;
        return FormatEntry("Job: %d done, %d failed of %d attached; %.1f of %.1f MB written",
                           dlg.m_nFinished, dlg.m_nFailed, dlg.m_nDetected,
                           static_cast<double>(sent) / kMegabyte,
                           static_cast<double>(expected) / kMegabyte);
    }

    // What --check found: each image as chosen and what it holds, the lists its choice filled
    // and the option word, as text or with --json as JSON. False when an image could not be read
    // again.
    bool PrintCheck() {
        BenchDialog& dlg = m_app.Dialog();
        CheckFindings findings;
        const std::vector<std::string>& cscFiles = m_view.ComboStrings(IDC_CSC_FILE_SELECT);
        for (size_t index = 0; index < kImageOptionCount; ++index) {
            const ImageOption& image = kImageOptions[index];
            if (!m_options.images[index].empty()) {
                findings.images.push_back(CheckImage(image, cscFiles));
            }
        }
        for (const auto& [comboId, caption] : {std::pair{IDC_CSC_FILE_SELECT, "CSC File Select"},
                                               std::pair{IDC_LANGUAGE_SELECT, "Language Select"}}) {
            const std::vector<std::string>& entries = m_view.ComboStrings(comboId);
            if (entries.empty()) {
                continue;
            }
            CheckedList list{caption, m_view.GetComboSelection(comboId), {}};
            for (size_t entry = 0; entry < entries.size(); ++entry) {
                int row = -1;
                const bool language = comboId == IDC_LANGUAGE_SELECT &&
                                      SelectedLanguageRow(static_cast<int>(entry), row);
                list.entries.push_back(
                    {LogTextToUtf8(entries[entry]), language ? LanguageTable[row].szCode : ""});
            }
            findings.lists.push_back(std::move(list));
        }
        // The word an attach would send with these images and boxes.
        findings.dwOptionWord = dlg.m_dwOptionFlags.load() | AttachOptionBits(dlg);
        const std::string text =
            m_options.json ? CheckJson(findings).dump(2) + "\n" : CheckText(findings);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return std::all_of(
            findings.images.begin(), findings.images.end(),
            [](const CheckedImage& image) { return image.bOpened && image.strError.empty(); });
    }

    CheckedImage CheckImage(const ImageOption& image, const std::vector<std::string>& cscFiles) {
        BenchDialog& dlg = m_app.Dialog();
        CheckedImage checked;
        checked.strKind = ReportImageKind(image.imageKind);
        checked.strPath = LogTextToUtf8(dlg.Path(image.imageKind));
        ImageFile file;
        checked.bOpened = file.Open(dlg.Path(image.imageKind));
        if (!checked.bOpened) {
            return checked;
        }
        checked.qwFileSize = file.Length();
        const FileDigests digests = FileByteSumAndSha256(file, &checked.bReadWhole);
        checked.dwFileSum = digests.dwByteSum;
        checked.strSha256 = Sha256Hex(digests.sha256);
        const ImageSpan span = dlg.Span(image.imageKind);
        checked.sent = {
            "sent", span.dwStart, span.dwSize, RegionByteSum(file, span.dwStart, span.dwSize), {}};
        std::vector<std::string> names;
        for (const std::string& name : cscFiles) {
            names.push_back(LogTextToUtf8(name));
        }
        if (std::string error;
            !ReadImageRegions(file, image.imageKind, names, checked.regions, error)) {
            checked.strError = error;
        }
        return checked;
    }

    // The entries of "CSC File Select" and "Language Select", after the images filled them.
    bool ChooseListEntries(std::vector<std::string>& errors) {
        if (m_options.cscFile >= 0) {
            if (!ChooseEntry("--csc-file", IDC_CSC_FILE_SELECT, m_options.cscFile, errors)) {
                return false;
            }
            m_app.Dialog().OnSelectCscFile();
        }
        return m_options.language < 0 ||
               ChooseEntry("--language", IDC_LANGUAGE_SELECT, m_options.language, errors);
    }

    bool ChooseEntry(const char* option, int comboId, int entry, std::vector<std::string>& errors) {
        const int count = m_view.GetComboCount(comboId);
        if (entry >= count) {
            errors.push_back(
                FormatEntry("%s %d: the list has %d entr%s (0 = first); a multi-CSC image fills it",
                            option, entry, std::max(count, 0), count == 1 ? "y" : "ies"));
            return false;
        }
        m_view.SetComboSelection(comboId, entry);
        return true;
    }

    // The window thread: runs the window's messages until the job is over.
    JobEnd RunJob() {
        BenchDialog& dlg = m_app.Dialog();
        auto detectStart = std::chrono::steady_clock::now();
        const auto detectLimit = std::chrono::duration<double>(m_options.detectTimeout);
        const bool attachStarts = dlg.m_bStartImmediately != 0 || m_options.ports == kPortCount;
        for (;;) {
            m_loop.RunOne(kLoopTick);
            dlg.CollectPortLogs();
            m_recorder.NotePortEnds();
            UpdatePortLogs();
            ObserveEvents();
            m_view.RefreshProgress();
            if (const int signal = g_nSignal.exchange(0)) {
                if (m_options.loop && dlg.m_nDetected == 0 && !m_recorder.DownloadStart()) {
                    m_nSignal = signal;
                    return JobEnd::kStopped;
                }
                // Ctrl-C asks the close question when a job runs; declining keeps it running.
                if (signal == SIGINT && !dlg.OnClose()) {
                    continue;
                }
                dlg.Shutdown();
                m_nSignal = signal;
                return JobEnd::kInterrupted;
            }
            if (!m_recorder.DownloadStart()) {
                if (m_recorder.NoteDownloadStart()) {
                    continue;
                }
                // A loop waits for its batch as long as it takes: the time-out counts from the
                // batch's first handset.
                if (m_options.loop && dlg.m_nDetected == 0) {
                    detectStart = std::chrono::steady_clock::now();
                    continue;
                }
                const bool timedOut = std::chrono::steady_clock::now() - detectStart >= detectLimit;
                if (timedOut && dlg.m_nDetected == 0) {
                    PrintError(FormatEntry("no handset attached within %g seconds",
                                           m_options.detectTimeout));
                    return JobEnd::kNoHandset;
                }
                // Eight attached handsets, or the first with "Start downloading immediately",
                // start the job from the attach itself.
                if ((timedOut || (!attachStarts && dlg.m_nDetected >= m_options.ports)) &&
                    m_view.IsControlEnabled(IDC_START_DOWNLOADING)) {
                    dlg.OnStartDownloading();
                }
                continue;
            }
            if (dlg.m_nFinished + dlg.m_nFailed == dlg.m_nDetected) {
                return JobEnd::kAllDone;
            }
        }
    }

    void NotifyJobStarted() { m_recorder.Started(OptionsJson()); }

    // What each port shows, to the events stream and to the observers when it changed.
    void ObserveEvents() {
        if (m_events.IsOpen()) {
            m_recorder.ObservePorts(
                [this](int port, const PortSnapshot& now) { m_events.Observe(port, now); });
        } else if (m_recorder.Observed()) {
            m_recorder.ObservePorts();
        }
    }

    // The port logs as far as the ports have got; a port log that cannot be written is reported
    // once and left.
    void UpdatePortLogs() {
        if (!m_pPortLogs) {
            return;
        }
        const BenchDialog& dlg = m_app.Dialog();
        for (int port = 0; port < kPortCount; ++port) {
            if (dlg.m_PortSlot[port].nState == kPortIdle || m_bPortLogFailed[port]) {
                continue;
            }
            UpdatePortLog(port, dlg.m_strDeviceName[port], dlg.PortRecord(port));
        }
    }
    void UpdatePortLog(int port, const std::string& device, const std::string& record) {
        if (std::string error; !m_pPortLogs->Update(port, device, record, error)) {
            PrintError("--port-logs: " + error);
            m_bPortLogFailed[port] = true;
            m_bOutputsFailed = true;
        }
    }

    int Finish(JobEnd end) {
        BenchDialog& dlg = m_app.Dialog();
        // A loop's window stays open for the next job.
        if (end != JobEnd::kInterrupted && !m_options.loop) {
            dlg.OnClose();
        }
        m_handsets.Stop();
        // The main-log lines whose way to the window closed with it: the view prints only what
        // it has not shown.
        m_view.SetText(IDC_MAIN_LOG, dlg.MainLog());
        dlg.CollectPortLogs();
        m_recorder.NotePortEnds();
        m_report.ended = std::chrono::system_clock::now();

        int status = kExitFinished;
        m_report.strResult = "finished";
        m_report.nPortsAttached = dlg.m_nDetected;
        if (end == JobEnd::kNoHandset) {
            status = kExitFailed;
            m_report.strResult = "no handset";
        } else if (end == JobEnd::kInterrupted) {
            status = kExitSignalBase + (m_nSignal != 0 ? m_nSignal : g_nSignal.load());
            m_report.strResult = "interrupted";
        } else if (dlg.m_nFailed > 0) {
            status = kExitFailed;
            m_report.strResult = "failed";
        } else if (dlg.m_nDetected < m_options.ports) {
            status = kExitFewerHandsets;
            m_report.strResult = "fewer handsets";
            PrintError(FormatEntry("%d of the %d handsets of --ports attached", dlg.m_nDetected,
                                   m_options.ports));
        }
        m_report.nExitStatus = status;
        ObserveEvents();
        m_recorder.CollectPorts(OptionsJson());
        ShowSummary();
        m_recorder.Ended();
        return WriteOutputs() ? status : kExitFailed;
    }

    nlohmann::json OptionsJson() {
        nlohmann::json options = nlohmann::json::object();
        for (size_t index = 0; index < kOptionBoxCount; ++index) {
            options[ReportKey(kOptionChoiceKeys[index].name)] = m_options.boxes[index];
        }
        options["mode"] = m_options.mode;
        options["language"] =
            ReportListEntry(m_view.ComboStrings(IDC_LANGUAGE_SELECT), m_options.language);
        options["csc_file"] =
            ReportListEntry(m_view.ComboStrings(IDC_CSC_FILE_SELECT), m_options.cscFile);
        options["ports"] = m_options.ports;
        options["transport"] = m_options.transport;
        options["simulate"] = m_options.simulate;
        options["sim_fault"] = m_options.simFaults;
        return options;
    }

    // The ports' last picture and one line of result, on standard error.
    void ShowSummary() {
        const BenchDialog& dlg = m_app.Dialog();
        if (dlg.m_nDetected > 0 || dlg.m_nFailed > 0) {
            if (m_view.IsLive()) {
                m_view.KeepProgress();
            } else {
                std::string lines;
                const auto now = std::chrono::steady_clock::now();
                for (const ReportPort& port : m_report.ports) {
                    lines += m_view.ProgressLine(port.nPort, now, kSummaryWidth, false) +
                             FormatEntry("  %.1f s\n", port.dSeconds);
                }
                m_view.PrintStatus(lines);
            }
        }
        int finished = 0;
        int failed = 0;
        for (const ReportPort& port : m_report.ports) {
            finished += port.strState == "finished" ? 1 : 0;
            failed += port.strState == "failed" ? 1 : 0;
        }
        m_view.PrintStatus(FormatEntry("%s: %s: %d finished, %d failed, %zu attached\n", kProgram,
                                       m_report.strResult.c_str(), finished, failed,
                                       m_report.ports.size()));
        m_events.JobEnd(m_report.strResult, m_report.nExitStatus, finished, failed,
                        static_cast<int>(m_report.ports.size()));
    }

    // The history, unless --no-history or the build has none; one that cannot be opened is
    // reported and the job runs without it, each job's report and exit status saying so.
    void OpenHistory() {
        if (m_options.noHistory || (m_options.historyFile.empty() && !JobHistoryBuilt())) {
            return;
        }
        const std::string path =
            m_options.historyFile.empty() ? DefaultHistoryPath() : m_options.historyFile;
        m_pHistory = OpenJobHistory(path, m_options.benchName, m_strHistoryFailure);
        if (m_pHistory) {
            m_recorder.AddObserver(*m_pHistory);
        } else {
            PrintError("--history: " + m_strHistoryFailure);
            m_bHistoryFailureShown = true;
        }
    }

    // Why the history did not record this job, said once on standard error.
    void NoteHistoryFailure() {
        if (m_pHistory && m_strHistoryFailure.empty()) {
            m_strHistoryFailure = m_pHistory->Failure();
        }
        if (m_strHistoryFailure.empty()) {
            return;
        }
        if (!m_bHistoryFailureShown) {
            PrintError("--history: " + m_strHistoryFailure);
            m_bHistoryFailureShown = true;
        }
        m_report.strHistoryError = m_strHistoryFailure;
        m_bOutputsFailed = true;
    }

    bool WriteOutputs() {
        NoteHistoryFailure();
        if (m_pPortLogs) {
            for (const ReportPort& port : m_report.ports) {
                if (!m_bPortLogFailed[port.nPort]) {
                    UpdatePortLog(port.nPort, port.strDevice, port.strLog);
                }
            }
        }
        std::string error;
        const std::string reportFile = m_options.loop && !m_options.reportFile.empty()
                                           ? NumberedPath(m_options.reportFile, m_nJob)
                                           : m_options.reportFile;
        if (!reportFile.empty() &&
            (!OutputApart(m_options, "--report", reportFile, error) ||
             !WriteFileAtomically(reportFile, ReportJson(m_report).dump(2) + "\n", error))) {
            PrintError("--report: " + error);
            m_bOutputsFailed = true;
        }
        if (m_events.IsOpen() && !m_events.Written()) {
            PrintError("--events: an event could not be written whole");
            m_bOutputsFailed = true;
        }
        return !m_bOutputsFailed;
    }

    // Under --loop each job's port logs go into a folder of their own.
    std::string JobPortLogsDirectory() const {
        if (!m_options.loop) {
            return m_options.portLogsDir;
        }
        return Utf8Text(Utf8Path(m_options.portLogsDir) / JobFolderName(m_nJob));
    }
    std::unique_ptr<PortLogFiles> MakePortLogs() {
        if (m_options.portLogsDir.empty()) {
            return nullptr;
        }
        const std::string directory = JobPortLogsDirectory();
        if (std::string error; m_options.loop && !PrepareDirectory(directory, error)) {
            PrintError("--port-logs: " + error);
            m_bOutputsFailed = true;
            return nullptr;
        }
        return std::make_unique<PortLogFiles>(directory, [this](const std::string& path) {
            return IsOtherFileOfTheJob(m_options, path);
        });
    }

    const CliOptions& m_options;
    MessageLoop m_loop;
    TerminalView m_view;
    ScaledClock m_clock;
    SimBus m_bus;
    SimulatedHandsets m_handsets;
    // The real devices; null on a simulated bench.
    std::unique_ptr<DeviceSource> m_pDevices;
    BenchApplication m_app;
    // The job's record and its observers (the history and the line's broker, when asked for,
    // each owned by its own member below).
    JobRecorder m_recorder;
    JobReport& m_report;
    FILE* m_pLogFile = nullptr;
    LineStamps m_logStamps;
    int m_nJob = 1;  // counted from 1; more than one only under --loop
    bool m_bOutputsFailed = false;
    std::unique_ptr<PortLogFiles> m_pPortLogs = MakePortLogs();
    std::array<bool, kPortCount> m_bPortLogFailed{};
    int m_nSignal = 0;
    uint64_t m_qwExpectedBytes = 0;
    JobEvents m_events;
    std::unique_ptr<JobHistory> m_pHistory;
    std::string m_strHistoryFailure;
    bool m_bHistoryFailureShown = false;
    // In this order so that the publisher, which drains the outbox, is destroyed before it.
    MemoryOutbox m_lineOutbox;
    std::unique_ptr<LineTelemetry> m_pLineTelemetry;
    std::unique_ptr<LinePublisher> m_pLinePublisher;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments = CommandLineArguments(argc, argv);
    std::vector<char*> argumentPointers;
    for (std::string& argument : arguments) {
        argumentPointers.push_back(argument.data());
    }
    if (argumentPointers.size() > 1 && std::string_view(argumentPointers[1]) == "history") {
        return RunHistoryCommand(kProgram, static_cast<int>(argumentPointers.size()) - 1,
                                 argumentPointers.data() + 1);
    }
    CliOptions options;
    if (const std::optional<int> status = ParseCommandLine(
            static_cast<int>(argumentPointers.size()), argumentPointers.data(), options)) {
        return *status;
    }
    if (options.listDevices) {
        return ListDevices(options);
    }
    if (options.json && !options.check) {
        PrintError("--json goes with --list-devices or --check");
        return kExitBadArguments;
    }
    std::vector<HandsetFaults> faults;
    std::string error;
    if (!CheckArguments(options, faults, error)) {
        PrintError(error);
        if (ReportWritable(options)) {
            WriteBadInputReport(options.reportFile, error);
        }
        return kExitBadArguments;
    }
    ProtocolTimeouts timeouts = GetProtocolTimeouts();
    timeouts.commandReplyMs = static_cast<uint32_t>(options.replyLimit * 1000);
    timeouts.longOperationMs = static_cast<uint32_t>(options.longReplyLimit * 1000);
    SetProtocolTimeouts(timeouts);
    CatchEndRequests(OnSignal);
    CommandLineBench bench(options, faults);
    const int status = bench.Run();
    bench.FinishLineTelemetry();
    return status;
}
