// The WinUSB transport: the boot loader's bulk pipes reached through winusb.dll, for devices
// bound to the WinUSB driver. Devices are the present interfaces of GUID_BOOTLOADER_INTERFACE;
// each is opened for writing while sharing only reading, so a device another transport holds
// fails to open and eight transports end up on eight devices. Pipe index 0 of interface
// setting 0 is read and pipe index 1 written, by index alone, as the boot loader lays them out.
//
// Every call to the system goes through a WinUsbApi table, loaded from winusb.dll on the first
// Open (the library is not there on every system, and a stub of it may abort the process), so
// that tests drive the transport through a table of their own. Messages for the operator go
// to a callback on the thread that runs Open: the window shows them in a message box, the
// command line prints them.
#pragma once

// clang-format off
#include <windows.h>
#include <winusb.h>
// clang-format on

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/usb_interface.h"

namespace varnel {

struct WinUsbApi {
    // Device discovery and open: SetupAPI and CreateFile in the system's table. OpenDevice
    // returns INVALID_HANDLE_VALUE with `error` set on failure.
    std::function<std::vector<std::string>(const Guid& interfaceClass)> ListDevices;
    std::function<HANDLE(const std::string& path, DWORD& error)> OpenDevice;

    std::function<BOOL(HANDLE, PWINUSB_INTERFACE_HANDLE)> Initialize;
    std::function<BOOL(WINUSB_INTERFACE_HANDLE)> Free;
    std::function<BOOL(WINUSB_INTERFACE_HANDLE, UCHAR, PUSB_INTERFACE_DESCRIPTOR)>
        QueryInterfaceSettings;
    std::function<BOOL(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR, PWINUSB_PIPE_INFORMATION)> QueryPipe;
    std::function<BOOL(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID)> SetPipePolicy;
    std::function<BOOL(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED)>
        WritePipe;
    std::function<BOOL(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED)>
        ReadPipe;
    std::function<BOOL(WINUSB_INTERFACE_HANDLE, UCHAR)> AbortPipe;
    std::function<BOOL(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD, BOOL)> GetOverlappedResult;
};

// The system's table from the library `dllName`; null with `error` naming the library or the
// first export that is missing.
std::shared_ptr<const WinUsbApi> LoadWinUsbApi(const char* dllName, std::string& error);

class CWinUsbInterface : public CUsbInterface {
  public:
    using MessageCallback = std::function<void(const std::string& text)>;
    using ApiLoader = std::function<std::shared_ptr<const WinUsbApi>(std::string& error)>;

    // `showMessage` null: messages go to standard error. `loader` null: winusb.dll.
    explicit CWinUsbInterface(MessageCallback showMessage, ApiLoader loader = nullptr);
    ~CWinUsbInterface() override;

    int Open(const Guid& interfaceClass, const char* devicePath = nullptr) override;
    // Any thread: a transfer in progress is aborted and returns what it had.
    void Close() override;
    uint32_t Write(const void* data, uint32_t size) override;
    // The wait flag is ignored: every read waits for its transfer (at most IoTimeout()).
    uint32_t Read(void* buffer, uint32_t size, bool wait) override;

    // The pipes of the open device; a pipe that could not be queried has PipeType 0 and id 0.
    WINUSB_PIPE_INFORMATION PipeIn() const;
    WINUSB_PIPE_INFORMATION PipeOut() const;

  private:
    struct Device;

    // Loads the table on first use; null after a failure, which is shown once.
    std::shared_ptr<const WinUsbApi> Api();
    std::shared_ptr<Device> TryDevice(const std::shared_ptr<const WinUsbApi>& api, HANDLE file);
    void Message(const std::string& text);
    std::shared_ptr<Device> Current() const;

    const MessageCallback m_ShowMessage;
    const ApiLoader m_LoadApi;
    std::shared_ptr<const WinUsbApi> m_pApi;  // the opening thread's only
    bool m_bApiFailed = false;
    // Guards the pointer only: a transfer in progress keeps its own reference.
    mutable std::mutex m_DeviceMutex;
    std::shared_ptr<Device> m_pDevice;
};

}  // namespace varnel
