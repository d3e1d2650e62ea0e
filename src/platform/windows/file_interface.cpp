#include "platform/windows/file_interface.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <set>

#include "platform/windows/win_util.h"
#include "transport/device_path.h"

namespace varnel {

namespace {

void PrintLine(const char* format, const std::string& path) {
    std::printf(format, path.c_str());
    std::fflush(stdout);
}

enum class WaitResult { kDone, kFailed, kTimedOut, kClosed };

constexpr DWORD kPollIntervalMs = 1;
// How long a watch of the queue count looks again at once, yielding the processor between
// looks, before it sleeps kPollIntervalMs between them: that sleep lasts a millisecond or more,
// a handset's answer to a chunk a fraction of that.
constexpr std::chrono::microseconds kQuickLooks{300};
// Longest wait of one plain write: a write blocked by a device that has stopped reading looks
// for Close and its deadline this often.
constexpr DWORD kPlainWriteSliceMs = 50;

// The device paths this process holds open. Not every serial driver refuses a second open of
// a port (Wine's does not), and two ports on one handset would interleave their commands.
class HeldPaths {
  public:
    static bool Claim(const std::string& path) {
        std::lock_guard lock(Mutex());
        return Paths().insert(path).second;
    }
    static void Release(const std::string& path) {
        std::lock_guard lock(Mutex());
        Paths().erase(path);
    }

  private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::set<std::string>& Paths() {
        static std::set<std::string> paths;
        return paths;
    }
};

}  // namespace

struct CWinFileInterface::Handle {
    // Claimed before the device is opened, released after its handle is closed.
    struct Claim {
        std::string strPath;
        ~Claim() {
            if (!strPath.empty()) {
                HeldPaths::Release(strPath);
            }
        }
    } claim;
    UniqueHandle file;
    std::string strFileName;
    UniqueHandle readEvent{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle writeEvent{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    // Set by Close: every wait of this handle ends.
    UniqueHandle closedEvent{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> bClosed{false};
    // The driver's comm-event wait failed, so the queue count is watched.
    bool bPollQueue = false;
    // `file` is a second, plain (not overlapped) handle of the port; see UsePlainIo.
    bool bPlainIo = false;

    bool EventsValid() const {
        return readEvent.Valid() && writeEvent.Valid() && closedEvent.Valid();
    }

    // The event's low bit keeps a request that finishes at once from also queueing a completion
    // packet: this transport never uses a completion port, and under Wine each packet is one
    // more round trip to its server.
    OVERLAPPED Overlapped(const UniqueHandle& event) const {
        OVERLAPPED overlapped{};
        overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event.Get()) | 1);
        return overlapped;
    }

    static HANDLE EventOf(const OVERLAPPED& overlapped) {
        return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped.hEvent) &
                                        ~ULONG_PTR{1});
    }

