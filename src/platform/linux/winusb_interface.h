// The USB transport on libusb: the boot loader's bulk pipes reached directly, for devices that
// have no tty driver. Devices are those of the match list (usb_ids.h); each is opened by claiming
// its interface 0, which no other transport (of this or another process) can then claim, so
// eight transports end up on eight devices. Pipe index 0 of interface setting 0 is read and pipe
// index 1 written, by index alone, as the boot loader lays them out.
//
// Messages for the operator (the WinUSB-era texts) go to a callback on the thread that runs
// Open: the window shows them in a message box, the command line prints them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/usb_context.h"
#include "transport/usb_ids.h"
#include "transport/usb_interface.h"

namespace varnel {

inline constexpr uint8_t kUsbPipeTypeBulk = 2;

// What the boot loader's descriptors say about one pipe.
struct UsbPipeInformation {
    uint8_t PipeType = 0;  // 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint8_t PipeId = 0;    // the endpoint address
    uint16_t MaximumPacketSize = 0;
    uint8_t Interval = 0;
    bool bValid = false;  // the pipe exists
};

class CWinUsbInterface : public CUsbInterface {
  public:
    using MessageCallback = std::function<void(const std::string& text)>;

    CWinUsbInterface(std::shared_ptr<UsbContext> context, std::vector<UsbId> matchList,
                     MessageCallback showMessage);
    ~CWinUsbInterface() override;

    int Open(const Guid& interfaceClass, const char* devicePath = nullptr) override;
    // Any thread: cancels a transfer in progress, which then returns what it had.
    void Close() override;
    uint32_t Write(const void* data, uint32_t size) override;
    // The wait flag is ignored: every read waits for its transfer (at most IoTimeout()).
    uint32_t Read(void* buffer, uint32_t size, bool wait) override;

    UsbPipeInformation PipeIn() const;
    UsbPipeInformation PipeOut() const;

  private:
    struct Device;

    // Claims the opened device and reads its pipes; null (the handle closed) when it cannot be
    // used.
    std::shared_ptr<Device> TryDevice(libusb_device_handle* handle, const std::string& path);
    void Message(const std::string& text);
    std::shared_ptr<Device> Current() const;

    const std::shared_ptr<UsbContext> m_pContext;
    const std::vector<UsbId> m_MatchList;
    const MessageCallback m_ShowMessage;
    // Guards the pointer only: a transfer in progress keeps its own reference.
    mutable std::mutex m_DeviceMutex;
    std::shared_ptr<Device> m_pDevice;
};

}  // namespace varnel
