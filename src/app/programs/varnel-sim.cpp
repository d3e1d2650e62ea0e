// varnel-sim: virtual handsets on ptys. Each handset gets a pty whose slave end is published as
// an entry (a symbolic link) in a directory, so that the tty transport finds it exactly as it
// finds a real device node, and the device monitor sees it arrive and leave. A reattach really
// removes the entry and makes a new pty under the same name after the delay.
//
// The host writes a byte stream, cut back into whole writes by HostStream.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/program_arguments.h"
#include "app/version.h"
#include "platform/linux/fd_util.h"
#include "sim/fault_names.h"
#include "sim/host_stream.h"
#include "sim/reply_queue.h"
#include "sim/virtual_handset.h"

namespace varnel {
namespace {

using Clock = std::chrono::steady_clock;

// How long a leaving handset waits for the host to read its last reply.
constexpr auto kDrainLimit = std::chrono::seconds(2);
// Longer than bytes written to a pty take to become readable at the other end.
constexpr auto kDeliveryTime = std::chrono::milliseconds(50);
constexpr size_t kReadChunk = 64 * 1024;

// One line about a handset's coming and going, for whoever watches the simulator.
void Say(const std::string& name, const std::string& what) {
    std::printf("[sim] %s: %s\n", name.c_str(), what.c_str());
    std::fflush(stdout);
}

class PtyHandset {
  public:
    PtyHandset(std::string directory, std::string name, HandsetConfig config,
               const WakeSignal& stop)
        : directory_(std::move(directory)),
          name_(std::move(name)),
          handset_(std::move(config)),
          stop_(stop) {}

    const std::string& Name() const { return name_; }
    const VirtualHandset& Handset() const { return handset_; }

    // Makes a pty and publishes its slave end; false with a line on standard error.
    bool Publish();
    // Removes the entry, then hangs up the host's end.
    void Unpublish();
    // The handset's life until the stop signal.
    void Run();

  private:
    enum class Presence { kPresent, kReturning, kGone };

    // Takes the entry out of the directory; the host's open end still works.
    void RemoveEntry();
    // Serves the host until the handset leaves or the stop signal comes.
    void Serve();
    void Depart(const HostWriteResult& result);
    void MoveReadyReplies(Clock::time_point now);
    void WriteOutbox();
    // Lets the host read what the handset said before it goes.
    void Drain();
    bool Stopping() const;

    const std::string directory_;
    const std::string name_;
    VirtualHandset handset_;
    const WakeSignal& stop_;

    UniqueFd master_;
    // Our own open of the slave end: without it the master reports a hang-up (and poll spins)
    // whenever no host has the node open. It also lets us see how much the host has not read.
    UniqueFd slave_;
    Presence presence_ = Presence::kPresent;
    Clock::time_point returnAt_{};

