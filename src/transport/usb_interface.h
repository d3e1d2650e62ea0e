// The eight-operation transport through which everything reaches a handset's boot loader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace varnel {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];

    friend bool operator==(const Guid&, const Guid&) = default;
};

// The device-interface class of a boot loader in download mode.
inline constexpr Guid GUID_BOOTLOADER_INTERFACE{
    0x7E2B91C4, 0x3A58, 0x4F0D, {0xB6, 0xE3, 0x1C, 0x9A, 0x5D, 0x82, 0xF0, 0x74}};

// "{7E2B91C4-3A58-4F0D-B6E3-1C9A5D82F074}" for GUID_BOOTLOADER_INTERFACE.
std::string GuidText(const Guid& guid);

// Who a handset is: its serial string and where it is plugged in (the bus-port chain, such as
// "1-2.3"). Two handsets with the same serial differ by port path. Either is empty when the
// platform cannot tell.
struct DeviceIdentity {
    std::string strSerial;
    std::string strPortPath;

    friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

// Implementations report by results only (no exceptions, no messages of their own unless
// stated). Each transport serves one thread at a time, with one exception: Close may be called
// from another thread to stop a Write or Read that is blocked; those then return promptly with
// what they have, so a window shutting down never waits on a silent device.
class CUsbInterface {
  public:
    static constexpr size_t kDevicePathSize = 256;
    static constexpr uint32_t kDefaultIoTimeoutMs = 5000;

    CUsbInterface() = default;
    CUsbInterface(const CUsbInterface&) = delete;
    CUsbInterface& operator=(const CUsbInterface&) = delete;
    // Releases the object only; owners Close the device first.
    virtual ~CUsbInterface() = default;

    // Without a path: takes the first present device of the class that can be opened
    // exclusively. With a path: opens only the device whose path is byte-for-byte equal. Either
    // way the path taken and the device's identity are recorded. 1 opened, 0 failed.
    virtual int Open(const Guid& interfaceClass, const char* devicePath = nullptr) = 0;
    // Safe in any state and more than once.
    virtual void Close() = 0;
    // One write of all `size` bytes; the count written, 0 on failure or time-out.
    virtual uint32_t Write(const void* data, uint32_t size) = 0;
    // Returns as soon as at least one byte is there, with at most `size` bytes; a reply can come
    // shorter than asked for. With `wait` clear it polls for a bounded time instead. A read that
    // times out returns what it has (possibly 0).
    virtual uint32_t Read(void* buffer, uint32_t size, bool wait) = 0;
    virtual uint32_t ReadWait(void* buffer, uint32_t size) { return Read(buffer, size, true); }
    virtual void SetOption(int option) { m_nOption = option; }
    virtual int IsOpen() const { return m_bOpened.load(); }

    // Path of the device taken by the last Open; kept after Close.
    const char* DevicePath() const { return m_szDevicePath; }
    // Identity of the device taken by the last Open; kept after Close.
    virtual DeviceIdentity Identity() const;
    // True when the last Open failed because the system refused access to a matching device
    // (device permissions), rather than finding none free.
    virtual bool LastOpenDenied() const { return m_bOpenDenied.load(); }
    int Option() const { return m_nOption; }

    // Longest wait of one Write or Read before it gives up.
    void SetIoTimeout(uint32_t milliseconds) { m_dwIoTimeoutMs.store(milliseconds); }
    uint32_t IoTimeout() const { return m_dwIoTimeoutMs.load(); }

  protected:
    // Copies at most kDevicePathSize - 1 characters and the terminator. A path equal to the
    // recorded one is left alone, so a reconnect on a worker thread writes nothing the window
    // thread may be reading.
    void RecordDevicePath(std::string_view path);
    void RecordIdentity(DeviceIdentity identity);
    void RecordOpenDenied(bool denied) { m_bOpenDenied.store(denied); }

    char m_szDevicePath[kDevicePathSize] = {};
    std::atomic<int> m_bOpened{0};
    int m_nOption = 0;
    std::atomic<uint32_t> m_dwIoTimeoutMs{kDefaultIoTimeoutMs};
    std::atomic<bool> m_bOpenDenied{false};

  private:
    mutable std::mutex m_IdentityMutex;
    DeviceIdentity m_Identity;
};

}  // namespace varnel
