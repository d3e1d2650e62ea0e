#include "platform/windows/winusb_interface.h"

#include <algorithm>
#include <cstdio>

#include "platform/windows/win_util.h"

namespace varnel {

namespace {

template <typename Result, typename... Arguments>
bool Bind(HMODULE library, const char* name, std::function<Result(Arguments...)>& function,
          std::string& error) {
    const FARPROC address = ::GetProcAddress(library, name);
    if (address == nullptr) {
        error = std::string("winusb: the library has no ") + name;
        return false;
    }
    using Pointer = Result(WINAPI*)(Arguments...);
    function = reinterpret_cast<Pointer>(reinterpret_cast<void*>(address));
    return true;
}

HANDLE OpenDeviceFile(const std::string& path, DWORD& error) {
    // Sharing only reading: a device held by another transport fails here.
    const HANDLE file =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
    }
    return file;
}

}  // namespace

std::shared_ptr<const WinUsbApi> LoadWinUsbApi(const char* dllName, std::string& error) {
    // Kept loaded for the life of the process: transports may hold its handles until exit.
    const HMODULE library = ::LoadLibraryA(dllName);
    if (library == nullptr) {
        error = std::string("winusb: cannot load ") + dllName + " (error " +
                std::to_string(::GetLastError()) + ")";
        return nullptr;
    }
    auto api = std::make_shared<WinUsbApi>();
    api->ListDevices = PresentInterfacePaths;
    api->OpenDevice = OpenDeviceFile;
    if (!Bind(library, "WinUsb_Initialize", api->Initialize, error) ||
        !Bind(library, "WinUsb_Free", api->Free, error) ||
        !Bind(library, "WinUsb_QueryInterfaceSettings", api->QueryInterfaceSettings, error) ||
        !Bind(library, "WinUsb_QueryPipe", api->QueryPipe, error) ||
        !Bind(library, "WinUsb_SetPipePolicy", api->SetPipePolicy, error) ||
        !Bind(library, "WinUsb_WritePipe", api->WritePipe, error) ||
        !Bind(library, "WinUsb_ReadPipe", api->ReadPipe, error) ||
        !Bind(library, "WinUsb_AbortPipe", api->AbortPipe, error) ||
        !Bind(library, "WinUsb_GetOverlappedResult", api->GetOverlappedResult, error)) {
        return nullptr;
    }
    return api;
}

