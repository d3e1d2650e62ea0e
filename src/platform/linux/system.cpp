#include "platform/system.h"

#include <iconv.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "images/format_entry.h"

namespace varnel {

namespace {

class Cp949Decoder {
  public:
    Cp949Decoder() : m_handle(iconv_open("UTF-8", "CP949")) {}
    ~Cp949Decoder() {
        if (Ready()) {
            iconv_close(m_handle);
        }
    }
    Cp949Decoder(const Cp949Decoder&) = delete;
    Cp949Decoder& operator=(const Cp949Decoder&) = delete;

    bool Ready() const { return m_handle != reinterpret_cast<iconv_t>(-1); }

    size_t DecodeSome(std::string_view text, std::string& out) {
        iconv(m_handle, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(text.data());
        size_t inLeft = text.size();
        char buffer[256];
        for (;;) {
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            const size_t result = iconv(m_handle, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer, sizeof buffer - outLeft);
            if (result != static_cast<size_t>(-1) || errno != E2BIG) {
                break;
            }
        }
        return text.size() - inLeft;
    }

  private:
    iconv_t m_handle;
};

int FileNumber(StandardStream stream) {
    switch (stream) {
        case StandardStream::kInput:
            return STDIN_FILENO;
        case StandardStream::kOutput:
            return STDOUT_FILENO;
        case StandardStream::kError:
            break;
    }
    return STDERR_FILENO;
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

size_t DecodeCp949Prefix(std::string_view text, std::string& out) {
    thread_local Cp949Decoder decoder;
    return decoder.Ready() ? decoder.DecodeSome(text, out) : 0;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary =
        FormatEntry("%s.%d.tmp", path.c_str(), static_cast<int>(getpid()));
    FILE* file = std::fopen(temporary.c_str(), "w");
    const bool written = file != nullptr &&
                         std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    const int writeErrno = errno;
    if (file != nullptr && std::fclose(file) != 0 && written) {
        error = "cannot write '" + temporary + "': " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    if (!written) {
        error = "cannot write '" + temporary + "': " + std::strerror(writeErrno);
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename '" + temporary + "' to '" + path + "': " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool MayWrite(const std::string& path, std::string& error) {
    if (access(path.c_str(), W_OK) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool IsTerminal(StandardStream stream) {
    return isatty(FileNumber(stream)) != 0;
}

int TerminalColumns() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void CatchEndRequests(void (*handler)(int signal)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a question waiting for its answer ends at the interrupt.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    // Output closed early (a pager quit) makes writes fail instead of ending the job mid-way.
    std::signal(SIGPIPE, SIG_IGN);
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "bench";
    }
    return name;
}

}  // namespace varnel
