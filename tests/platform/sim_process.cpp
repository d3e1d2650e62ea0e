#include "tests/platform/sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

extern char** environ;

namespace varnel::test {

namespace {

// Starts varnel-sim with standard output (and, when `errorFd` is given, standard error) on pipes.
pid_t Spawn(const std::vector<std::string>& arguments, int& outFd, int* errorFd) {
    std::vector<std::string> words = {VARNEL_SIM_PROGRAM};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int out[2];
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (errorFd != nullptr && ::pipe2(err, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "no pipe";
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (errorFd != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    }
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    outFd = out[0];
    if (errorFd != nullptr) {
        ::close(err[1]);
        *errorFd = err[0];
    }
    EXPECT_EQ(failed, 0) << "cannot start " << argv[0];
    return failed == 0 ? pid : -1;
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(count));
    }
    ::close(fd);
    return text;
}

int ExitStatus(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

SimProcess::SimProcess(const std::string& folder, const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {"--dir", folder};
    all.insert(all.end(), arguments.begin(), arguments.end());
    int outFd = -1;
    pid_ = Spawn(all, outFd, nullptr);
    if (pid_ < 0) {
        return;
    }
    reader_ = std::thread([this, outFd] { Drain(outFd); });
    EXPECT_TRUE(WaitForOutput("handset(s) in")) << Output();
}

SimProcess::~SimProcess() {
    Stop();
}

void SimProcess::Drain(int fd) {
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0) {
        std::lock_guard lock(mutex_);
        output_.append(buffer, static_cast<size_t>(count));
        changed_.notify_all();
    }
    ::close(fd);
}

bool SimProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return output_.find(text) != std::string::npos; });
}

std::string SimProcess::Output() {
    std::lock_guard lock(mutex_);
    return output_;
}

int SimProcess::Stop() {
    if (pid_ < 0) {
        return -1;
    }
    ::kill(pid_, SIGTERM);
    const int status = ExitStatus(pid_);
    pid_ = -1;
    if (reader_.joinable()) {
        reader_.join();
    }
    return status;
}

int RunSimToEnd(const std::vector<std::string>& arguments, std::string& errors) {
    int outFd = -1;
    int errorFd = -1;
    const pid_t pid = Spawn(arguments, outFd, &errorFd);
    if (pid < 0) {
        return -1;
    }
    std::string output;
    std::thread outReader([&] { output = ReadAll(outFd); });
    errors = ReadAll(errorFd);
    outReader.join();
    return ExitStatus(pid);
}

nlohmann::json ReadDumpManifest(const std::string& dumpFolder) {
    std::ifstream in(dumpFolder + "/manifest.json");
    EXPECT_TRUE(in.good()) << "no manifest in " << dumpFolder;
    return nlohmann::json::parse(in, nullptr, false);
}

std::vector<uint8_t> DumpedFlash(const std::string& dumpFolder, const nlohmann::json& handset,
                                 uint32_t code) {
    for (const auto& record : handset["flashed"]) {
        if (record["code"] == code) {
            std::ifstream in(dumpFolder + "/" + record["file"].get<std::string>(),
                             std::ios::binary);
            return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
        }
    }
    return {};
}

}  // namespace varnel::test