    // Bytes the driver has queued for reading, after clearing its error state; -1 when it cannot
    // tell (the device is gone).
    long Queued() const {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(file.Get(), &errors, &status)) {
            return -1;
        }
        return static_cast<long>(status.cbInQue);
    }

    void ClearErrors() const { Queued(); }

    // Waits for an overlapped request until `deadline` or Close; a request that does not finish
    // is stopped by `stop` and waited out, so `overlapped` is free again on return.
    template <typename Stop>
    WaitResult Finish(OVERLAPPED& overlapped, SteadyTime deadline, DWORD& count, Stop stop) const {
        const HANDLE events[2] = {EventOf(overlapped), closedEvent.Get()};
        const DWORD signalled =
            ::WaitForMultipleObjects(2, events, FALSE, MillisecondsLeft(deadline));
        if (signalled == WAIT_OBJECT_0) {
            return ::GetOverlappedResult(file.Get(), &overlapped, &count, FALSE)
                       ? WaitResult::kDone
                       : WaitResult::kFailed;
        }
        stop(overlapped);
        // A request that completed while it was being stopped keeps its result.
        if (::GetOverlappedResult(file.Get(), &overlapped, &count, TRUE) && count > 0 &&
            signalled != WAIT_OBJECT_0 + 1) {
            return WaitResult::kDone;
        }
        count = 0;
        return signalled == WAIT_OBJECT_0 + 1 ? WaitResult::kClosed : WaitResult::kTimedOut;
    }

    // A port whose comm-event wait fails is opened again for plain reads and writes when its
    // driver allows a second open, and the overlapped handle is closed. Its reads take only what
    // is queued and its waits are the queue-count watch, so overlapping gains nothing there, and
    // it costs: under Wine (whose comm-event wait fails on a pty) every overlapped request that
    // finishes at once still sets its event or queues a completion, and a read asks for the
    // port's time-outs, each one more round trip to Wine's server. The new handle reads what is
    // queued at once and writes in slices that look for Close.
    void UsePlainIo() {
        UniqueHandle plain(::CreateFileA(strFileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, kPlainWriteSliceMs};
        if (!plain.Valid() || !::SetCommTimeouts(plain.Get(), &timeouts)) {
            return;
        }
        file.Reset(plain.Release());
        bPlainIo = true;
    }

    // Writes all of `size` bytes through the plain handle; the count written.
    DWORD WritePlain(const uint8_t* data, DWORD size, SteadyTime deadline) const {
        DWORD total = 0;
        while (total < size && !bClosed.load()) {
            DWORD count = 0;
            if (!::WriteFile(file.Get(), data + total, size - total, &count, nullptr)) {
                break;
            }
            total += count;
            if (total < size && std::chrono::steady_clock::now() >= deadline) {
                break;
            }
        }
        return total;
    }

    WaitResult FinishTransfer(OVERLAPPED& overlapped, SteadyTime deadline, DWORD& count) const {
        return Finish(overlapped, deadline, count,
                      [this](OVERLAPPED& request) { ::CancelIoEx(file.Get(), &request); });
    }

    // Setting the mask again is what ends a pending comm-event wait cleanly; a cancelled one
    // leaves some serial drivers (Wine's) failing every later wait.
    void EndCommWait(OVERLAPPED& overlapped) const {
        ::SetCommMask(file.Get(), EV_RXCHAR);
        DWORD ignored = 0;
        ::GetOverlappedResult(file.Get(), &overlapped, &ignored, TRUE);
    }

    // Waits until bytes are queued, `deadline` passes or Close. A comm-event wait that fails
    // (Wine's on a pty aborts within milliseconds) makes this handle watch the queue count
    // instead: at once for kQuickLooks, then every kPollIntervalMs.
    WaitResult WaitForData(SteadyTime deadline) {
        const SteadyTime quickLooksEnd = std::chrono::steady_clock::now() + kQuickLooks;
        for (;;) {
            if (!bPollQueue) {
                const WaitResult result = WaitForCommEvent(deadline);
                if (result != WaitResult::kFailed) {
                    return result;
                }
                bPollQueue = true;
                UsePlainIo();
            }
            const long queued = Queued();
            if (queued != 0) {
                return queued > 0 ? WaitResult::kDone : WaitResult::kFailed;
            }
            const DWORD left = MillisecondsLeft(deadline);
            if (left == 0) {
                return WaitResult::kTimedOut;
            }
            if (std::chrono::steady_clock::now() < quickLooksEnd) {
                ::SwitchToThread();
                continue;
            }
            // Sleep, unlike a wait on the closed event, needs no round trip to Wine's server.
            if (bClosed.load()) {
                return WaitResult::kClosed;
            }
            ::Sleep(std::min<DWORD>(left, kPollIntervalMs));
        }
    }

    WaitResult WaitForCommEvent(SteadyTime deadline) const {
        OVERLAPPED overlapped = Overlapped(readEvent);
        DWORD mask = 0;
        if (::WaitCommEvent(file.Get(), &mask, &overlapped)) {
            return WaitResult::kDone;
        }
        if (::GetLastError() != ERROR_IO_PENDING) {
            return WaitResult::kFailed;
        }
        // Bytes that came before the wait started may raise no event of their own.
        if (Queued() > 0) {
            EndCommWait(overlapped);
            return WaitResult::kDone;
        }
        DWORD ignored = 0;
        return Finish(overlapped, deadline, ignored,
                      [this](OVERLAPPED& request) { EndCommWait(request); });
    }

    // Reads at most `size` of the queued bytes; -1 when the device is gone or closed.
    long ReadQueued(uint8_t* buffer, uint32_t size, SteadyTime deadline) const {
        const long queued = Queued();
        if (queued <= 0) {
            return queued;
        }
        const DWORD wanted = std::min<DWORD>(static_cast<DWORD>(queued), size);
        DWORD count = 0;
        if (bPlainIo) {
            if (::ReadFile(file.Get(), buffer, wanted, &count, nullptr)) {
                return static_cast<long>(count);
            }
            ClearErrors();
            return -1;
        }
        OVERLAPPED overlapped = Overlapped(readEvent);
        if (::ReadFile(file.Get(), buffer, wanted, &count, &overlapped)) {
            return static_cast<long>(count);
        }
        if (::GetLastError() != ERROR_IO_PENDING) {
            ClearErrors();
            return -1;
        }
        const WaitResult result = FinishTransfer(overlapped, deadline, count);
        if (result == WaitResult::kDone) {
            return static_cast<long>(count);
        }
        ClearErrors();
        return result == WaitResult::kTimedOut ? 0 : -1;
    }
};

