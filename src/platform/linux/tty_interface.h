// The file-handle transport on Linux: a boot loader that shows up as a tty node (a USB serial
// function, or a handset of varnel-sim on a pty). Real ttys are found through udev, and only
// those of a USB device in the match list are candidates (device path TtyDevicePath(kernel
// name), identity from udev). A folder (tests, simulators) is scanned instead: every entry is a
// candidate, its device path TtyDevicePath(entry name).
//
// The node is opened exclusively (an advisory lock that every transport of every process takes,
// plus the tty's own exclusive mode against other programs) and put in raw mode. Reads follow the
// ten passes of the comm-driver original: ask how many bytes are queued, else wait for data.
// Unlike a USB bulk pipe a tty has no message boundaries, so a reply can be split over several
// reads; once the first bytes are there a read keeps gathering until it has what was asked for
// or the line stays quiet for the gather gap, so a short reply is one the device really sent
// short.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/fd_util.h"
#include "transport/device_path.h"
#include "transport/usb_ids.h"
#include "transport/usb_interface.h"

namespace varnel {

// Names of the entries in `directory` that may be device nodes, sorted; hidden entries (a
// leading '.', as udev uses for links it is still making) are left out. Empty when the
// directory cannot be read.
std::vector<std::string> ListTtyEntries(const std::string& directory);

// Identity of the folder entry `name`: the USB device's, when udev knows the node behind it;
// else no serial, and the entry's name as the place it is plugged in (a pty served under a
// fixed name, which a slot map can then pin like a hub socket).
DeviceIdentity FolderEntryIdentity(const std::string& directory, const std::string& name);

class CTtyInterface : public CUsbInterface {
  public:
    static constexpr int kReadPasses = 10;
    // Longest wait of one pass of a Read with the wait flag clear.
    static constexpr uint32_t kPollPassMs = 1000;
    // Quiet time that ends the gathering of a reply that came in pieces. A boot loader's own
    // serial function sends a reply in one USB packet; a serial adapter in between may hold
    // bytes back for its latency timer, and then wants a longer gap.
    static constexpr uint32_t kDefaultGatherGapMs = 5;

    // The nodes of `directory`.
    explicit CTtyInterface(std::string directory);
    // The real ttys of USB devices in `matchList`.
    explicit CTtyInterface(std::vector<UsbId> matchList);
    // Unlike the original, releases the device too: a leaked exclusive lock would keep the
    // handset from every other port.
    ~CTtyInterface() override;

    int Open(const Guid& interfaceClass, const char* devicePath = nullptr) override;
    // Any thread: wakes a Write or Read blocked on the device, which then returns at once.
    void Close() override;
    uint32_t Write(const void* data, uint32_t size) override;
    uint32_t Read(void* buffer, uint32_t size, bool wait) override;

    const std::string& Directory() const { return m_strDirectory; }
    void SetGatherGap(uint32_t milliseconds) { m_dwGatherGapMs.store(milliseconds); }

  private:
    struct Handle;
    struct Candidate {
        std::string strName;  // NAME of the device path
        std::string strNode;
        DeviceIdentity identity;  // filled for the node taken
    };
    enum class WaitResult { kReady, kTimedOut, kClosed, kGone };

    // The node `name` opened exclusively and raw; null (with the failure printed) otherwise.
    std::shared_ptr<Handle> OpenNode(const std::string& node, const std::string& devicePath);
    std::vector<Candidate> Candidates() const;
    std::shared_ptr<Handle> Current();
    static WaitResult WaitFor(const Handle& handle, short events, SteadyTime deadline);
    // Reads what is queued, at most `size` bytes; -1 when the device is gone.
    static int ReadQueued(const Handle& handle, uint8_t* buffer, uint32_t size);

    const std::string m_strDirectory;  // empty: the real ttys of m_MatchList
    const std::vector<UsbId> m_MatchList;
    // Guards the pointer only; an operation in progress keeps its own reference, so Close from
    // another thread never pulls the descriptor from under it.
    std::mutex m_HandleMutex;
    std::shared_ptr<Handle> m_pHandle;
    std::atomic<uint32_t> m_dwGatherGapMs{kDefaultGatherGapMs};
};

}  // namespace varnel
