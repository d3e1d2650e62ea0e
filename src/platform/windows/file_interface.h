// The file-handle transport on Windows: a boot loader whose driver makes it a serial stream,
// found either as a device interface of GUID_BOOTLOADER_INTERFACE (SetupAPI) or as a COM port
// named by the operator (the system's serial driver bound to the boot loader, or a handset of
// varnel-sim on a pty that Wine maps to COMn). A COM port's device path is
// TtyDevicePath("COM5"); an interface keeps the path SetupAPI reports.
//
// The device is opened exclusively and overlapped. A read asks the driver how many bytes are
// queued (ClearCommError) and otherwise waits for a comm event; the queue count decides, not the
// event bit, which some drivers leave clear. A driver whose comm-event wait fails has its queue
// count watched instead, through a second, plain handle when it allows one. Every wait is
// bounded by the I/O time-out and ends at once when Close is called from another thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/usb_interface.h"

namespace varnel {

class CWinFileInterface : public CUsbInterface {
  public:
    static constexpr int kReadPasses = 10;
    // Longest wait of one pass of a Read with the wait flag clear.
    static constexpr uint32_t kPollPassMs = 1000;
    // Quiet time that ends the gathering of a reply that came in pieces.
    static constexpr uint32_t kGatherGapMs = 5;

    // Candidates: the present interfaces of the class, then `comPorts` ("COM5") in order.
    explicit CWinFileInterface(std::vector<std::string> comPorts);
    ~CWinFileInterface() override;

    int Open(const Guid& interfaceClass, const char* devicePath = nullptr) override;
    // Any thread: a Write or Read in progress returns at once.
    void Close() override;
    uint32_t Write(const void* data, uint32_t size) override;
    uint32_t Read(void* buffer, uint32_t size, bool wait) override;

  private:
    struct Handle;
    struct Candidate {
        std::string strDevicePath;
        std::string strFileName;  // what CreateFile opens
        bool bComPort = false;
        DeviceIdentity identity;
    };

    std::vector<Candidate> Candidates(const Guid& interfaceClass) const;
    static std::shared_ptr<Handle> OpenCandidate(const Candidate& candidate);
    std::shared_ptr<Handle> Current();

    const std::vector<std::string> m_ComPorts;
    // Guards the pointer only; an operation in progress keeps its own reference, so Close from
    // another thread never releases the handle from under it.
    std::mutex m_HandleMutex;
    std::shared_ptr<Handle> m_pHandle;
};

// "COM5" for "com5" or "\\.\COM5"; empty when the text names no COM port.
std::string ComPortName(const std::string& text);

}  // namespace varnel