std::string ComPortName(const std::string& text) {
    std::string_view name = text;
    if (name.substr(0, 4) == "\\\\.\\") {
        name.remove_prefix(4);
    }
    if (name.size() < 4 || name.size() > 6 || !EqualIgnoringCase(name.substr(0, 3), "COM")) {
        return {};
    }
    const std::string_view digits = name.substr(3);
    if (digits[0] == '0' || !std::all_of(digits.begin(), digits.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return {};
    }
    if (std::stoi(std::string(digits)) > 255) {
        return {};
    }
    return "COM" + std::string(digits);
}

CWinFileInterface::CWinFileInterface(std::vector<std::string> comPorts)
    : m_ComPorts(std::move(comPorts)) {}

CWinFileInterface::~CWinFileInterface() {
    Close();
}

std::vector<CWinFileInterface::Candidate> CWinFileInterface::Candidates(
    const Guid& interfaceClass) const {
    std::vector<Candidate> candidates;
    for (std::string& path : PresentInterfacePaths(interfaceClass)) {
        candidates.push_back({path, path, false, {}});
    }
    for (const std::string& port : m_ComPorts) {
        candidates.push_back({TtyDevicePath(port), "\\\\.\\" + port, true, {"", port}});
    }
    return candidates;
}

std::shared_ptr<CWinFileInterface::Handle> CWinFileInterface::OpenCandidate(
    const Candidate& candidate) {
    auto handle = std::make_shared<Handle>();
    if (!handle->EventsValid() || !HeldPaths::Claim(candidate.strDevicePath)) {
        return nullptr;
    }
    handle->claim.strPath = candidate.strDevicePath;
    handle->strFileName = candidate.strFileName;
    // No sharing: a device held by another port's transport fails here and the scan moves on.
    handle->file.Reset(::CreateFileA(candidate.strFileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle->file.Valid()) {
        return nullptr;
    }
    if (candidate.bComPort) {
        DCB state{};
        state.DCBlength = sizeof state;
        if (!::GetCommState(handle->file.Get(), &state)) {
            return nullptr;
        }
        // Raw bytes both ways: no flow control, no character translation.
        state.BaudRate = CBR_115200;
        state.ByteSize = 8;
        state.Parity = NOPARITY;
        state.StopBits = ONESTOPBIT;
        state.fBinary = TRUE;
        state.fParity = FALSE;
        state.fOutxCtsFlow = FALSE;
        state.fOutxDsrFlow = FALSE;
        state.fDtrControl = DTR_CONTROL_ENABLE;
        state.fRtsControl = RTS_CONTROL_ENABLE;
        state.fDsrSensitivity = FALSE;
        state.fOutX = FALSE;
        state.fInX = FALSE;
        state.fNull = FALSE;
        state.fAbortOnError = FALSE;
        // A read returns at once with what is queued; the waits are the comm events'. Reads
        // that wait in the driver for the first byte (interval and multiplier MAXDWORD) are
        // slower under Wine, which completes them through its server and waits for the whole
        // count rather than the first byte; the queue count costs no server call there.
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        if (!::SetCommState(handle->file.Get(), &state) ||
            !::SetCommTimeouts(handle->file.Get(), &timeouts)) {
            return nullptr;
        }
    }
    if (!::SetCommMask(handle->file.Get(), EV_RXCHAR)) {
        return nullptr;
    }
    // Whatever the device said before this open belongs to an earlier session.
    ::PurgeComm(handle->file.Get(), PURGE_RXCLEAR | PURGE_TXCLEAR);
    return handle;
}

int CWinFileInterface::Open(const Guid& interfaceClass, const char* devicePath) {
    Close();
    RecordOpenDenied(false);
    if (interfaceClass != GUID_BOOTLOADER_INTERFACE) {
        return 0;
    }
    for (const Candidate& candidate : Candidates(interfaceClass)) {
        if (devicePath != nullptr) {
            if (candidate.strDevicePath != devicePath) {
                continue;
            }
        } else {
            RecordDevicePath(candidate.strDevicePath);
            PrintLine("Attempting to open %s\n", candidate.strDevicePath);
        }
        std::shared_ptr<Handle> handle = OpenCandidate(candidate);
        if (!handle) {
            PrintLine("FAILED to open %s\n", candidate.strDevicePath);
            continue;
        }
        RecordDevicePath(candidate.strDevicePath);
        RecordIdentity(candidate.identity);
        std::lock_guard lock(m_HandleMutex);
        m_pHandle = std::move(handle);
        m_bOpened = 1;
        return 1;
    }
    return 0;
}

void CWinFileInterface::Close() {
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard lock(m_HandleMutex);
        handle = std::move(m_pHandle);
        m_bOpened = 0;
    }
    if (handle) {
        handle->bClosed = true;
        ::SetEvent(handle->closedEvent.Get());
    }
}

std::shared_ptr<CWinFileInterface::Handle> CWinFileInterface::Current() {
    std::lock_guard lock(m_HandleMutex);
    return m_pHandle;
}

uint32_t CWinFileInterface::Write(const void* data, uint32_t size) {
    const std::shared_ptr<Handle> handle = Current();
    if (!handle || data == nullptr || size == 0) {
        return 0;
    }
    const SteadyTime deadline = DeadlineAfter(IoTimeout());
    DWORD count = 0;
    if (handle->bPlainIo) {
        count = handle->WritePlain(static_cast<const uint8_t*>(data), size, deadline);
    } else {
        OVERLAPPED overlapped = handle->Overlapped(handle->writeEvent);
        if (!::WriteFile(handle->file.Get(), data, size, &count, &overlapped) &&
            (::GetLastError() != ERROR_IO_PENDING ||
             handle->FinishTransfer(overlapped, deadline, count) != WaitResult::kDone)) {
            count = 0;
        }
    }
    if (count == size) {
        return size;
    }
    // What is still unsent would start the next write out of step.
    ::PurgeComm(handle->file.Get(), PURGE_TXCLEAR);
    handle->ClearErrors();
    return 0;
}

uint32_t CWinFileInterface::Read(void* buffer, uint32_t size, bool wait) {
    const std::shared_ptr<Handle> handle = Current();
    if (!handle || buffer == nullptr || size == 0) {
        return 0;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    const SteadyTime deadline = DeadlineAfter(IoTimeout());
    long got = 0;
    for (int pass = 0; pass < kReadPasses; ++pass) {
        got = handle->ReadQueued(bytes, size, deadline);
        if (got != 0) {
            break;
        }
        const SteadyTime passEnd = wait ? deadline : std::min(deadline, DeadlineAfter(kPollPassMs));
        const WaitResult result = handle->WaitForData(passEnd);
        if (result == WaitResult::kClosed ||
            (result == WaitResult::kTimedOut && std::chrono::steady_clock::now() >= deadline)) {
            return 0;
        }
    }
    if (got <= 0) {
        return 0;
    }
    // A serial line has no message boundaries: gather the rest of a reply that came in pieces.
    auto total = static_cast<uint32_t>(got);
    while (total < size) {
        const SteadyTime gapEnd = std::min(deadline, DeadlineAfter(kGatherGapMs));
        if (handle->WaitForData(gapEnd) != WaitResult::kDone) {
            break;
        }
        const long more = handle->ReadQueued(bytes + total, size - total, deadline);
        if (more <= 0) {
            break;
        }
        total += static_cast<uint32_t>(more);
    }
    return total;
}

}  // namespace varnel
