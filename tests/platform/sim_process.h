// varnel-sim run as a child process for a test: started with a folder for its handsets, watched
// through its standard output, stopped with SIGTERM, and its dump read back.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace varnel::test {

class SimProcess {
  public:
    // Runs varnel-sim --dir `folder` with `arguments` and waits until its handsets are published
    // (a test failure when they are not within a few seconds).
    SimProcess(const std::string& folder, const std::vector<std::string>& arguments);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // True once `text` has appeared on its standard output, waiting up to `limit`.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(5));
    std::string Output();
    // SIGTERM and wait: its exit status (128 + signal when killed), -1 when not running.
    int Stop();

  private:
    void Drain(int fd);

    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
};

// Runs varnel-sim to its end with `arguments`: its exit status and standard error.
int RunSimToEnd(const std::vector<std::string>& arguments, std::string& errors);

// The manifest.json a stopped varnel-sim wrote with --dump.
nlohmann::json ReadDumpManifest(const std::string& dumpFolder);

// The bytes a handset of that manifest flashed with command `code` (--record bytes); empty when
// it flashed none.
std::vector<uint8_t> DumpedFlash(const std::string& dumpFolder, const nlohmann::json& handset,
                                 uint32_t code);

}  // namespace varnel::test