    ReplyQueue replies_;
    HostStream stream_;
    std::vector<uint8_t> inbox_ = std::vector<uint8_t>(kReadChunk);
    std::vector<uint8_t> outbox_;
};

std::string EntryPath(const std::string& directory, const std::string& name) {
    return directory + "/" + name;
}

bool PtyHandset::Publish() {
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    char slaveName[128] = {};
    if (!master_.Valid() || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0 ||
        ::ptsname_r(master_.Get(), slaveName, sizeof slaveName) != 0) {
        std::fprintf(stderr, "varnel-sim: no pty for %s: %s\n", name_.c_str(),
                     std::strerror(errno));
        return false;
    }
    slave_.Reset(::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    termios mode{};
    if (!slave_.Valid() || ::tcgetattr(slave_.Get(), &mode) != 0) {
        std::fprintf(stderr, "varnel-sim: cannot open %s: %s\n", slaveName, std::strerror(errno));
        return false;
    }
    // One termios serves both ends of a pty: raw here means no echo, no line editing and no
    // character translation in either direction.
    ::cfmakeraw(&mode);
    if (::tcsetattr(slave_.Get(), TCSANOW, &mode) != 0) {
        std::fprintf(stderr, "varnel-sim: cannot make %s raw: %s\n", slaveName,
                     std::strerror(errno));
        return false;
    }
    // The link appears under its final name in one step, never half made.
    const std::string entry = EntryPath(directory_, name_);
    const std::string staging = EntryPath(directory_, "." + name_ + ".new");
    ::unlink(staging.c_str());
    if (::symlink(slaveName, staging.c_str()) != 0 ||
        ::rename(staging.c_str(), entry.c_str()) != 0) {
        std::fprintf(stderr, "varnel-sim: cannot publish %s: %s\n", entry.c_str(),
                     std::strerror(errno));
        ::unlink(staging.c_str());
        return false;
    }
    presence_ = Presence::kPresent;
    replies_.Clear();
    stream_.Clear();
    outbox_.clear();
    return true;
}

void PtyHandset::RemoveEntry() {
    if (master_.Valid()) {
        ::unlink(EntryPath(directory_, name_).c_str());
    }
}

void PtyHandset::Unpublish() {
    RemoveEntry();
    master_.Reset();
    slave_.Reset();
}

bool PtyHandset::Stopping() const {
    pollfd fd{stop_.Fd(), POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

void PtyHandset::Run() {
    while (!Stopping()) {
        if (presence_ == Presence::kPresent) {
            Serve();
            continue;
        }
        pollfd fd{stop_.Fd(), POLLIN, 0};
        if (presence_ == Presence::kGone) {
            PollUntil(&fd, 1, Clock::time_point::max());
            return;
        }
        if (PollUntil(&fd, 1, returnAt_) != 0) {
            return;
        }
        if (!Publish()) {
            presence_ = Presence::kGone;
            continue;
        }
        Say(name_, "back");
    }
}

void PtyHandset::Serve() {
    while (presence_ == Presence::kPresent) {
        MoveReadyReplies(Clock::now());
        SteadyTime wakeAt = Clock::time_point::max();
        if (!replies_.Empty()) {
            wakeAt = replies_.NextReadyAt();
        }
        pollfd fds[2] = {
            {master_.Get(), static_cast<short>(POLLIN | (outbox_.empty() ? 0 : POLLOUT)), 0},
            {stop_.Fd(), POLLIN, 0}};
        if (PollUntil(fds, 2, wakeAt) < 0 || (fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLOUT) != 0) {
            WriteOutbox();
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t count = ::read(master_.Get(), inbox_.data(), inbox_.size());
            if (count > 0) {
                replies_.SetOrigin(Clock::now());
                const HostWriteResult result =
                    stream_.Feed(inbox_.data(), static_cast<size_t>(count), handset_, replies_);
                if (result.exit != HandsetExit::kStay) {
                    Depart(result);
                }
            }
        } else if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            std::fprintf(stderr, "varnel-sim: %s: the pty failed\n", name_.c_str());
            Unpublish();
            presence_ = Presence::kGone;
        }
    }
}

void PtyHandset::Depart(const HostWriteResult& result) {
    if (result.exit == HandsetExit::kUnplug) {
        Unpublish();
        presence_ = Presence::kGone;
        Say(name_, "unplugged");
        return;
    }
    // The entry goes first, so that a host reconnecting at once cannot open the old node, while
    // the host's open end still gets the reply.
    RemoveEntry();
    Drain();
    Unpublish();
    if (result.exit == HandsetExit::kLeave) {
        presence_ = Presence::kGone;
        Say(name_, "left for good");
        return;
    }
    presence_ = Presence::kReturning;
    returnAt_ = Clock::now() + std::chrono::milliseconds(result.reattachDelayMs);
    Say(name_, "reattaching, back in " + std::to_string(result.reattachDelayMs) + " ms");
}

void PtyHandset::MoveReadyReplies(Clock::time_point now) {
    const size_t ready = replies_.ReadyBytes(now);
    if (ready > 0) {
        const size_t used = outbox_.size();
        outbox_.resize(used + ready);
        replies_.Take(outbox_.data() + used, ready, now);
        WriteOutbox();
    }
}

void PtyHandset::WriteOutbox() {
    if (outbox_.empty()) {
        return;
    }
    const ssize_t count = ::write(master_.Get(), outbox_.data(), outbox_.size());
    if (count > 0) {
        outbox_.erase(outbox_.begin(), outbox_.begin() + count);
    }
}

void PtyHandset::Drain() {
    // The host has read everything once our end of the pty shows nothing unread. Bytes written
    // to the master reach the slave's queue a moment later, so an empty queue right after the
    // write proves nothing: it counts only once something was seen there or a while has passed.
    const auto start = Clock::now();
    bool seenUnread = false;
    while (Clock::now() < start + kDrainLimit && !Stopping()) {
        MoveReadyReplies(Clock::now());
        int unread = 0;
        if (::ioctl(slave_.Get(), FIONREAD, &unread) != 0) {
            return;
        }
        seenUnread = seenUnread || unread > 0;
        if (replies_.Empty() && outbox_.empty() && unread == 0 &&
            (seenUnread || Clock::now() >= start + kDeliveryTime)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// What each handset flashed: manifest.json, and with bytes recorded one file per handset and
// flash code holding what the flash writes of that code received, in order.
bool WriteDump(const std::string& directory,
               const std::vector<std::unique_ptr<PtyHandset>>& handsets) {
    if (::mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "varnel-sim: cannot make %s: %s\n", directory.c_str(),
                     std::strerror(errno));
        return false;
    }
    nlohmann::json manifest = nlohmann::json::array();
    bool written = true;
    for (const auto& pty : handsets) {
        const VirtualHandset& handset = pty->Handset();
        const bool bytes = handset.Config().recordMode == RecordMode::kBytes;
        nlohmann::json flashed = nlohmann::json::array();
        std::map<uint32_t, std::string> files;
        for (const FlashRecord& record : handset.Flashed()) {
            char digest[17];
            std::snprintf(digest, sizeof digest, "%016llx",
                          static_cast<unsigned long long>(record.digest));
            nlohmann::json entry = {{"code", record.code},       {"kind", record.kind},
                                    {"a1", record.a1},           {"a2", record.a2},
                                    {"a3", record.a3},           {"length", record.length},
                                    {"byteSum", record.byteSum}, {"digest", digest}};
            if (bytes) {
                files.emplace(record.code,
                              pty->Name() + "." + std::to_string(record.code) + ".bin");
                entry["file"] = files[record.code];
            }
            flashed.push_back(std::move(entry));
        }
        for (const auto& [code, file] : files) {
            const std::vector<uint8_t> data = handset.FlashedBytes(code);
            std::ofstream out(directory + "/" + file, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(data.data()),
                      static_cast<std::streamsize>(data.size()));
            written = written && out.good();
        }
        char version[9];
        std::snprintf(version, sizeof version, "%08X", handset.CurrentVersion());
        manifest.push_back({{"name", pty->Name()},
                            {"version", version},
                            {"launched", handset.Launched()},
                            {"reattaches", handset.Reattaches()},
                            {"hostBytes", handset.HostBytesReceived()},
                            {"malformedWrites", handset.MalformedWrites()},
                            {"flashed", std::move(flashed)},
                            {"languages", handset.LanguageSelections()}});
    }
    std::ofstream out(directory + "/manifest.json", std::ios::trunc);
    out << manifest.dump(2) << "\n";
    written = written && out.good();
    if (!written) {
        std::fprintf(stderr, "varnel-sim: writing the dump in %s failed\n", directory.c_str());
    }
    return written;
}

// "FIRST:COUNT,FIRST:COUNT..." in decimal.
bool ParseSmdRanges(std::string_view text, std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
    const auto number = [](std::string_view digits, uint32_t& value) {
        const auto [end, status] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        return !digits.empty() && status == std::errc() && end == digits.data() + digits.size();
    };
    for (size_t start = 0; start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view range = text.substr(start, comma - start);
        const size_t colon = range.find(':');
        uint32_t first = 0;
        uint32_t count = 0;
        if (colon == std::string_view::npos || !number(range.substr(0, colon), first) ||
            !number(range.substr(colon + 1), count)) {
            return false;
        }
        ranges.emplace_back(first, count);
        start = comma + 1;
    }
    return true;
}

int Main(int argc, char** argv) {
    CLI::App app{
        "Serves virtual handsets in download mode on ptys, each published as an entry of a "
        "directory for the tty transport (varnel-cli --transport tty --tty-dir DIR)."};
    std::string directory;
    int count = 1;
    std::string prefix = "SIM";
    std::vector<std::string> faultTexts;
    std::string dumpDirectory;
    std::string record = "digest";
    uint32_t roundTripMicros = 0;
    uint64_t flashBytesPerSecond = 0;
    std::string version;
    std::string smdRanges;
    app.add_option("--dir", directory, "Directory for the handsets' entries (made if missing)")
        ->required();
    app.add_option("--handsets", count, "Number of handsets")->check(CLI::Range(1, 64));
    app.add_option("--prefix", prefix, "Entry names: PREFIX0, PREFIX1, ...");
    app.add_option("--fault", faultTexts,
                   "PORT:FAULT, repeatable; FAULT is one of:\n" + FaultNamesHelp());
    app.add_option("--dump", dumpDirectory,
                   "On exit, write what each handset flashed there (manifest.json)");
    app.add_option("--record", record,
                   "bytes: keep flashed bytes and dump them; digest: sizes, sums, digests")
        ->check(CLI::IsMember({"bytes", "digest"}));
    app.add_option("--round-trip-us", roundTripMicros, "Delay before every reply (microseconds)");
    app.add_option("--flash-rate", flashBytesPerSecond, "Flash write speed in bytes/s (0 instant)");
    app.add_option("--bootloader-version", version, "Boot-loader version word in hex");
    app.add_option("--smd-ranges", smdRanges,
                   "SMD block ranges asked for, FIRST:COUNT[,FIRST:COUNT...] (default: the "
                   "blocks the SMD header announces)");
    app.set_version_flag("--version", std::string("varnel-sim ") + kVersionText);
    app.footer(
        "Exit status: 0 stopped by SIGINT or SIGTERM as asked; 1 the handsets could not be "
        "served or dumped; 2 bad arguments.");
    if (const std::optional<int> status = ParseProgramArguments(app, argc, argv, "varnel-sim")) {
        return *status;
    }

    std::vector<HandsetFaults> faults(static_cast<size_t>(count));
    for (const std::string& text : faultTexts) {
        std::string error;
        if (!ApplyPortFault(text, faults, error)) {
            std::fprintf(stderr, "varnel-sim: %s\n", error.c_str());
            return 2;
        }
    }
    HandsetConfig base;
    base.recordMode = record == "bytes" ? RecordMode::kBytes : RecordMode::kDigest;
    base.timing.roundTripMicros = roundTripMicros;
    base.timing.flashBytesPerSecond = flashBytesPerSecond;
    if (!version.empty()) {
        char* end = nullptr;
        base.bootloaderVersion = static_cast<uint32_t>(std::strtoul(version.c_str(), &end, 16));
        if (*end != '\0') {
            std::fprintf(stderr, "varnel-sim: '%s' is not a hex version word\n", version.c_str());
            return 2;
        }
    }
    if (!smdRanges.empty() && !ParseSmdRanges(smdRanges, base.smdRanges)) {
        std::fprintf(stderr, "varnel-sim: '%s' is not FIRST:COUNT[,FIRST:COUNT...]\n",
                     smdRanges.c_str());
        return 2;
    }
    if (::mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "varnel-sim: cannot make %s: %s\n", directory.c_str(),
                     std::strerror(errno));
        return 2;
    }

    // Signals are taken by sigwait below, never by the serving threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    WakeSignal stop;
    if (!stop.Create()) {
        std::perror("varnel-sim: eventfd");
        return 1;
    }
    std::vector<std::unique_ptr<PtyHandset>> handsets;
    for (int index = 0; index < count; ++index) {
        HandsetConfig config = base;
        const std::string name = prefix + std::to_string(index);
        config.instance = name;
        config.faults = faults[static_cast<size_t>(index)];
        handsets.push_back(std::make_unique<PtyHandset>(directory, name, std::move(config), stop));
        if (!handsets.back()->Publish()) {
            for (auto& published : handsets) {
                published->Unpublish();
            }
            return 1;
        }
    }
    std::vector<std::thread> threads;
    for (auto& handset : handsets) {
        threads.emplace_back([&handset] { handset->Run(); });
    }
    std::printf("varnel-sim: %d handset(s) in %s\n", count, directory.c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&signals, &signal);
    stop.Signal();
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto& handset : handsets) {
        handset->Unpublish();
    }
    if (!dumpDirectory.empty() && !WriteDump(dumpDirectory, handsets)) {
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace varnel

int main(int argc, char** argv) {
    return varnel::Main(argc, argv);
}