struct CWinUsbInterface::Device {
    std::shared_ptr<const WinUsbApi> api;
    UniqueHandle file;
    WINUSB_INTERFACE_HANDLE winUsb = nullptr;
    WINUSB_PIPE_INFORMATION pipeIn{};
    WINUSB_PIPE_INFORMATION pipeOut{};
    UniqueHandle readEvent{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle writeEvent{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    // Set by Close: every wait of this device ends.
    UniqueHandle closedEvent{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    // The transfer time-out each pipe's policy holds, so that it is set only when it changes
    // (the protocol gives quick replies and long operations different limits).
    ULONG inTimeoutMs = 0;
    ULONG outTimeoutMs = 0;

    ~Device() {
        if (winUsb != nullptr) {
            api->Free(winUsb);
        }
    }

    bool EventsValid() const {
        return readEvent.Valid() && writeEvent.Valid() && closedEvent.Valid();
    }

    // One bulk transfer bounded by `timeoutMs` and by Close; the bytes it moved.
    uint32_t Transfer(bool in, uint8_t* buffer, uint32_t size, uint32_t timeoutMs);
};

uint32_t CWinUsbInterface::Device::Transfer(bool in, uint8_t* buffer, uint32_t size,
                                            uint32_t timeoutMs) {
    const WINUSB_PIPE_INFORMATION& pipe = in ? pipeIn : pipeOut;
    ULONG& policyTimeout = in ? inTimeoutMs : outTimeoutMs;
    const SteadyTime deadline = DeadlineAfter(timeoutMs);
    if (policyTimeout != timeoutMs) {
        ULONG value = timeoutMs;
        // The driver's own limit; the wait below bounds the transfer even where it is not set.
        if (api->SetPipePolicy(winUsb, pipe.PipeId, PIPE_TRANSFER_TIMEOUT, sizeof value, &value)) {
            policyTimeout = value;
        }
    }
    const UniqueHandle& event = in ? readEvent : writeEvent;
    ::ResetEvent(event.Get());
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    ULONG moved = 0;
    const auto& start = in ? api->ReadPipe : api->WritePipe;
    if (start(winUsb, pipe.PipeId, buffer, size, &moved, &overlapped)) {
        return std::min<uint32_t>(moved, size);
    }
    if (::GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    const HANDLE events[2] = {event.Get(), closedEvent.Get()};
    const DWORD signalled = ::WaitForMultipleObjects(2, events, FALSE, MillisecondsLeft(deadline));
    DWORD count = 0;
    if (signalled != WAIT_OBJECT_0) {
        // Timed out or closed: stop the transfer and wait for it to let go of the buffer.
        api->AbortPipe(winUsb, pipe.PipeId);
    }
    if (!api->GetOverlappedResult(winUsb, &overlapped, &count, TRUE)) {
        // An aborted transfer reports failure but may have moved some bytes.
        count = signalled == WAIT_OBJECT_0 ? 0 : count;
    }
    return std::min<uint32_t>(count, size);
}

CWinUsbInterface::CWinUsbInterface(MessageCallback showMessage, ApiLoader loader)
    : m_ShowMessage(std::move(showMessage)), m_LoadApi(std::move(loader)) {}

CWinUsbInterface::~CWinUsbInterface() {
    Close();
}

std::shared_ptr<const WinUsbApi> CWinUsbInterface::Api() {
    if (m_pApi || m_bApiFailed) {
        return m_pApi;
    }
    std::string error;
    m_pApi = m_LoadApi ? m_LoadApi(error) : LoadWinUsbApi("winusb.dll", error);
    if (!m_pApi) {
        // A reconnect loop opens again and again: say it once.
        m_bApiFailed = true;
        Message(error);
    }
    return m_pApi;
}

int CWinUsbInterface::Open(const Guid& interfaceClass, const char* devicePath) {
    Close();
    RecordOpenDenied(false);
    if (interfaceClass != GUID_BOOTLOADER_INTERFACE) {
        return 0;
    }
    const std::shared_ptr<const WinUsbApi> api = Api();
    if (!api) {
        return 0;
    }
    for (const std::string& path : api->ListDevices(interfaceClass)) {
        if (devicePath != nullptr && path != devicePath) {
            continue;
        }
        if (devicePath == nullptr) {
            RecordDevicePath(path);
        }
        DWORD error = 0;
        const HANDLE file = api->OpenDevice(path, error);
        if (file == INVALID_HANDLE_VALUE || file == nullptr) {
            if (error == ERROR_ACCESS_DENIED) {
                RecordOpenDenied(true);
            }
            std::printf("FAILED to open %s\n", path.c_str());
            std::fflush(stdout);
            continue;
        }
        std::shared_ptr<Device> device = TryDevice(api, file);
        if (!device) {
            continue;
        }
        RecordDevicePath(path);
        RecordIdentity({});
        std::lock_guard lock(m_DeviceMutex);
        m_pDevice = std::move(device);
        m_bOpened = 1;
        return 1;
    }
    return 0;
}

std::shared_ptr<CWinUsbInterface::Device> CWinUsbInterface::TryDevice(
    const std::shared_ptr<const WinUsbApi>& api, HANDLE file) {
    auto device = std::make_shared<Device>();
    device->api = api;
    device->file.Reset(file);
    if (!device->EventsValid()) {
        return nullptr;
    }
    if (!api->Initialize(file, &device->winUsb)) {
        device->winUsb = nullptr;
        Message("WinUSB_Initialize");
        return nullptr;
    }
    USB_INTERFACE_DESCRIPTOR setting{};
    if (!api->QueryInterfaceSettings(device->winUsb, 0, &setting)) {
        Message("WinUsb_QueryInterfaceSetting Error 1");
    }
    WINUSB_PIPE_INFORMATION* pipes[2] = {&device->pipeIn, &device->pipeOut};
    for (UCHAR index = 0; index < 2; ++index) {
        if (!api->QueryPipe(device->winUsb, 0, index, pipes[index])) {
            *pipes[index] = {};
            Message("WinUsb_QueryPipe Error 1");
        }
    }
    if (device->pipeIn.PipeType != UsbdPipeTypeBulk ||
        device->pipeOut.PipeType != UsbdPipeTypeBulk) {
        Message("SetPipePolicy Error 1");
    }
    return device;
}

void CWinUsbInterface::Message(const std::string& text) {
    if (m_ShowMessage) {
        m_ShowMessage(text);
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}

void CWinUsbInterface::Close() {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(m_DeviceMutex);
        device = std::move(m_pDevice);
        m_bOpened = 0;
    }
    if (device) {
        ::SetEvent(device->closedEvent.Get());
    }
}

std::shared_ptr<CWinUsbInterface::Device> CWinUsbInterface::Current() const {
    std::lock_guard lock(m_DeviceMutex);
    return m_pDevice;
}

WINUSB_PIPE_INFORMATION CWinUsbInterface::PipeIn() const {
    const auto device = Current();
    return device ? device->pipeIn : WINUSB_PIPE_INFORMATION{};
}

WINUSB_PIPE_INFORMATION CWinUsbInterface::PipeOut() const {
    const auto device = Current();
    return device ? device->pipeOut : WINUSB_PIPE_INFORMATION{};
}

uint32_t CWinUsbInterface::Write(const void* data, uint32_t size) {
    const std::shared_ptr<Device> device = Current();
    if (!device || device->pipeOut.PipeType == 0 || data == nullptr || size == 0) {
        return 0;
    }
    // WinUSB takes a non-const buffer for either direction; an OUT transfer only reads it.
    auto* bytes = const_cast<uint8_t*>(static_cast<const uint8_t*>(data));
    return device->Transfer(false, bytes, size, IoTimeout()) == size ? size : 0;
}

uint32_t CWinUsbInterface::Read(void* buffer, uint32_t size, bool) {
    const std::shared_ptr<Device> device = Current();
    if (!device || device->pipeIn.PipeType == 0 || buffer == nullptr || size == 0) {
        return 0;
    }
    // A packet longer than what is asked for stays with the driver for the next read (the
    // pipe's partial-read policy, on by default).
    return device->Transfer(true, static_cast<uint8_t*>(buffer), size, IoTimeout());
}

}  // namespace varnel
